#include "opc/item_value_packer.h"

#include <gtest/gtest.h>

#include <vector>

#include "tests/opc/opc_test_helpers.h"

namespace {

VARIANT Var(VARTYPE vt) {
  VARIANT v{};
  v.vt = vt;
  return v;
}

VARIANT I2(SHORT value) {
  VARIANT v = Var(VT_I2);
  v.iVal = value;
  return v;
}

VARIANT I4(LONG value) {
  VARIANT v = Var(VT_I4);
  v.lVal = value;
  return v;
}

VARIANT Bool(VARIANT_BOOL value) {
  VARIANT v = Var(VT_BOOL);
  v.boolVal = value;
  return v;
}

// One call over n items with handles 0..n-1 and I4 values equal to the handle.
struct Items {
  explicit Items(DWORD n, HRESULT quality = S_OK, HRESULT error = S_OK) {
    for (DWORD i = 0; i < n; ++i) {
      handles.push_back(i);
      values.push_back(I4(static_cast<LONG>(i)));
      qualities.push_back(OPC_QUALITY_GOOD);
      errors.push_back(S_OK);
    }
    call.dwCount = n;
    call.hrMasterquality = quality;
    call.hrMastererror = error;
    Point();
  }
  void Point() {
    call.phClientItems = handles.data();
    call.pvValues = values.data();
    call.pwQualities = qualities.data();
    call.pErrors = errors.data();
  }
  std::vector<std::uint8_t> Pack(DWORD begin, DWORD end) {
    Point();
    std::vector<std::uint8_t> out(kMaxItemDatagramBytes);
    out.resize(PackItemDatagram(call, begin, end, out.data()));
    return out;
  }

  ItemValueCall call;
  std::vector<OPCHANDLE> handles;
  std::vector<VARIANT> values;
  std::vector<WORD> qualities;
  std::vector<HRESULT> errors;
};

std::vector<std::uint8_t> ValueBytes(const VARIANT& v) {
  std::vector<std::uint8_t> out(8);
  out.resize(PackItemValue(v, out.data()));
  return out;
}

}  // namespace

TEST(ItemValuePacker, TwoItemChangeGivesThe25ByteExample) {
  Items items(2);
  items.call.hGroup = 2;
  items.values[0] = I2(300);
  items.values[1] = Bool(VARIANT_TRUE);
  EXPECT_EQ(items.Pack(0, 2),
            Bytes({0x43, 0x00, 0x19, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0x02, 0x00, 0x00,
                   0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0x01, 0x2C, 0x00, 0x01, 0x01, 0x01}));
}

TEST(ItemValuePacker, NoItemsGiveTheSixteenByteHeaderAlone) {
  Items items(0);
  items.call.kind = kReadCompleteKind;
  items.call.dwTransid = 0x01020304;
  items.call.hGroup = 0x12345;  // only the low 16 bits travel
  EXPECT_EQ(items.Pack(0, 0), Bytes({0x52, 0x00, 0x10, 0x01, 0x02, 0x03, 0x04, 0x23, 0x45, 0x00,
                                     0x00, 0x00, 0x00, 0x00, 0x00, 0x00}));
}

TEST(ItemValuePacker, EachVariantTypeHasItsValueBytes) {
  VARIANT v;
  EXPECT_EQ(ValueBytes(I2(-2)), Bytes({0xFF, 0xFE}));
  EXPECT_EQ(ValueBytes(I4(-2)), Bytes({0xFF, 0xFF, 0xFF, 0xFE}));
  v = Var(VT_UI4);
  v.ulVal = 0x80000001u;
  EXPECT_EQ(ValueBytes(v), Bytes({0x80, 0x00, 0x00, 0x01}));
  EXPECT_EQ(ValueBytes(Bool(VARIANT_TRUE)), Bytes({0x01}));
  EXPECT_EQ(ValueBytes(Bool(VARIANT_FALSE)), Bytes({0x00}));
  v = Var(VT_I1);
  v.cVal = -1;
  EXPECT_EQ(ValueBytes(v), Bytes({0xFF}));
  v = Var(VT_UI1);
  v.bVal = 200;
  EXPECT_EQ(ValueBytes(v), Bytes({0xC8}));
  v = Var(VT_UI2);
  v.uiVal = 0xABCD;
  EXPECT_EQ(ValueBytes(v), Bytes({0xAB, 0xCD}));
}

TEST(ItemValuePacker, OtherTypesCarryNoValueBytes) {
  for (VARTYPE vt : {VT_EMPTY, VT_R4, VT_R8, VT_CY, VT_DATE, VT_BSTR, VT_ERROR, VT_I8, VT_UI8,
                     VT_INT, VT_UINT}) {
    VARIANT v = Var(vt);
    v.llVal = -1;
    EXPECT_EQ(ValueBytes(v).size(), 0u) << "vt " << vt;
  }
  VARIANT byRef = Var(VT_I2 | VT_BYREF);
  EXPECT_EQ(ValueBytes(byRef).size(), 0u);
  VARIANT array = Var(VT_I4 | VT_ARRAY);
  EXPECT_EQ(ValueBytes(array).size(), 0u);
}

