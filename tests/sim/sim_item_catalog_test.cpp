#include "sim/sim_item_catalog.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string TextOf(const VARIANT& v) {
  VARIANT text;
  VariantInit(&text);
  VariantChangeType(&text, &v, 0, VT_BSTR);
  std::string ascii;
  for (UINT i = 0; i < SysStringLen(text.bstrVal); ++i)
    ascii.push_back(static_cast<char>(text.bstrVal[i]));
  VariantClear(&text);
  return ascii;
}

// The value of id at tick, as its canonical type and text.
std::pair<VARTYPE, std::string> ValueAt(std::u16string_view id, std::uint64_t tick) {
  SimItemInfo info;
  EXPECT_EQ(ParseSimItemId(id, &info), S_OK);
  VARIANT v;
  VariantInit(&v);
  MakeSimValue(info, SimItemSeed(id), tick, &v);
  auto result = std::make_pair(v.vt, TextOf(v));
  VariantClear(&v);
  return result;
}

}  // namespace

TEST(SimItemCatalogTest, FamiliesAndTypesGiveCanonicalTypesAndRights) {
  SimItemInfo info;
  ASSERT_EQ(ParseSimItemId(u"Static.UInt4", &info), S_OK);
  EXPECT_EQ(info.canonicalType, VT_UI4);
  EXPECT_EQ(info.accessRights, OPC_READABLE);
  ASSERT_EQ(ParseSimItemId(u"Memory.Boolean", &info), S_OK);
  EXPECT_EQ(info.canonicalType, VT_BOOL);
  EXPECT_EQ(info.accessRights, OPC_READABLE | OPC_WRITEABLE);
  ASSERT_EQ(ParseSimItemId(u"Memory.String.line 3.speed", &info), S_OK);
  EXPECT_EQ(info.canonicalType, VT_BSTR);
  ASSERT_EQ(ParseSimItemId(u"Bad.Real4", &info), S_OK);
  EXPECT_EQ(info.quality, OPC_QUALITY_BAD);
  ASSERT_EQ(ParseSimItemId(u"Uncertain.Int1", &info), S_OK);
  EXPECT_EQ(info.quality, OPC_QUALITY_UNCERTAIN);
}

TEST(SimItemCatalogTest, EmptyOrMalformedIdsAreInvalid) {
  for (std::u16string_view id : {u"", u".", u"Ramp.", u".Int4", u"Ramp..Int4", u"Memory.Int4.",
                                 u"Memory.Int4.a..b", u"Ramp.Int4\n"})
    EXPECT_EQ(ParseSimItemId(id, nullptr), OPC_E_INVALIDITEMID)
        << std::string(id.begin(), id.end());
}

TEST(SimItemCatalogTest, WellFormedButUndefinedIdsAreUnknown) {
  for (std::u16string_view id : {u"Ramp", u"ramp.Int4", u"Ramp.int4", u"Ramp.Int16", u"Foo.Int4",
                                 u"Static.Int4.x", u"Bad.Int4.x"})
    EXPECT_EQ(ParseSimItemId(id, nullptr), OPC_E_UNKNOWNITEMID)
        << std::string(id.begin(), id.end());
}

