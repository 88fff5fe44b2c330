#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "platform/com/com.h"

namespace {

VARIANT I4(LONG v) {
  VARIANT x;
  VariantInit(&x);
  x.vt = VT_I4;
  x.lVal = v;
  return x;
}
VARIANT R8(double v) {
  VARIANT x;
  VariantInit(&x);
  x.vt = VT_R8;
  x.dblVal = v;
  return x;
}
VARIANT R4(float v) {
  VARIANT x;
  VariantInit(&x);
  x.vt = VT_R4;
  x.fltVal = v;
  return x;
}
VARIANT Bool(bool v) {
  VARIANT x;
  VariantInit(&x);
  x.vt = VT_BOOL;
  x.boolVal = v ? VARIANT_TRUE : VARIANT_FALSE;
  return x;
}
VARIANT Ui4(ULONG v) {
  VARIANT x;
  VariantInit(&x);
  x.vt = VT_UI4;
  x.ulVal = v;
  return x;
}
VARIANT I1(int v) {
  VARIANT x;
  VariantInit(&x);
  x.vt = VT_I1;
  x.cVal = static_cast<CHAR>(static_cast<signed char>(v));
  return x;
}

// Owns a VT_BSTR variant made from text.
struct Text {
  VARIANT v;
  explicit Text(const char16_t* text) {
    VariantInit(&v);
    v.vt = VT_BSTR;
    v.bstrVal = SysAllocString(text);
  }
  ~Text() { VariantClear(&v); }
};

// The result of a conversion and the destination, cleared afterwards.
struct Converted {
  HRESULT hr;
  VARIANT v;
  Converted(const VARIANT& src, VARTYPE vt, USHORT flags = 0) {
    VariantInit(&v);
    hr = VariantChangeType(&v, &src, flags, vt);
  }
  ~Converted() { VariantClear(&v); }
  std::u16string text() const { return std::u16string(v.bstrVal, SysStringLen(v.bstrVal)); }
};

}  // namespace

TEST(VariantChangeTypeTest, IntegerOutOfRangeOverflowsAndLeavesDestinationAlone) {
  VARIANT dest = I4(7);
  const VARIANT big = I4(300);
  EXPECT_EQ(VariantChangeType(&dest, &big, 0, VT_I1), DISP_E_OVERFLOW);
  EXPECT_EQ(dest.vt, VT_I4);
  EXPECT_EQ(dest.lVal, 7);
  EXPECT_EQ(Converted(I4(-1), VT_UI4).hr, DISP_E_OVERFLOW);
  EXPECT_EQ(Converted(I4(65536), VT_UI2).hr, DISP_E_OVERFLOW);
  EXPECT_EQ(Converted(Ui4(3000000000u), VT_I4).hr, DISP_E_OVERFLOW);
  Converted fits(I4(-32768), VT_I2);
  EXPECT_EQ(fits.hr, S_OK);
  EXPECT_EQ(fits.v.vt, VT_I2);
  EXPECT_EQ(fits.v.iVal, -32768);
}

TEST(VariantChangeTypeTest, RealsRoundToNearestWithTiesToEven) {
  EXPECT_EQ(Converted(R8(2.5), VT_I4).v.lVal, 2);
  EXPECT_EQ(Converted(R8(3.5), VT_I4).v.lVal, 4);
  EXPECT_EQ(Converted(R8(-2.5), VT_I4).v.lVal, -2);
  EXPECT_EQ(Converted(R8(2.6), VT_I4).v.lVal, 3);
  EXPECT_EQ(Converted(R8(127.5), VT_I1).hr, DISP_E_OVERFLOW);
  Converted low(R8(-128.5), VT_I1);
  EXPECT_EQ(low.hr, S_OK);
  EXPECT_EQ(static_cast<signed char>(low.v.cVal), -128);
  EXPECT_EQ(Converted(R8(std::nan("")), VT_I4).hr, DISP_E_OVERFLOW);
  EXPECT_EQ(Converted(R8(4294967295.4), VT_UI4).v.ulVal, 4294967295u);
}

TEST(VariantChangeTypeTest, BooleanTrueIsMinusOneAndWrapsIntoUnsignedTypes) {
  EXPECT_EQ(Converted(Bool(true), VT_I2).v.iVal, -1);
  EXPECT_EQ(Converted(Bool(true), VT_UI1).v.bVal, 255);
  EXPECT_EQ(Converted(Bool(true), VT_UI2).v.uiVal, 65535);
  EXPECT_EQ(Converted(Bool(true), VT_UI4).v.ulVal, 0xFFFFFFFFu);
  EXPECT_EQ(Converted(Bool(true), VT_R8).v.dblVal, -1.0);
  EXPECT_EQ(Converted(Bool(false), VT_I4).v.lVal, 0);
  EXPECT_EQ(Converted(I4(5), VT_BOOL).v.boolVal, VARIANT_TRUE);
  EXPECT_EQ(Converted(R8(0.0), VT_BOOL).v.boolVal, VARIANT_FALSE);
}