TEST(ItemValuePacker, R8AndBstrEntriesHaveLengthZero) {
  Items items(2);
  items.values[0] = Var(VT_R8);
  items.values[0].dblVal = 3.25;
  items.values[1] = Var(VT_BSTR);
  const auto bytes = items.Pack(0, 2);
  EXPECT_EQ(std::vector<std::uint8_t>(bytes.begin() + 16, bytes.end()),
            Bytes({0x00, 0x00, 0x00, 0x00, 0x01, 0x00}));
  EXPECT_EQ(bytes[2], 22);
}

TEST(ItemValuePacker, MasterErrorAddsTheItemErrorButNoQuality) {
  Items items(1, S_OK, S_FALSE);
  items.values[0] = I2(5);
  items.errors[0] = static_cast<HRESULT>(0xC0040007u);
  const auto bytes = items.Pack(0, 1);
  EXPECT_EQ(
      std::vector<std::uint8_t>(bytes.begin() + 11, bytes.end()),
      Bytes({0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x02, 0x00, 0x05, 0xC0, 0x04, 0x00, 0x07}));
}

TEST(ItemValuePacker, MasterQualityAddsTheLowQualityByteBeforeTheError) {
  Items items(1, S_FALSE, static_cast<HRESULT>(0x80004005u));
  items.values[0] = Bool(VARIANT_FALSE);
  items.qualities[0] = 0x12D8;  // only the low 8 bits travel
  items.errors[0] = 0;
  const auto bytes = items.Pack(0, 1);
  EXPECT_EQ(
      std::vector<std::uint8_t>(bytes.begin() + 11, bytes.end()),
      Bytes({0x80, 0x00, 0x40, 0x05, 0x01, 0x00, 0x00, 0x01, 0x00, 0xD8, 0x00, 0x00, 0x00, 0x00}));
}

TEST(ItemValuePacker, OptionalFieldsFollowTheFull32BitMasterValues) {
  // 0x100 has a zero low byte, so the header shows quality 00, yet every entry has its quality.
  Items items(1, 0x100, 0x10000);
  items.values[0] = Var(VT_EMPTY);
  items.qualities[0] = OPC_QUALITY_UNCERTAIN;
  const auto bytes = items.Pack(0, 1);
  EXPECT_EQ(std::vector<std::uint8_t>(bytes.begin() + 11, bytes.end()),
            Bytes({0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x40, 0x00, 0x00, 0x00, 0x00}));
}

TEST(ItemValuePacker, DatagramCountUses121EntriesPerDatagram) {
  EXPECT_EQ(ItemDatagramCount(0), 1u);
  EXPECT_EQ(ItemDatagramCount(1), 1u);
  EXPECT_EQ(ItemDatagramCount(121), 1u);
  EXPECT_EQ(ItemDatagramCount(122), 2u);
  EXPECT_EQ(ItemDatagramCount(242), 2u);
  EXPECT_EQ(ItemDatagramCount(243), 3u);
  EXPECT_EQ(ItemDatagramCount(300), 3u);
  EXPECT_EQ(ItemDatagramCount(70000), 579u);
}

TEST(ItemValuePacker, FullDatagramWithBothOptionalFieldsIs1468Bytes) {
  Items items(121, S_FALSE, S_FALSE);
  const auto bytes = items.Pack(0, 121);
  ASSERT_EQ(bytes.size(), 1468u);
  EXPECT_EQ(bytes[1], 0x05);
  EXPECT_EQ(bytes[2], 0xBC);
  EXPECT_EQ(bytes[9], 0x00);
  EXPECT_EQ(bytes[10], 121);
}

TEST(ItemValuePacker, ALaterRangeCarriesItsOwnHandlesAndCount) {
  Items items(300);
  const auto bytes = items.Pack(242, 300);
  EXPECT_EQ(bytes.size(), 16u + 58u * 7u);
  EXPECT_EQ(bytes[10], 58);
  // First entry: handle 242, L 4, value 242.
  EXPECT_EQ(std::vector<std::uint8_t>(bytes.begin() + 16, bytes.begin() + 23),
            Bytes({0x00, 0xF2, 0x04, 0x00, 0x00, 0x00, 0xF2}));
}

TEST(ItemValuePacker, DatagramOf255BytesOrLessHasZeroInByteOne) {
  Items items(34);  // 16 + 34 * 7 = 254
  const auto bytes = items.Pack(0, 34);
  ASSERT_EQ(bytes.size(), 254u);
  EXPECT_EQ(bytes[1], 0x00);
  EXPECT_EQ(bytes[2], 0xFE);
}

TEST(ItemValuePacker, WriteCompleteIsThirteenBytes) {
  std::uint8_t out[kWriteCompleteBytes];
  ASSERT_EQ(PackWriteComplete(7, 0x10003, S_FALSE, 0x10005, out), 13u);
  EXPECT_EQ(std::vector<std::uint8_t>(out, out + 13),
            Bytes({0x57, 0x00, 0x00, 0x00, 0x07, 0x00, 0x03, 0x00, 0x05, 0x00, 0x00, 0x00, 0x01}));
}

TEST(ItemValuePacker, CancelCompleteIsSevenBytes) {
  std::uint8_t out[kCancelCompleteBytes];
  ASSERT_EQ(PackCancelComplete(0xA1B2C3D4u, 9, out), 7u);
  EXPECT_EQ(std::vector<std::uint8_t>(out, out + 7),
            Bytes({0x4E, 0xA1, 0xB2, 0xC3, 0xD4, 0x00, 0x09}));
}