TEST(SimItemCatalogTest, SixtyFourBitDateAndCurrencyTypesAndSuffixedTickingItems) {
  SimItemInfo info;
  ASSERT_EQ(S_OK, ParseSimItemId(u"Ramp.Int4.line 7", &info));
  EXPECT_EQ(SimFamily::kRamp, info.family);
  ASSERT_EQ(S_OK, ParseSimItemId(u"Random.Real8.tank.3", &info));
  EXPECT_EQ(SimFamily::kRandom, info.family);
  EXPECT_NE(SimItemSeed(u"Random.Real8.tank.3"), SimItemSeed(u"Random.Real8.tank.4"));
  const struct {
    const char16_t* id;
    VARTYPE vt;
  } kinds[] = {{u"Static.Int8", VT_I8},
               {u"Memory.UInt8.x", VT_UI8},
               {u"Ramp.Date", VT_DATE},
               {u"Random.Currency", VT_CY}};
  for (const auto& kind : kinds) {
    ASSERT_EQ(S_OK, ParseSimItemId(kind.id, &info));
    EXPECT_EQ(kind.vt, info.canonicalType);
  }
  // Served in their own type only.
  EXPECT_FALSE(IsSupportedRequestedType(VT_I8, VT_R8));
  EXPECT_TRUE(IsSupportedRequestedType(VT_CY, VT_CY));

  VARIANT v;
  VariantInit(&v);
  ASSERT_EQ(S_OK, ParseSimItemId(u"Static.Int8", &info));
  MakeSimValue(info, 0, 0, &v);
  EXPECT_EQ(-9000000000ll, v.llVal);
  ASSERT_EQ(S_OK, ParseSimItemId(u"Static.UInt8", &info));
  MakeSimValue(info, 0, 0, &v);
  EXPECT_EQ(18000000000000000000ull, v.ullVal);
  ASSERT_EQ(S_OK, ParseSimItemId(u"Static.Date", &info));
  MakeSimValue(info, 0, 0, &v);
  EXPECT_EQ(46023.5, v.date);
  ASSERT_EQ(S_OK, ParseSimItemId(u"Static.Currency", &info));
  MakeSimValue(info, 0, 0, &v);
  EXPECT_EQ(123400, v.cyVal.int64);

  // Writes: decimal texts exactly, numbers of other types converted, out of range refused.
  VARIANT text;
  VariantInit(&text);
  text.vt = VT_BSTR;
  text.bstrVal = SysAllocString(u"9223372036854775807");
  VARIANT out;
  ASSERT_EQ(S_OK, ConvertSimWriteValue(text, VT_I8, &out));
  EXPECT_EQ(9223372036854775807ll, out.llVal);
  EXPECT_EQ(DISP_E_OVERFLOW, ConvertSimWriteValue(text, VT_I4, &out));
  VariantClear(&text);
  text.vt = VT_BSTR;
  text.bstrVal = SysAllocString(u" 12.34 ");
  ASSERT_EQ(S_OK, ConvertSimWriteValue(text, VT_CY, &out));
  EXPECT_EQ(123400, out.cyVal.int64);
  ASSERT_EQ(S_OK, ConvertSimWriteValue(text, VT_UI8, &out));
  EXPECT_EQ(12u, out.ullVal);
  VariantClear(&text);
  VARIANT negative;
  VariantInit(&negative);
  negative.vt = VT_I4;
  negative.lVal = -1;
  EXPECT_EQ(DISP_E_OVERFLOW, ConvertSimWriteValue(negative, VT_UI8, &out));
  ASSERT_EQ(S_OK, ConvertSimWriteValue(negative, VT_DATE, &out));
  EXPECT_EQ(-1.0, out.date);
}

TEST(SimItemCatalogTest, StaticValuesAreFixed) {
  EXPECT_EQ(ValueAt(u"Static.Int1", 5), std::make_pair(VARTYPE(VT_I1), std::string("-100")));
  EXPECT_EQ(ValueAt(u"Static.Int2", 5), std::make_pair(VARTYPE(VT_I2), std::string("300")));
  EXPECT_EQ(ValueAt(u"Static.Int4", 5), std::make_pair(VARTYPE(VT_I4), std::string("70000")));
  EXPECT_EQ(ValueAt(u"Static.UInt1", 5), std::make_pair(VARTYPE(VT_UI1), std::string("200")));
  EXPECT_EQ(ValueAt(u"Static.UInt2", 5), std::make_pair(VARTYPE(VT_UI2), std::string("50000")));
  EXPECT_EQ(ValueAt(u"Static.UInt4", 5),
            std::make_pair(VARTYPE(VT_UI4), std::string("3000000000")));
  EXPECT_EQ(ValueAt(u"Static.Boolean", 5), std::make_pair(VARTYPE(VT_BOOL), std::string("-1")));
  EXPECT_EQ(ValueAt(u"Static.Real4", 5), std::make_pair(VARTYPE(VT_R4), std::string("1.5")));
  EXPECT_EQ(ValueAt(u"Static.Real8", 5), std::make_pair(VARTYPE(VT_R8), std::string("3.25")));
  EXPECT_EQ(ValueAt(u"Static.String", 5), std::make_pair(VARTYPE(VT_BSTR), std::string("Quarnix")));
}

