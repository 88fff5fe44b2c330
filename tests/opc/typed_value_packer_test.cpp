#include "opc/typed_value_packer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

namespace {

VARIANT Var(VARTYPE vt) {
  VARIANT v{};
  v.vt = vt;
  return v;
}

// "0A 0B" style hex of bytes, for readable failures.
std::string Hex(const std::vector<BYTE>& bytes) {
  std::string text;
  char pair[4];
  for (const BYTE b : bytes) {
    std::snprintf(pair, sizeof pair, "%02X ", b);
    text += pair;
  }
  if (!text.empty()) text.pop_back();
  return text;
}

// The bytes of a hex text; blanks and '|' are ignored.
std::vector<BYTE> Bytes(const std::string& hex) {
  std::vector<BYTE> out;
  std::string digits;
  for (const char c : hex)
    if (std::isxdigit(static_cast<unsigned char>(c))) digits.push_back(c);
  for (std::size_t k = 0; k + 1 < digits.size(); k += 2)
    out.push_back(static_cast<BYTE>(std::stoul(digits.substr(k, 2), nullptr, 16)));
  return out;
}

// A FILETIME of microseconds since 1970.
FILETIME FileTimeOf(std::int64_t microseconds) {
  const auto ticks = static_cast<std::uint64_t>(microseconds * 10 + 116444736000000000ll);
  return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

// One call over the given values: handles 0..n-1, good qualities, no timestamps, no errors.
struct Values {
  explicit Values(std::vector<VARIANT> v) : values(std::move(v)) {
    for (std::size_t k = 0; k < values.size(); ++k) handles.push_back(static_cast<OPCHANDLE>(k));
    call.kind = kTypedValueChangeKind;
    call.dwTransid = 0x01020304;
    call.hGroup = 7;
    call.dwCount = static_cast<DWORD>(values.size());
    call.phClientItems = handles.data();
    call.pvValues = values.data();
  }
  ~Values() {
    for (VARIANT& v : values) VariantClear(&v);
  }
  // Every datagram of the call.
  std::vector<std::vector<BYTE>> Pack() {
    std::vector<std::vector<BYTE>> datagrams;
    DWORD start = 0;
    do {
      std::vector<BYTE> out(kTypedDatagramMaxBytes);
      DWORD next = start;
      out.resize(PackTypedDatagram(call, start, next, out.data()));
      datagrams.push_back(out);
      start = next;
    } while (start < call.dwCount);
    return datagrams;
  }
  std::vector<VARIANT> values;
  std::vector<OPCHANDLE> handles;
  TypedValueCall call;
};

// The value bytes of one VARIANT packed alone.
std::string ValueHex(const VARIANT& value) {
  std::vector<BYTE> out(kTypedValueMaxBytes);
  bool cut = false;
  out.resize(PackTypedValue(value, out.data(), out.size(), cut));
  return Hex(out);
}

TEST(TypedValuePacker, OneEntryCarriesHandleTypeQualityFlagsTimestampErrorAndValue) {
  VARIANT real = Var(VT_R8);
  real.dblVal = 21.7;
  Values call({real});
  WORD quality = 0x00D8;  // good, local override: the whole word goes out
  const FILETIME stamp = FileTimeOf(1'765'000'000'123'456);
  HRESULT error = S_OK;
  call.call.pwQualities = &quality;
  call.call.pftTimeStamps = &stamp;
  call.call.pErrors = &error;
  const auto datagrams = call.Pack();
  ASSERT_EQ(1u, datagrams.size());
  EXPECT_EQ(Hex(Bytes("63 002D 01020304 0007 0001 00000000 00 |"
                      "0000 0005 00D8 00 | 0006454216093240 | 00000000 | 0008 4035B33333333333")),
            Hex(datagrams[0]));
}

TEST(TypedValuePacker, EveryTypeHasItsWidthAndByteOrder) {
  auto with = [](VARTYPE vt, auto set) {
    VARIANT v = Var(vt);
    set(v);
    return ValueHex(v);
  };
  EXPECT_EQ("9C", with(VT_I1, [](VARIANT& v) { v.cVal = -100; }));
  EXPECT_EQ("C8", with(VT_UI1, [](VARIANT& v) { v.bVal = 200; }));
  EXPECT_EQ("01", with(VT_BOOL, [](VARIANT& v) { v.boolVal = VARIANT_TRUE; }));
  EXPECT_EQ("00", with(VT_BOOL, [](VARIANT& v) { v.boolVal = VARIANT_FALSE; }));
  EXPECT_EQ("FE D4", with(VT_I2, [](VARIANT& v) { v.iVal = -300; }));
  EXPECT_EQ("C3 50", with(VT_UI2, [](VARIANT& v) { v.uiVal = 50000; }));
  EXPECT_EQ("FF FE EE 90", with(VT_I4, [](VARIANT& v) { v.lVal = -70000; }));
  EXPECT_EQ("B2 D0 5E 00", with(VT_UI4, [](VARIANT& v) { v.ulVal = 3000000000u; }));
  EXPECT_EQ("FF FF FF FF", with(VT_INT, [](VARIANT& v) { v.intVal = -1; }));
  EXPECT_EQ("00 00 00 05", with(VT_UINT, [](VARIANT& v) { v.uintVal = 5; }));
  EXPECT_EQ("C0 04 00 07", with(VT_ERROR, [](VARIANT& v) { v.scode = OPC_E_UNKNOWNITEMID; }));
  EXPECT_EQ("3F C0 00 00", with(VT_R4, [](VARIANT& v) { v.fltVal = 1.5f; }));
  EXPECT_EQ("40 0A 00 00 00 00 00 00", with(VT_R8, [](VARIANT& v) { v.dblVal = 3.25; }));
  EXPECT_EQ("80 00 00 00 00 00 00 00",
            with(VT_I8, [](VARIANT& v) { v.llVal = std::numeric_limits<LONGLONG>::min(); }));
  EXPECT_EQ("7F FF FF FF FF FF FF FF",
            with(VT_I8, [](VARIANT& v) { v.llVal = std::numeric_limits<LONGLONG>::max(); }));
  EXPECT_EQ("FF FF FF FF FF FF FF FF",
            with(VT_UI8, [](VARIANT& v) { v.ullVal = std::numeric_limits<ULONGLONG>::max(); }));
  // VT_CY in 1/10,000: 12.34 is 123400.
  EXPECT_EQ("00 00 00 00 00 01 E2 08", with(VT_CY, [](VARIANT& v) { v.cyVal.int64 = 123400; }));
  // VT_DATE as microseconds since 1970: 25569.5 is 1970-01-01 12:00, 0 is 1899-12-30 and
  // -1.25 is 1899-12-29 06:00 (the fraction runs forward before day 0).
  EXPECT_EQ("00 00 00 0A 0E EB B0 00", with(VT_DATE, [](VARIANT& v) { v.date = 25569.5; }));
  EXPECT_EQ("FF F8 26 C7 7B 94 A0 00", with(VT_DATE, [](VARIANT& v) { v.date = 0.0; }));
  EXPECT_EQ("FF F8 26 B8 65 33 18 00", with(VT_DATE, [](VARIANT& v) { v.date = -1.25; }));
  EXPECT_EQ("", with(VT_DATE, [](VARIANT& v) { v.date = std::nan(""); }));
  // NaN and the infinities keep their IEEE 754 bits.
  EXPECT_EQ("7F F8 00 00 00 00 00 00",
            with(VT_R8, [](VARIANT& v) { v.dblVal = std::numeric_limits<double>::quiet_NaN(); }));
  EXPECT_EQ("FF F0 00 00 00 00 00 00",
            with(VT_R8, [](VARIANT& v) { v.dblVal = -std::numeric_limits<double>::infinity(); }));
  EXPECT_EQ("7F 80 00 00",
            with(VT_R4, [](VARIANT& v) { v.fltVal = std::numeric_limits<float>::infinity(); }));
  // Types without a layout carry no value bytes.
  EXPECT_EQ("", with(VT_EMPTY, [](VARIANT&) {}));
  EXPECT_EQ("", with(VT_DECIMAL, [](VARIANT&) {}));
  EXPECT_EQ("", with(VT_ARRAY | VT_I4, [](VARIANT& v) { v.byref = nullptr; }));
  EXPECT_EQ("", with(VT_BYREF | VT_R8, [](VARIANT& v) { v.byref = nullptr; }));
}

TEST(TypedValuePacker, TextsAreUtf8AndInvalidUtf16BecomesReplacementCharacters) {
  // "é", "€", a surrogate pair (U+1F600), a lone high surrogate, a lone low surrogate.
  const WideChar text[] = {0x00E9, 0x20AC, 0xD83D, 0xDE00, 0xD800, 0x0041, 0xDC00};
  VARIANT v = Var(VT_BSTR);
  v.bstrVal = SysAllocStringLen(text, 7);
  EXPECT_EQ("C3 A9 E2 82 AC F0 9F 98 80 EF BF BD 41 EF BF BD", ValueHex(v));
  VariantClear(&v);
  v = Var(VT_BSTR);  // a null BSTR is the empty text
  EXPECT_EQ("", ValueHex(v));
}

TEST(TypedValuePacker, TimestampsOfNoneAndBefore1970) {
  VARIANT a = Var(VT_EMPTY);
  VARIANT b = Var(VT_EMPTY);
  Values call({a, b});
  const FILETIME stamps[2] = {FILETIME{0, 0}, FileTimeOf(-1'500'000)};
  call.call.pftTimeStamps = stamps;
  const auto datagrams = call.Pack();
  ASSERT_EQ(1u, datagrams.size());
  EXPECT_EQ(Hex(Bytes("63 003A 01020304 0007 0002 00000000 00 |"
                      "0000 0000 00C0 00 0000000000000000 00000000 0000 |"
                      "0001 0000 00C0 00 FFFFFFFFFFE91CA0 00000000 0000")),
            Hex(datagrams[0]));
}

TEST(TypedValuePacker, BadMasterQualityAndErrorsGoIntoEveryEntry) {
  VARIANT v = Var(VT_I2);
  v.iVal = 1;
  Values call({v, Var(VT_EMPTY)});
  const WORD qualities[2] = {OPC_QUALITY_GOOD, OPC_QUALITY_BAD};
  const HRESULT errors[2] = {S_OK, OPC_E_UNKNOWNITEMID};
  call.call.hrMasterquality = S_FALSE;
  call.call.hrMastererror = S_FALSE;
  call.call.pwQualities = qualities;
  call.call.pErrors = errors;
  EXPECT_EQ(Hex(Bytes("63 003C 01020304 0007 0002 00000001 01 |"
                      "0000 0002 00C0 00 0000000000000000 00000000 0002 0001 |"
                      "0001 0000 0000 00 0000000000000000 C0040007 0000")),
            Hex(call.Pack()[0]));
}

TEST(TypedValuePacker, EntriesThatDoNotFitStartTheNextDatagramOfTheSameTransaction) {
  // 29 bytes a VT_R8 entry: 50 fill 1,466 bytes, the 51st starts the second datagram.
  std::vector<VARIANT> reals(51, Var(VT_R8));
  Values call(reals);
  const auto datagrams = call.Pack();
  ASSERT_EQ(2u, datagrams.size());
  EXPECT_EQ(1466u, datagrams[0].size());
  EXPECT_EQ(Hex(Bytes("63 05BA 01020304 0007 0032 00000000 00")),
            Hex(std::vector<BYTE>(datagrams[0].begin(), datagrams[0].begin() + 16)));
  EXPECT_EQ(Hex(Bytes("63 002D 01020304 0007 0001 00000000 00 |"
                      "0032 0005 00C0 00 0000000000000000 00000000 0008 0000000000000000")),
            Hex(datagrams[1]));
}

TEST(TypedValuePacker, TextLongerThanADatagramIsCutAtACharacterBoundaryAndFlagged) {
  // 1,434 'a' and then "€" (3 bytes): the limit of 1,435 falls inside the euro sign.
  WideString text(1434, OLESTR('a'));
  text.push_back(0x20AC);
  VARIANT small = Var(VT_I1);
  VARIANT cut = Var(VT_BSTR);
  cut.bstrVal = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  VARIANT whole = Var(VT_BSTR);
  whole.bstrVal = SysAllocString(OLESTR("ok"));
  Values call({small, cut, whole});
  const auto datagrams = call.Pack();
  ASSERT_EQ(3u, datagrams.size());
  EXPECT_EQ(38u, datagrams[0].size());
  const std::vector<BYTE>& second = datagrams[1];
  ASSERT_EQ(16u + 21u + 1434u, second.size());
  EXPECT_EQ(Hex(Bytes("0001 0008 00C0 01 0000000000000000 00000000 059A")),
            Hex(std::vector<BYTE>(second.begin() + 16, second.begin() + 37)));
  EXPECT_EQ('a', second.back());
  EXPECT_EQ(Hex(Bytes("63 0027 01020304 0007 0001 00000000 00 |"
                      "0002 0008 00C0 00 0000000000000000 00000000 0002 6F6B")),
            Hex(datagrams[2]));
}

TEST(TypedValuePacker, EmptyCallIsOneHeaderAndReadCompletesKeepTheirKind) {
  Values call({});
  call.call.kind = kTypedReadCompleteKind;
  const auto datagrams = call.Pack();
  ASSERT_EQ(1u, datagrams.size());
  EXPECT_EQ(Hex(Bytes("72 0010 01020304 0007 0000 00000000 00")), Hex(datagrams[0]));
}

}  // namespace

namespace {

TEST(TypedValuePacker, DocumentedExamplesAreTheBytesSent) {
  const FILETIME stamp = FileTimeOf(1796778123456000);
  VARIANT real = Var(VT_R8);
  real.dblVal = 21.7;
  VARIANT text = Var(VT_BSTR);
  text.bstrVal = SysAllocString(OLESTR("Hi"));
  Values change({real, text});
  change.call.dwTransid = 0;
  change.call.hGroup = 2;
  const FILETIME stamps[2] = {stamp, stamp};
  change.call.pftTimeStamps = stamps;
  EXPECT_EQ(
      Hex(Bytes("63 00 44  00 00 00 00  00 02  00 02  00 00 00 00  00"
                "00 00  00 05  00 C0  00  00 06 62 29 01 C9 EE 00  00 00 00 00  00 08"
                "40 35 B3 33 33 33 33 33"
                "00 01  00 08  00 C0  00  00 06 62 29 01 C9 EE 00  00 00 00 00  00 02  48 69")),
      Hex(change.Pack()[0]));

  VARIANT wide = Var(VT_I8);
  wide.llVal = -2;
  Values read({wide, Var(VT_EMPTY)});
  read.handles = {4, 5};
  read.call.phClientItems = read.handles.data();
  read.call.kind = kTypedReadCompleteKind;
  read.call.dwTransid = 7;
  read.call.hGroup = 1;
  read.call.hrMasterquality = S_FALSE;
  read.call.hrMastererror = S_FALSE;
  const WORD qualities[2] = {0x40, 0x00};
  const FILETIME readStamps[2] = {stamp, FILETIME{0, 0}};
  const HRESULT errors[2] = {S_OK, OPC_E_UNKNOWNITEMID};
  read.call.pwQualities = qualities;
  read.call.pftTimeStamps = readStamps;
  read.call.pErrors = errors;
  EXPECT_EQ(Hex(Bytes("72 00 42  00 00 00 07  00 01  00 02  00 00 00 01  01"
                      "00 04  00 14  00 40  00  00 06 62 29 01 C9 EE 00  00 00 00 00  00 08"
                      "FF FF FF FF FF FF FF FE"
                      "00 05  00 00  00 00  00  00 00 00 00 00 00 00 00  C0 04 00 07  00 00")),
            Hex(read.Pack()[0]));
}

}  // namespace