TEST(VariantChangeTypeTest, NumbersBecomeDecimalText) {
  EXPECT_EQ(Converted(I1(-100), VT_BSTR).text(), u"-100");
  EXPECT_EQ(Converted(Ui4(3000000000u), VT_BSTR).text(), u"3000000000");
  EXPECT_EQ(Converted(R8(3.25), VT_BSTR).text(), u"3.25");
  EXPECT_EQ(Converted(R4(1.5f), VT_BSTR).text(), u"1.5");
  EXPECT_EQ(Converted(R4(0.1f), VT_BSTR).text(), u"0.1");
  EXPECT_EQ(Converted(R8(1e20), VT_BSTR).text(), u"1E+20");
  EXPECT_EQ(Converted(Bool(true), VT_BSTR).text(), u"-1");
  EXPECT_EQ(Converted(Bool(false), VT_BSTR).text(), u"0");
  EXPECT_EQ(Converted(Bool(true), VT_BSTR, VARIANT_ALPHABOOL).text(), u"True");
}

TEST(VariantChangeTypeTest, DecimalTextBecomesNumbers) {
  EXPECT_EQ(Converted(Text(u" 42 ").v, VT_I4).v.lVal, 42);
  EXPECT_EQ(Converted(Text(u"-7").v, VT_I2).v.iVal, -7);
  EXPECT_EQ(Converted(Text(u"1e3").v, VT_I2).v.iVal, 1000);
  EXPECT_EQ(Converted(Text(u"2.5").v, VT_I4).v.lVal, 2);
  EXPECT_EQ(Converted(Text(u"3000000000").v, VT_UI4).v.ulVal, 3000000000u);
  EXPECT_EQ(Converted(Text(u"0.25").v, VT_R8).v.dblVal, 0.25);
  EXPECT_EQ(Converted(Text(u"70000").v, VT_I2).hr, DISP_E_OVERFLOW);
  EXPECT_EQ(Converted(Text(u"1e400").v, VT_R8).hr, DISP_E_OVERFLOW);
}

TEST(VariantChangeTypeTest, TextThatIsNoNumberIsATypeMismatch) {
  for (const char16_t* text :
       {u"", u"abc", u"12abc", u"1.2.3", u"0x10", u"inf", u"nan", u"-", u"1e"})
    EXPECT_EQ(Converted(Text(text).v, VT_I4).hr, DISP_E_TYPEMISMATCH) << "text index";
  EXPECT_EQ(Converted(Text(u"\u4E00").v, VT_R8).hr, DISP_E_TYPEMISMATCH);
}

TEST(VariantChangeTypeTest, TextBecomesBooleanByWordOrNumber) {
  EXPECT_EQ(Converted(Text(u"True").v, VT_BOOL).v.boolVal, VARIANT_TRUE);
  EXPECT_EQ(Converted(Text(u"false").v, VT_BOOL).v.boolVal, VARIANT_FALSE);
  EXPECT_EQ(Converted(Text(u"0").v, VT_BOOL).v.boolVal, VARIANT_FALSE);
  EXPECT_EQ(Converted(Text(u"-1").v, VT_BOOL).v.boolVal, VARIANT_TRUE);
  EXPECT_EQ(Converted(Text(u"yes").v, VT_BOOL).hr, DISP_E_TYPEMISMATCH);
}

TEST(VariantChangeTypeTest, EmptyBecomesZeroFalseOrEmptyText) {
  VARIANT empty;
  VariantInit(&empty);
  EXPECT_EQ(Converted(empty, VT_I4).v.lVal, 0);
  EXPECT_EQ(Converted(empty, VT_BOOL).v.boolVal, VARIANT_FALSE);
  Converted text(empty, VT_BSTR);
  EXPECT_EQ(text.hr, S_OK);
  ASSERT_NE(text.v.bstrVal, nullptr);
  EXPECT_EQ(SysStringLen(text.v.bstrVal), 0u);
}

TEST(VariantChangeTypeTest, DoubleBeyondSinglePrecisionOverflows) {
  EXPECT_EQ(Converted(R8(1e39), VT_R4).hr, DISP_E_OVERFLOW);
  EXPECT_EQ(Converted(R8(std::numeric_limits<double>::infinity()), VT_R4).hr, DISP_E_OVERFLOW);
  EXPECT_EQ(Converted(R8(1e38), VT_R4).hr, S_OK);
}