TEST(SimItemCatalogTest, RampIsTheTickCountWrappedToTheType) {
  EXPECT_EQ(ValueAt(u"Ramp.Int1", 200).second, "-56");
  EXPECT_EQ(ValueAt(u"Ramp.UInt1", 300).second, "44");
  EXPECT_EQ(ValueAt(u"Ramp.Int2", 40000).second, "-25536");
  EXPECT_EQ(ValueAt(u"Ramp.UInt4", 4294967297ull).second, "1");
  EXPECT_EQ(ValueAt(u"Ramp.Boolean", 7).second, "-1");
  EXPECT_EQ(ValueAt(u"Ramp.Boolean", 8).second, "0");
  EXPECT_EQ(ValueAt(u"Ramp.Real8", 123).second, "123");
  EXPECT_EQ(ValueAt(u"Ramp.String", 123), std::make_pair(VARTYPE(VT_BSTR), std::string("123")));
}

TEST(SimItemCatalogTest, RandomRepeatsPerIdAndTickAndChangesWithTheTick) {
  EXPECT_EQ(ValueAt(u"Random.Int4", 10), ValueAt(u"Random.Int4", 10));
  EXPECT_NE(ValueAt(u"Random.Int4", 10), ValueAt(u"Random.Int4", 11));
  EXPECT_NE(SimItemSeed(u"Random.Int4"), SimItemSeed(u"Random.Int2"));
  for (std::uint64_t tick = 0; tick < 50; ++tick) {
    const double value = std::stod(ValueAt(u"Random.Real8", tick).second);
    EXPECT_GE(value, 0.0);
    EXPECT_LT(value, 100.0);
  }
}

TEST(SimItemCatalogTest, MemoryBadAndUncertainStartAtZero) {
  EXPECT_EQ(ValueAt(u"Memory.Int4", 9).second, "0");
  EXPECT_EQ(ValueAt(u"Memory.Boolean", 9).second, "0");
  EXPECT_EQ(ValueAt(u"Memory.String", 9), std::make_pair(VARTYPE(VT_BSTR), std::string("")));
  EXPECT_EQ(ValueAt(u"Bad.Real8", 9).second, "0");
  EXPECT_EQ(ValueAt(u"Uncertain.UInt2", 9).second, "0");
}

TEST(SimItemCatalogTest, TextItemsCanOnlyBeRequestedAsText) {
  EXPECT_TRUE(IsSupportedRequestedType(VT_BSTR, VT_EMPTY));
  EXPECT_TRUE(IsSupportedRequestedType(VT_BSTR, VT_BSTR));
  EXPECT_FALSE(IsSupportedRequestedType(VT_BSTR, VT_I4));
  EXPECT_TRUE(IsSupportedRequestedType(VT_I4, VT_BSTR));
  EXPECT_TRUE(IsSupportedRequestedType(VT_BOOL, VT_R8));
  EXPECT_FALSE(IsSupportedRequestedType(VT_I4, VT_DATE));
  EXPECT_FALSE(IsSupportedRequestedType(VT_I4, VT_I8));
  EXPECT_FALSE(IsSupportedRequestedType(VT_I4, VT_ARRAY | VT_I4));
}
