// The simulator's address space through its server object's browse and property interfaces:
// positions, listings, filters, the enumerator's paging, GetItemID, the flat variant, Many.N and
// the properties.
#include "sim/sim_address_space.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/simulator.h"

namespace {

std::string Ascii(const WideChar* text) {
  std::string ascii;
  for (; text != nullptr && *text != 0; ++text) ascii.push_back(static_cast<char>(*text));
  return ascii;
}

class SimBrowseTest : public ::testing::Test {
protected:
  void Open(bool flat) {
    ComPtr<IUnknown> server;
    ASSERT_EQ(S_OK, (flat ? CreateSimulatorFlatObject : CreateSimulatorObject)(IID_IUnknown,
                                                                               server.PutVoid()));
    ASSERT_EQ(S_OK, server->QueryInterface(IID_IOPCBrowseServerAddressSpace, m_browse.PutVoid()));
    ASSERT_EQ(S_OK, server->QueryInterface(IID_IOPCItemProperties, m_properties.PutVoid()));
  }
  // Every name of a listing, read in chunks of 7 after skipping skip.
  std::vector<std::string> List(OPCBROWSETYPE type, const WideChar* pattern = OLESTR(""),
                                DWORD access = 0, ULONG skip = 0) {
    ComPtr<IEnumString> names;
    EXPECT_TRUE(
        SUCCEEDED(m_browse->BrowseOPCItemIDs(type, pattern, VT_EMPTY, access, names.Put())));
    std::vector<std::string> all;
    if (skip > 0) names->Skip(skip);
    LPOLESTR chunk[7];
    ULONG got = 0;
    do {
      names->Next(7, chunk, &got);
      for (ULONG k = 0; k < got; ++k) all.push_back(Ascii(chunk[k])), CoTaskMemFree(chunk[k]);
    } while (got == 7);
    return all;
  }
  std::string ItemId(const WideChar* name) {
    LPWSTR id = nullptr;
    std::vector<WideChar> copy(name, name + std::char_traits<WideChar>::length(name) + 1);
    const HRESULT hr = m_browse->GetItemID(copy.data(), &id);
    std::string text = SUCCEEDED(hr) ? Ascii(id) : "error";
    CoTaskMemFree(id);
    return text;
  }