TEST(VariantChangeTypeTest, TypesOutsideTheSubsetAreRefused) {
  VARIANT error;
  VariantInit(&error);
  error.vt = VT_ERROR;
  EXPECT_EQ(Converted(error, VT_I4).hr, DISP_E_TYPEMISMATCH);
  EXPECT_EQ(Converted(I4(1), VT_DECIMAL).hr, DISP_E_TYPEMISMATCH);
  EXPECT_EQ(Converted(I4(1), 15).hr, DISP_E_BADVARTYPE);
  EXPECT_EQ(Converted(I4(1), VT_ARRAY | VT_I4).hr, DISP_E_BADVARTYPE);
  EXPECT_EQ(VariantChangeType(nullptr, &error, 0, VT_I4), E_INVALIDARG);
}

TEST(VariantChangeTypeTest, TextBecomesA64BitIntegerExactlyWithinItsRange) {
  Converted largest(Text(u"9223372036854775807").v, VT_I8);
  EXPECT_EQ(largest.hr, S_OK);
  EXPECT_EQ(largest.v.vt, VT_I8);
  EXPECT_EQ(largest.v.llVal, INT64_MAX);
  EXPECT_EQ(Converted(Text(u"-9223372036854775808").v, VT_I8).v.llVal, INT64_MIN);
  EXPECT_EQ(Converted(Text(u"9223372036854775808").v, VT_I8).hr, DISP_E_OVERFLOW);
  EXPECT_EQ(Converted(Text(u"-9223372036854775809").v, VT_I8).hr, DISP_E_OVERFLOW);
  EXPECT_EQ(Converted(Text(u"18446744073709551615").v, VT_UI8).v.ullVal, UINT64_MAX);
  EXPECT_EQ(Converted(Text(u"18446744073709551616").v, VT_UI8).hr, DISP_E_OVERFLOW);
  EXPECT_EQ(Converted(Text(u"1e30").v, VT_UI8).hr, DISP_E_OVERFLOW);
  EXPECT_EQ(Converted(Text(u"-1").v, VT_UI8).hr, DISP_E_OVERFLOW);
  // Fractions round to even on the exact digits, not on a real's approximation.
  EXPECT_EQ(Converted(Text(u"2.5").v, VT_I8).v.llVal, 2);
  EXPECT_EQ(Converted(Text(u"2.50000000000000000001").v, VT_I8).v.llVal, 3);
  EXPECT_EQ(Converted(Text(u"-0.4").v, VT_UI8).v.ullVal, 0u);
  EXPECT_EQ(Converted(Text(u"12abc").v, VT_I8).hr, DISP_E_TYPEMISMATCH);
  EXPECT_EQ(Converted(Bool(true), VT_UI8).v.ullVal, UINT64_MAX);
  VARIANT big;
  VariantInit(&big);
  big.vt = VT_I8;
  big.llVal = INT64_MIN;
  EXPECT_EQ(Converted(big, VT_BSTR).text(), u"-9223372036854775808");
  EXPECT_EQ(Converted(big, VT_I4).hr, DISP_E_OVERFLOW);
  EXPECT_EQ(Converted(R8(9223372036854775808.0), VT_I8).hr, DISP_E_OVERFLOW);
}

TEST(VariantChangeTypeTest, CurrencyKeepsFourDecimalsRoundingTiesToEven) {
  Converted cy(Text(u"12.3456").v, VT_CY);
  EXPECT_EQ(cy.hr, S_OK);
  EXPECT_EQ(cy.v.vt, VT_CY);
  EXPECT_EQ(cy.v.cyVal.int64, 123456);
  EXPECT_EQ(Converted(Text(u"12.34565").v, VT_CY).v.cyVal.int64, 123456);
  EXPECT_EQ(Converted(Text(u"12.34575").v, VT_CY).v.cyVal.int64, 123458);
  EXPECT_EQ(Converted(Text(u"-0.5").v, VT_CY).v.cyVal.int64, -5000);
  EXPECT_EQ(Converted(Text(u"922337203685477.5807").v, VT_CY).v.cyVal.int64, INT64_MAX);
  EXPECT_EQ(Converted(Text(u"922337203685477.5808").v, VT_CY).hr, DISP_E_OVERFLOW);
  EXPECT_EQ(Converted(Text(u"12,5").v, VT_CY).hr, DISP_E_TYPEMISMATCH);
  EXPECT_EQ(Converted(R8(1e300), VT_CY).hr, DISP_E_OVERFLOW);
  EXPECT_EQ(Converted(Bool(true), VT_CY).v.cyVal.int64, -10000);
  EXPECT_EQ(Converted(cy.v, VT_BSTR).text(), u"12.3456");
  VARIANT half;
  VariantInit(&half);
  half.vt = VT_CY;
  half.cyVal.int64 = 25000;
  EXPECT_EQ(Converted(half, VT_I4).v.lVal, 2);
  half.cyVal.int64 = 35000;
  EXPECT_EQ(Converted(half, VT_I4).v.lVal, 4);
  half.cyVal.int64 = -5000;
  EXPECT_EQ(Converted(half, VT_BSTR).text(), u"-0.5");
  half.cyVal.int64 = 70000;
  EXPECT_EQ(Converted(half, VT_BSTR).text(), u"7");
}

