#include "protocol/typed_value_text.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "protocol/opc_value_text.h"

namespace {

template <class Set>
std::string TextOf(VARTYPE vt, Set set) {
  VARIANT v{};
  v.vt = vt;
  set(v);
  std::string text = TypedValueText(v);
  VariantClear(&v);
  return text;
}

TEST(TypedValueText, RealsAreTheShortestTextThatReadsBack) {
  EXPECT_EQ("21.7", TextOf(VT_R8, [](VARIANT& v) { v.dblVal = 21.7; }));
  EXPECT_EQ("1e+300", TextOf(VT_R8, [](VARIANT& v) { v.dblVal = 1e300; }));
  EXPECT_EQ("0.1", TextOf(VT_R4, [](VARIANT& v) { v.fltVal = 0.1f; }));
  EXPECT_EQ("nan", TextOf(VT_R8, [](VARIANT& v) { v.dblVal = -std::nan(""); }));
  EXPECT_EQ("inf", TextOf(VT_R4, [](VARIANT& v) { v.fltVal = INFINITY; }));
  EXPECT_EQ("-inf", TextOf(VT_R8, [](VARIANT& v) { v.dblVal = -INFINITY; }));
}

TEST(TypedValueText, IntegersBooleansCurrencyAndDates) {
  EXPECT_EQ("-9223372036854775808",
            TextOf(VT_I8, [](VARIANT& v) { v.llVal = std::numeric_limits<LONGLONG>::min(); }));
  EXPECT_EQ("18446744073709551615",
            TextOf(VT_UI8, [](VARIANT& v) { v.ullVal = std::numeric_limits<ULONGLONG>::max(); }));
  EXPECT_EQ("3000000000", TextOf(VT_UI4, [](VARIANT& v) { v.ulVal = 3000000000u; }));
  EXPECT_EQ("-100", TextOf(VT_I1, [](VARIANT& v) { v.cVal = -100; }));
  EXPECT_EQ("1", TextOf(VT_BOOL, [](VARIANT& v) { v.boolVal = VARIANT_TRUE; }));
  EXPECT_EQ("0", TextOf(VT_BOOL, [](VARIANT& v) { v.boolVal = VARIANT_FALSE; }));
  EXPECT_EQ("12.34", TextOf(VT_CY, [](VARIANT& v) { v.cyVal.int64 = 123400; }));
  EXPECT_EQ("-0.5", TextOf(VT_CY, [](VARIANT& v) { v.cyVal.int64 = -5000; }));
  EXPECT_EQ("7", TextOf(VT_CY, [](VARIANT& v) { v.cyVal.int64 = 70000; }));
  EXPECT_EQ("0.0001", TextOf(VT_CY, [](VARIANT& v) { v.cyVal.int64 = 1; }));
  EXPECT_EQ("-922337203685477.5808", TextOf(VT_CY, [](VARIANT& v) {
              v.cyVal.int64 = std::numeric_limits<LONGLONG>::min();
            }));
  EXPECT_EQ("1970-01-01T12:00:00.000Z", TextOf(VT_DATE, [](VARIANT& v) { v.date = 25569.5; }));
  EXPECT_EQ("1899-12-29T06:00:00.000Z", TextOf(VT_DATE, [](VARIANT& v) { v.date = -1.25; }));
}

TEST(TypedValueText, TextsAreEscapedUtf8AndOtherTypesAreNamed) {
  const WideChar text[] = {u'a', u'\\', u'\t', u'\r', u'\n', 0x01, 0x00E9, 0xD800};
  EXPECT_EQ("a\\\\\\t\\r\\n\\x01\xC3\xA9\xEF\xBF\xBD",
            TextOf(VT_BSTR, [&](VARIANT& v) { v.bstrVal = SysAllocStringLen(text, 8); }));
  EXPECT_EQ("", TextOf(VT_EMPTY, [](VARIANT&) {}));
  EXPECT_EQ("(VARTYPE 14)", TextOf(VT_DECIMAL, [](VARIANT&) {}));
  EXPECT_EQ("(VARTYPE 8195)", TextOf(VT_ARRAY | VT_I4, [](VARIANT& v) { v.byref = nullptr; }));
  // The property values of "IP" name an array's type the same way.
  VARIANT array{};
  array.vt = VT_ARRAY | VT_R8;
  EXPECT_EQ("(VARTYPE 8197)", OpcValueText(array));
}

TEST(TypedValueText, TimestampsAreIsoUtcWithMillisecondsAndEmptyForNone) {
  EXPECT_EQ("1970-01-01T00:00:00.000Z", IsoUtcText(0));
  EXPECT_EQ("1969-12-31T23:59:59.998Z", IsoUtcText(-1500));
  EXPECT_EQ("2026-12-09T01:02:03.456Z", IsoUtcText(1796778123456789));
  EXPECT_EQ("", TimestampText(FILETIME{0, 0}));
  const std::uint64_t ticks = 116444736000000000ull + 10;
  EXPECT_EQ("1970-01-01T00:00:00.000Z",
            TimestampText(FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)}));
}

}  // namespace