  ComPtr<IOPCBrowseServerAddressSpace> m_browse;
  ComPtr<IOPCItemProperties> m_properties;
};

TEST_F(SimBrowseTest, HierarchyOfBranchesAndLeaves) {
  Open(false);
  OPCNAMESPACETYPE organization{};
  ASSERT_EQ(S_OK, m_browse->QueryOrganization(&organization));
  EXPECT_EQ(OPC_NS_HIERARCHIAL, organization);
  EXPECT_EQ((std::vector<std::string>{"Static", "Ramp", "Random", "Memory", "Bad", "Uncertain",
                                      "Control", "Many"}),
            List(OPC_BRANCH));
  EXPECT_TRUE(List(OPC_LEAF).empty());
  EXPECT_EQ("Many", ItemId(OLESTR("Many")));
  ASSERT_EQ(S_OK, m_browse->ChangeBrowsePosition(OPC_BROWSE_DOWN, OLESTR("Control")));
  EXPECT_EQ((std::vector<std::string>{"Restart", "Hang", "Delay"}), List(OPC_LEAF));
  EXPECT_EQ("Control.Restart", ItemId(OLESTR("Restart")));
  ASSERT_EQ(S_OK, m_browse->ChangeBrowsePosition(OPC_BROWSE_UP, OLESTR("")));
  EXPECT_EQ(E_FAIL, m_browse->ChangeBrowsePosition(OPC_BROWSE_UP, OLESTR("")));
  EXPECT_EQ(E_INVALIDARG, m_browse->ChangeBrowsePosition(OPC_BROWSE_TO, OLESTR("Nope")));
  ASSERT_EQ(S_OK, m_browse->ChangeBrowsePosition(OPC_BROWSE_TO, OLESTR("Memory")));
  EXPECT_EQ(14u, List(OPC_LEAF).size());
  EXPECT_EQ("Memory.Real8", ItemId(OLESTR("Real8")));
  EXPECT_EQ("Memory.Currency", ItemId(OLESTR("Currency")));
  EXPECT_EQ("error", ItemId(OLESTR("Int4.x")));
  EXPECT_EQ("error", ItemId(OLESTR("Int3")));
}

TEST_F(SimBrowseTest, ManyPagesWithSkipAndFilters) {
  Open(false);
  ASSERT_EQ(S_OK, m_browse->ChangeBrowsePosition(OPC_BROWSE_TO, OLESTR("Many")));
  EXPECT_EQ(50000u, List(OPC_LEAF).size());
  EXPECT_EQ((std::vector<std::string>{"49999", "50000"}), List(OPC_LEAF, OLESTR(""), 0, 49998));
  EXPECT_EQ((std::vector<std::string>{"12340", "12341", "12342"}),
            List(OPC_LEAF, OLESTR("1234[0-2]")));
  EXPECT_EQ(9u, List(OPC_LEAF, OLESTR("#")).size());
  EXPECT_EQ(0u, List(OPC_LEAF, OLESTR("*"), OPC_WRITEABLE).size());
  EXPECT_EQ("Many.50000", ItemId(OLESTR("50000")));
  EXPECT_EQ("error", ItemId(OLESTR("50001")));
  EXPECT_EQ("error", ItemId(OLESTR("007")));
}

TEST_F(SimBrowseTest, FlatVariantListsEveryItemId) {
  Open(true);
  OPCNAMESPACETYPE organization{};
  ASSERT_EQ(S_OK, m_browse->QueryOrganization(&organization));
  EXPECT_EQ(OPC_NS_FLAT, organization);
  EXPECT_EQ(E_FAIL, m_browse->ChangeBrowsePosition(OPC_BROWSE_DOWN, OLESTR("Static")));
  const std::vector<std::string> all = List(OPC_FLAT);
  ASSERT_EQ(50087u, all.size());
  EXPECT_EQ("Static.Int1", all.front());
  EXPECT_EQ("Static.Currency", all[13]);
  EXPECT_EQ("Control.Restart", all[84]);
  EXPECT_EQ("Control.Hang", all[85]);
  EXPECT_EQ("Control.Delay", all[86]);
  EXPECT_EQ("Many.1", all[87]);
  EXPECT_EQ("Many.50000", all.back());
  EXPECT_EQ((std::vector<std::string>{"Memory.Int1", "Memory.Int2", "Memory.Int4", "Memory.Int8"}),
            List(OPC_FLAT, OLESTR("Memory.Int?"), OPC_WRITEABLE));
  EXPECT_TRUE(List(OPC_BRANCH).empty());
}

TEST_F(SimBrowseTest, PropertiesOfItemsAndTheirFailures) {
  Open(false);
  WideChar item[] = OLESTR("Random.Real8");
  DWORD count = 0;
  DWORD* ids = nullptr;
  LPWSTR* descriptions = nullptr;
  VARTYPE* types = nullptr;
  ASSERT_EQ(S_OK,
            m_properties->QueryAvailableProperties(item, &count, &ids, &descriptions, &types));
  ASSERT_EQ(10u, count);
  EXPECT_EQ(103u, ids[9]);
  EXPECT_EQ("EU Units", Ascii(descriptions[6]));
  for (DWORD k = 0; k < count; ++k) CoTaskMemFree(descriptions[k]);
  CoTaskMemFree(ids), CoTaskMemFree(descriptions), CoTaskMemFree(types);

  DWORD wanted[] = {1, 100, 102, 7};
  VARIANT* values = nullptr;
  HRESULT* errors = nullptr;
  ASSERT_EQ(S_FALSE, m_properties->GetItemProperties(item, 4, wanted, &values, &errors));
  EXPECT_EQ(VT_R8, values[0].iVal);
  EXPECT_EQ("%", Ascii(values[1].bstrVal));
  EXPECT_EQ(100.0, values[2].dblVal);
  EXPECT_EQ(OPC_E_INVALID_PID, errors[3]);
  for (int k = 0; k < 4; ++k) VariantClear(&values[k]);
  CoTaskMemFree(values), CoTaskMemFree(errors);

  WideChar many[] = OLESTR("Many.77");
  DWORD value[] = {2};
  ASSERT_EQ(S_OK, m_properties->GetItemProperties(many, 1, value, &values, &errors));
  EXPECT_EQ(VT_I4, values[0].vt);
  EXPECT_EQ(77, values[0].lVal);
  CoTaskMemFree(values), CoTaskMemFree(errors);

  // Each Control item describes what it does itself, with its own unit.
  WideChar delay[] = OLESTR("Control.Delay");
  DWORD text[] = {100, 101};
  ASSERT_EQ(S_OK, m_properties->GetItemProperties(delay, 2, text, &values, &errors));
  EXPECT_EQ("ms", Ascii(values[0].bstrVal));
  EXPECT_EQ("Write N (0 to 600000) to slow every call by N milliseconds; 0 ends it",
            Ascii(values[1].bstrVal));
  for (int k = 0; k < 2; ++k) VariantClear(&values[k]);
  CoTaskMemFree(values), CoTaskMemFree(errors);
  WideChar unknown[] = OLESTR("Many.50001");
  EXPECT_EQ(OPC_E_UNKNOWNITEMID,
            m_properties->QueryAvailableProperties(unknown, &count, &ids, &descriptions, &types));
}

TEST(SimPatternTest, WildcardsOfTheServerFilter) {
  EXPECT_TRUE(MatchSimPattern(u"Ramp", u""));
  EXPECT_TRUE(MatchSimPattern(u"Ramp", u"R*p"));
  EXPECT_FALSE(MatchSimPattern(u"Ramp", u"r*"));
  EXPECT_TRUE(MatchSimPattern(u"Int4", u"Int#"));
  EXPECT_TRUE(MatchSimPattern(u"Int4", u"[!U]nt?"));
  EXPECT_FALSE(MatchSimPattern(u"UInt4", u"[!U]*"));
  EXPECT_TRUE(MatchSimPattern(u"a[b", u"a[b"));  // an unclosed set is a plain '['
}

}  // namespace