TEST(VariantChangeTypeTest, DateFromItsDayTextOrANumberOfDays) {
  Converted day(Text(u"2026-12-09").v, VT_DATE);
  EXPECT_EQ(day.hr, S_OK);
  EXPECT_EQ(day.v.vt, VT_DATE);
  EXPECT_EQ(day.v.date, 46365.0);
  EXPECT_EQ(Converted(Text(u" 2026-12-09 10:30 ").v, VT_DATE).v.date, 46365.4375);
  EXPECT_DOUBLE_EQ(Converted(Text(u"2026-12-09 10:30:15").v, VT_DATE).v.date,
                   46365.0 + 37815.0 / 86400.0);
  EXPECT_EQ(Converted(Text(u"2026-1-5").v, VT_DATE).v.date, 46027.0);
  // Before 1899-12-30 the time of day counts away from zero.
  EXPECT_EQ(Converted(Text(u"1899-12-29 06:00:00").v, VT_DATE).v.date, -1.25);
  EXPECT_EQ(Converted(Text(u"0100-01-01").v, VT_DATE).v.date, -657434.0);
  for (const char16_t* text : {u"2026-12-09T10:30:00", u"2026-02-30", u"2026-12-09 24:00",
                               u"2026-12-09 10:30:15.5", u"46023.5", u"", u"12/9/2026"})
    EXPECT_EQ(Converted(Text(text).v, VT_DATE).hr, DISP_E_TYPEMISMATCH);
  EXPECT_EQ(Converted(R8(46023.5), VT_DATE).v.date, 46023.5);
  EXPECT_EQ(Converted(R8(3000000.0), VT_DATE).hr, DISP_E_OVERFLOW);
  EXPECT_EQ(Converted(day.v, VT_I4).v.lVal, 46365);
  EXPECT_EQ(Converted(day.v, VT_BSTR).hr, DISP_E_TYPEMISMATCH);
}

TEST(VariantChangeTypeTest, ConversionInPlaceFreesTheOldText) {
  Text value(u"12");
  EXPECT_EQ(VariantChangeType(&value.v, &value.v, 0, VT_I4), S_OK);
  EXPECT_EQ(value.v.vt, VT_I4);
  EXPECT_EQ(value.v.lVal, 12);
  // AddressSanitizer reports the old BSTR if it leaked.
}

namespace {
struct CountedObject final : IUnknown {
  std::atomic<ULONG> refs{1};
  HRESULT QueryInterface(REFIID, void** ppv) override {
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return ++refs; }
  ULONG Release() override { return --refs; }
};
}  // namespace

TEST(VariantLifeTest, CopyDuplicatesTextAndClearFreesIt) {
  Text source(u"Quarnix");
  VARIANT copy = I4(1);
  ASSERT_EQ(VariantCopy(&copy, &source.v), S_OK);
  EXPECT_EQ(copy.vt, VT_BSTR);
  EXPECT_NE(copy.bstrVal, source.v.bstrVal);
  EXPECT_EQ(std::u16string(copy.bstrVal), u"Quarnix");
  EXPECT_EQ(VariantClear(&copy), S_OK);
  EXPECT_EQ(copy.vt, VT_EMPTY);
}

TEST(VariantLifeTest, CopyAndClearCountInterfaceReferences) {
  CountedObject object;
  VARIANT holder;
  VariantInit(&holder);
  holder.vt = VT_UNKNOWN;
  holder.punkVal = &object;
  object.AddRef();
  VARIANT copy;
  VariantInit(&copy);
  ASSERT_EQ(VariantCopy(&copy, &holder), S_OK);
  EXPECT_EQ(object.refs.load(), 3u);
  VariantClear(&copy);
  VariantClear(&holder);
  EXPECT_EQ(object.refs.load(), 1u);
}

TEST(VariantLifeTest, ClearRefusesAnUnknownType) {
  VARIANT bad;
  VariantInit(&bad);
  bad.vt = 99;
  EXPECT_EQ(VariantClear(&bad), DISP_E_BADVARTYPE);
  EXPECT_EQ(VariantClear(nullptr), E_INVALIDARG);
}
