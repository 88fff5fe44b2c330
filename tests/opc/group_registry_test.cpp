#include "opc/group_registry.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "core/activity_log.h"
#include "net/datagram_sender.h"
#include "opc/opc_data_callback.h"
#include "platform/apartment.h"
#include "platform/socket_api.h"
#include "tests/opc/opc_test_helpers.h"
#include "tests/support/faulty_opc_server.h"

using enum OpcMethod;

namespace {

// Items of the simulator: read-only, with fixed values.
const std::u16string kItemA = u"Static.Int2";
const std::u16string kItemB = u"Static.Int4";

std::vector<std::string> Tail(const std::vector<std::string>& lines, std::size_t from) {
  return std::vector<std::string>(lines.begin() + static_cast<std::ptrdiff_t>(from), lines.end());
}

class Registry : public ::testing::Test {
protected:
  Registry() : m_sockets(receiver.Port()) {}
  ~Registry() override {
    registry.reset();
    connection.reset();
    EXPECT_TRUE(opc.AllReleased()) << opc.LiveObjectCount() << " objects still referenced";
    EXPECT_EQ(opc.HeldSinkCount(), 0u);
    EXPECT_FALSE(ComInitialised());
  }

  CGroupRegistry& R() { return *registry; }

  // A fresh connection and registry in place of the old ones.
  void Renew(const std::u16string& progId = CFaultyOpcServer::kProgId) {
    registry.reset();
    connection = std::make_unique<CServerConnection>(view, progId);
    registry = std::make_unique<CGroupRegistry>(view, *connection, m_sockets.sender, m_sockets.log);
  }

  // Connects without the menu (no registration, no datagram).
  void Connect() {
    std::string text;
    ASSERT_EQ(connection->Connect(text), S_OK) << text;
  }

  // A group with one definition per item ID (active, VT_I2), notifications to the receiver.
  GroupRecord* Define(const std::u16string& name, std::vector<std::u16string> items = {kItemA}) {
    GroupRecord* group = R().AppendGroup(AllocWideString(name));
    group->dwNotifyHost = 0x7F000001;
    group->wNotifyPort = receiver.Port();
    group->AllocItemDefs(static_cast<WORD>(items.size()));
    for (const auto& id : items) group->DefineNextItem(AllocWideString(id), TRUE, VT_I2);
    return group;
  }

  int Register(std::size_t start = 0) { return R().AddGroupsToServer(errorText, start); }

  // The next datagram, running the callbacks queued to this thread until one arrives.
  std::vector<std::uint8_t> NextAfterCallbacks() {
    std::vector<std::uint8_t> bytes;
    CApartment::ForCurrentThread()->RunUntil([&] { return receiver.Receive(bytes, 0); },
                                             std::chrono::seconds(5));
    return bytes;
  }

  // Nothing was sent before this: the next datagram to arrive is a marker sent now.
  void ExpectNoDatagram() {
    m_sockets.sender.SendText("marker");
    EXPECT_EQ(receiver.Next(), TextBytes("marker"));
  }

  static void ExpectRegistered(const GroupRecord* group) {
    ASSERT_NE(group, nullptr);
    EXPECT_NE(group->hServerGroup, 0u);
    EXPECT_NE(group->pIOPCItemMgt, nullptr);
    EXPECT_NE(group->pIOPCGroupStateMgt, nullptr);
    EXPECT_NE(group->pItemResults, nullptr);
    EXPECT_NE(group->dwAdviseCookie, 0u);
  }

  static void ExpectNoServerState(const GroupRecord* group) {
    ASSERT_NE(group, nullptr);
    EXPECT_EQ(group->hServerGroup, 0u);
    EXPECT_EQ(group->dwAdviseCookie, 0u);
    EXPECT_EQ(group->pIOPCItemMgt, nullptr);
    EXPECT_EQ(group->pIOPCGroupStateMgt, nullptr);
    EXPECT_EQ(group->pItemResults, nullptr);
    EXPECT_EQ(group->pItemErrors, nullptr);
    EXPECT_EQ(group->pSyncIO, nullptr);
    EXPECT_EQ(group->pAsyncIO2, nullptr);
  }

  CScratchDir scratch;
  CUdpReceiver receiver;

  CNotifySockets m_sockets;  // the sender, with the switches the registry reads
  CFaultyOpcServer opc;      // "Quarnix.FaultyServer" over the simulator
  CRecordingView view;
  std::unique_ptr<CServerConnection> connection =
      std::make_unique<CServerConnection>(view, CFaultyOpcServer::kProgId);
  std::unique_ptr<CGroupRegistry> registry =
      std::make_unique<CGroupRegistry>(view, *connection, m_sockets.sender, m_sockets.log);
  std::string errorText;
};

}  // namespace

// --- Menu commands -------------------------------------------------------------------------------

TEST_F(Registry, MenuCreateWithNoGroupsSendsTheStartupDatagram) {
  R().OnCreateOpcServer();
  ASSERT_NE(connection->Server(), nullptr);
  EXPECT_EQ(view.lines, (std::vector<std::string>{
                            "尝试创建 Quarnix.FaultyServer 的OpcServer",
                            "成功创建OpcServer",
                            "从索引 0 开始，调用OpcServer的AddGroup函数",
                            "开始构建回调函数句柄",
                            "给回调函数句柄的groupCtrl赋值this",
                            "调用回调函数句柄上的GetUnknown()函数，返回值供AtlAdvise函数调用使用",
                            "未见需要加入任何组，直接返回",
                        }));
  EXPECT_EQ(receiver.Next(), TextBytes("Startup Quarnix\r\n"));
}

TEST_F(Registry, MenuCreateWhileConnectedOnlyLogs) {
  R().OnCreateOpcServer();
  receiver.Next();
  view.lines.clear();
  R().OnCreateOpcServer();
  EXPECT_EQ(view.lines, std::vector<std::string>{"已创建OpcServer"});
  EXPECT_EQ(opc.CountOf(kCreateInstance), 1);
  ExpectNoDatagram();
}

TEST_F(Registry, MenuDestroyWhileDisconnectedOnlyLogs) {
  R().OnDestroyOpcServer();
  EXPECT_EQ(view.lines, std::vector<std::string>{"并未创建OpcServer"});
  ExpectNoDatagram();
}

TEST_F(Registry, MenuCreateWithUnregisteredProgIdLogsTheClsidText) {
  Renew(u"No.Such.Server");
  R().OnCreateOpcServer();
  EXPECT_EQ(connection->Server(), nullptr);
  EXPECT_EQ(view.lines, (std::vector<std::string>{"尝试创建 No.Such.Server 的OpcServer",
                                                  "创建失败：获取 No.Such.Server 的CLSID失败"}));
  ExpectNoDatagram();
}

TEST_F(Registry, MenuDestroyReleasesTheServerAndKeepsTheDefinitions) {
  Define(u"g1", {kItemA, kItemB});
  Define(u"g2");
  R().OnCreateOpcServer();
  EXPECT_EQ(receiver.Next(), TextBytes("Startup Quarnix\r\n"));
  const auto groups = opc.Groups();
  ASSERT_EQ(groups.size(), 2u);
  view.lines.clear();

  R().OnDestroyOpcServer();
  EXPECT_EQ(view.lines, (std::vector<std::string>{"尝试销毁OpcServer", "成功销毁OpcServer"}));
  EXPECT_EQ(receiver.Next(), TextBytes("Exit Quarnix\r\n"));
  EXPECT_EQ(connection->Server(), nullptr);
  EXPECT_FALSE(ComInitialised());
  const auto removes = opc.CallsOf(kRemoveGroup);
  ASSERT_EQ(removes.size(), 2u);
  EXPECT_EQ(removes[0].serverGroup, groups[0].serverHandle);
  EXPECT_EQ(removes[1].serverGroup, groups[1].serverHandle);
  EXPECT_EQ(removes[0].force, TRUE);
  // Everything the old server handed out has come back; the definitions stay.
  EXPECT_TRUE(opc.AllReleased());
  EXPECT_EQ(opc.HeldSinkCount(), 0u);
  ASSERT_EQ(R().GroupCount(), 2u);
  ExpectNoServerState(R().GetGroup(0));
  EXPECT_EQ(R().GetGroup(0)->wItemsDefined, 2);
  EXPECT_EQ(std::u16string(R().GetGroup(0)->pItemDefs[1].szItemID), kItemB);
}

TEST_F(Registry, MenuDestroyThenCreateRegistersTheGroupsAgain) {
  Define(u"g1");
  Define(u"g2");
  R().OnCreateOpcServer();
  R().OnDestroyOpcServer();
  opc.ClearCalls();
  R().OnCreateOpcServer();
  const auto adds = opc.CallsOf(kAddGroup);
  ASSERT_EQ(adds.size(), 2u);
  EXPECT_EQ(adds[0].clientHandle, 0u);
  EXPECT_EQ(adds[1].clientHandle, 1u);
  ExpectRegistered(R().GetGroup(0));
  ExpectRegistered(R().GetGroup(1));
  EXPECT_EQ(opc.ActiveGroupCount(), 2u);
  EXPECT_EQ(receiver.Next(), TextBytes("Startup Quarnix\r\n"));
  EXPECT_EQ(receiver.Next(), TextBytes("Exit Quarnix\r\n"));
  EXPECT_EQ(receiver.Next(), TextBytes("Startup Quarnix\r\n"));
}

TEST_F(Registry, MenuCreateWithFailedRegistrationKeepsGroupsAsDefinitions) {
  Define(u"g1");
  Define(u"g2");
  opc.SetFailure(kAddItems, E_FAIL, 1);  // the second group's AddItems fails
  R().OnCreateOpcServer();
  EXPECT_TRUE(view.Has("组加入OpcServer操作失败 Add items on group g2 failed : 80004005"))
      << ::testing::PrintToString(view.lines);
  ASSERT_NE(connection->Server(), nullptr);  // the connection stays
  EXPECT_EQ(opc.CountOf(kRemoveGroup), 2);
  ASSERT_EQ(R().GroupCount(), 2u);
  ExpectNoServerState(R().GetGroup(0));
  ExpectNoServerState(R().GetGroup(1));
  EXPECT_EQ(opc.LiveObjectCount(), 1u);  // only the server itself
  ExpectNoDatagram();

  // The definitions register again once the server accepts them.
  opc.ClearFailure(kAddItems);
  EXPECT_EQ(Register(), 0);
  ExpectRegistered(R().GetGroup(1));
}

// --- Registration --------------------------------------------------------------------------------

TEST_F(Registry, RegistrationPassesTheDefinitionsAsDefined) {
  Connect();
  Define(u"g0");
  GroupRecord* group = Define(u"组一", {kItemA, kItemB});
  group->bActive = TRUE;
  group->dwRequestedUpdateRate = 5;  // revised by the server to its 10 ms minimum
  group->pItemDefs[1].bActive = FALSE;
  group->pItemDefs[1].vtRequestedDataType = VT_R8;

  EXPECT_EQ(Register(1), 0);
  const auto adds = opc.CallsOf(kAddGroup);
  ASSERT_EQ(adds.size(), 1u);
  EXPECT_EQ(adds[0].name, u"组一");
  EXPECT_EQ(adds[0].active, FALSE);  // added inactive whatever bActive says
  EXPECT_EQ(adds[0].updateRate, 5u);
  EXPECT_EQ(adds[0].clientHandle, 1u);
  EXPECT_EQ(adds[0].timeBias, 0);
  EXPECT_EQ(adds[0].percentDeadband, 0.0f);
  EXPECT_EQ(adds[0].locale, 0x409u);
  EXPECT_TRUE(adds[0].iid == IID_IOPCItemMgt);

  const auto items = opc.CallsOf(kAddItems);
  ASSERT_EQ(items.size(), 1u);
  ASSERT_EQ(items[0].count, 2u);
  EXPECT_EQ(items[0].items[0].accessPath, u"");
  EXPECT_EQ(items[0].items[0].itemId, kItemA);
  EXPECT_EQ(items[0].items[0].active, TRUE);
  EXPECT_EQ(items[0].items[0].clientHandle, 0u);
  EXPECT_EQ(items[0].items[0].requestedType, VT_I2);
  EXPECT_EQ(items[0].items[1].itemId, kItemB);
  EXPECT_EQ(items[0].items[1].active, FALSE);
  EXPECT_EQ(items[0].items[1].clientHandle, 1u);
  EXPECT_EQ(items[0].items[1].requestedType, VT_R8);
  EXPECT_EQ(items[0].items[1].blobSize, 0u);

  ExpectRegistered(group);
  EXPECT_EQ(group->dwRevisedUpdateRate, 10u);
  const auto view0 = opc.GroupByName(u"组一");
  ASSERT_TRUE(view0.has_value());
  EXPECT_EQ(group->hServerGroup, view0->serverHandle);
  EXPECT_EQ(view0->active, FALSE);
  EXPECT_EQ(view0->sinkCount, 1u);
  EXPECT_EQ(group->pItemResults[0].hServer, view0->items[0].serverHandle);
  EXPECT_EQ(group->pItemResults[1].hServer, view0->items[1].serverHandle);
  ExpectNoServerState(R().GetGroup(0));  // before the start index: untouched
}

TEST_F(Registry, RegistrationLogsEachStepWhileGroupOperationsAreLogged) {
  Connect();
  Define(u"g1", {kItemA, kItemB});
  EXPECT_EQ(Register(), 0);
  EXPECT_EQ(Tail(view.lines, 4), (std::vector<std::string>{
                                     "调用m_pIOPCServer->AddGroup(g1,...)函数",
                                     "调用group.pIOPCItemMgt->AddItems(2,...)函数",
                                     "调用group.pIOPCItemMgt->QueryInterface(...)函数",
                                     "调用AtlAdvise(...)函数",
                                 }));
  view.lines.clear();
  m_sockets.log.logGroupOps = false;
  Define(u"g2");
  EXPECT_EQ(Register(1), 0);
  EXPECT_TRUE(view.lines.empty());
}

TEST_F(Registry, EmptyListLeavesTheErrorTextUntouched) {
  Connect();
  errorText = "untouched";
  EXPECT_EQ(Register(), 0);
  EXPECT_EQ(errorText, "untouched");
  EXPECT_EQ(view.lines.back(), "未见需要加入任何组，直接返回");
  EXPECT_EQ(opc.CountOf(kAddGroup), 0);
}

TEST_F(Registry, ClientHandlesFollowTheLocalIndexAcrossAPlaceholder) {
  Connect();
  Define(u"g0");
  Define(u"g1");
  Define(u"g2");
  R().RemoveOne(1);
  EXPECT_EQ(Register(), 0);
  const auto adds = opc.CallsOf(kAddGroup);
  ASSERT_EQ(adds.size(), 2u);
  EXPECT_EQ(adds[0].name, u"g0");
  EXPECT_EQ(adds[0].clientHandle, 0u);
  EXPECT_EQ(adds[1].name, u"g2");
  EXPECT_EQ(adds[1].clientHandle, 2u);
}

TEST_F(Registry, OnlyTheFilledDefinitionsReachTheServer) {
  Connect();
  GroupRecord* group = R().AppendGroup(AllocWideString(u"partial"));
  group->AllocItemDefs(3);
  group->DefineNextItem(AllocWideString(kItemA), TRUE, VT_I4);
  EXPECT_EQ(Register(), 0);
  const auto items = opc.CallsOf(kAddItems);
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].count, 1u);
  ASSERT_EQ(items[0].items.size(), 1u);
  EXPECT_EQ(items[0].items[0].itemId, kItemA);
}

TEST_F(Registry, GroupWithoutItemsReachesAddItemsWithCountZeroAndTheServerRefusesIt) {
  Connect();
  Define(u"empty", {});
  EXPECT_EQ(Register(), E_INVALIDARG);
  const auto items = opc.CallsOf(kAddItems);
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].count, 0u);
  EXPECT_EQ(errorText, "Add items on group empty failed : 80070057");
}

TEST_F(Registry, EachFailingStepReturnsItsResultAndText) {
  struct Case {
    OpcMethod method;
    HRESULT hr;
    std::string text;
  };
  const Case cases[] = {
      {kAddGroup, OPC_E_DUPLICATENAME, "Add group g to server failed : c004000c"},
      {kAddItems, E_FAIL, "Add items on group g failed : 80004005"},
      {kFindConnectionPoint, CONNECT_E_NOCONNECTION, "Advise failed : 80040200"},
      {kAdvise, CONNECT_E_ADVISELIMIT, "Advise failed : 80040201"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(MethodName(c.method));
    Renew();
    Connect();
    Define(u"g");
    opc.SetFailure(c.method, c.hr);
    errorText.clear();
    EXPECT_EQ(Register(), c.hr);
    EXPECT_EQ(errorText, c.text);
    opc.ClearFailure(c.method);
  }
}

TEST_F(Registry, RefusedInterfacesFailWithTheirTexts) {
  Connect();
  Define(u"g");
  opc.RefuseInterface(IID_IOPCGroupStateMgt);
  EXPECT_EQ(Register(), E_NOINTERFACE);
  EXPECT_EQ(errorText, "No IOPCGroupStateMgt found : 80004002");
}

TEST_F(Registry, RefusedConnectionPointContainerFailsTheAdvise) {
  Connect();
  Define(u"g");
  opc.RefuseInterface(IID_IConnectionPointContainer);
  EXPECT_EQ(Register(), E_NOINTERFACE);
  EXPECT_EQ(errorText, "Advise failed : 80004002");
  EXPECT_EQ(opc.CountOf(kFindConnectionPoint), 0);
}

TEST_F(Registry, ItemFailureWithoutAServerTextGetsTheGatewaysText) {
  Connect();
  opc.SetFailure(kGetErrorString, E_FAIL);
  Define(u"g1", {u"Tag.B"});
  EXPECT_EQ(Register(), OPC_E_UNKNOWNITEMID);
  EXPECT_EQ(errorText,
            "Add item Tag.B on group g1 failed: The item ID is not defined in the server. : "
            "c0040007");
}

TEST_F(Registry, SecondOfTwoFailingItemsIsNamedWithTheServerText) {
  Connect();
  Define(u"g1", {kItemA, u"Tag.B"});  // not an item of the server
  EXPECT_EQ(Register(), OPC_E_UNKNOWNITEMID);
  EXPECT_EQ(errorText,
            "Add item Tag.B on group g1 failed: The item ID is not defined in the server. : "
            "c0040007");
  const auto asked = opc.CallsOf(kGetErrorString);
  ASSERT_EQ(asked.size(), 1u);
  EXPECT_EQ(asked[0].error, OPC_E_UNKNOWNITEMID);
  EXPECT_EQ(asked[0].locale, 0x409u);
  // The failing group keeps what it obtained until the caller removes it.
  GroupRecord* group = R().GetGroup(0);
  EXPECT_NE(group->hServerGroup, 0u);
  EXPECT_NE(group->pIOPCItemMgt, nullptr);
  EXPECT_NE(group->pItemResults, nullptr);
  EXPECT_EQ(group->pIOPCGroupStateMgt, nullptr);
}

TEST_F(Registry, FailureInTheThirdGroupLeavesTheFirstTwoRegisteredAndConnected) {
  Connect();
  for (auto name : {u"g0", u"g1", u"g2", u"g3"}) Define(name);
  opc.SetFailure(kAddGroup, E_OUTOFMEMORY, 2);
  EXPECT_EQ(Register(), E_OUTOFMEMORY);
  EXPECT_EQ(errorText, "Add group g2 to server failed : 8007000e");
  ExpectRegistered(R().GetGroup(0));
  ExpectRegistered(R().GetGroup(1));
  EXPECT_EQ(opc.GroupByName(u"g1")->sinkCount, 1u);
  ExpectNoServerState(R().GetGroup(2));
  ExpectNoServerState(R().GetGroup(3));
  EXPECT_EQ(opc.CountOf(kAddGroup), 3);
}

TEST_F(Registry, OnePassSharesOneSinkThatLivesByItsConnections) {
  Connect();
  Define(u"g0");
  Define(u"g1");
  EXPECT_EQ(Register(), 0);
  const auto a = opc.GroupByName(u"g0");
  const auto b = opc.GroupByName(u"g1");
  ASSERT_NE(a->sink, nullptr);
  EXPECT_EQ(a->sink, b->sink);
  // One reference per connection, and the registry's own until the server is given up.
  EXPECT_EQ(static_cast<COpcDataCallback*>(a->sink)->refCount.load(), 3);
  EXPECT_EQ(static_cast<COpcDataCallback*>(a->sink)->destinations,
            static_cast<const IGroupDestinations*>(registry.get()));
  R().RemoveOne(0);
  EXPECT_EQ(static_cast<COpcDataCallback*>(b->sink)->refCount.load(), 2);
}

TEST_F(Registry, AdvisedSinkTurnsServerCallbacksIntoDatagrams) {
  const std::u16string item = u"Memory.Int2.registry-sink";
  ASSERT_EQ(CFaultyOpcServer::WriteItem(item, CTestVariant::I2(-2)), S_OK);
  Connect();
  Define(u"g0");
  GroupRecord* group = Define(u"g1", {kItemA, item});
  group->pItemDefs[0].bActive = FALSE;  // the report carries the second item only
  EXPECT_EQ(Register(), 0);
  // Activation makes the server report every active item once, from its own thread.
  BOOL active = TRUE;
  ASSERT_EQ(group->pIOPCGroupStateMgt->SetState(nullptr, nullptr, &active, nullptr, nullptr,
                                                nullptr, nullptr),
            S_OK);
  EXPECT_EQ(NextAfterCallbacks(), Bytes({0x43, 0x00, 0x15, 0, 0, 0,    0,    0x00, 0x01, 0x00, 0x01,
                                         0,    0,    0,    0, 0, 0x00, 0x01, 0x02, 0xFF, 0xFE}));
  // A cancel the server could report at any time.
  EXPECT_EQ(opc.FireCancelComplete(group->hServerGroup, 3), S_OK);
  EXPECT_EQ(receiver.Next(), Bytes({0x4E, 0, 0, 0, 3, 0x00, 0x01}));
}

// --- Removal -------------------------------------------------------------------------------------

TEST_F(Registry, RemoveFromTheMiddleLeavesTheEntriesBeforeIt) {
  Connect();
  for (auto name : {u"g0", u"g1", u"g2", u"g3"}) Define(name);
  ASSERT_EQ(Register(), 0);
  const auto g2 = opc.GroupByName(u"g2");
  opc.ClearCalls();
  view.lines.clear();

  R().Remove(2, true);
  EXPECT_EQ(R().GroupCount(), 2u);
  ExpectRegistered(R().GetGroup(0));
  ExpectRegistered(R().GetGroup(1));
  EXPECT_EQ(view.lines,
            (std::vector<std::string>{"删除已加入OpcServer的组 g2", "删除已加入OpcServer的组 g3"}));
  // Per group: forced RemoveGroup, then the record's destruction tries to disconnect and to
  // remove the items (the server refuses both once the group is gone).
  const auto calls = opc.Calls();
  std::vector<OpcMethod> order;
  for (const auto& c : calls)
    if (c.serverGroup == g2->serverHandle && c.method != kQueryInterface) order.push_back(c.method);
  EXPECT_EQ(order, (std::vector<OpcMethod>{kRemoveGroup, kFindConnectionPoint, kRemoveItems}));
  const auto removeItems = opc.CallsOf(kRemoveItems);
  ASSERT_EQ(removeItems.size(), 2u);
  EXPECT_EQ(removeItems[0].handles, std::vector<OPCHANDLE>{g2->items[0].serverHandle});
  EXPECT_EQ(opc.CallsOf(kRemoveGroup)[0].force, TRUE);
  EXPECT_EQ(opc.ActiveGroupCount(), 2u);
}

TEST_F(Registry, CallCancelledWhileGivingBackAGroupEndsItsCallsAndIsJudged) {
  Connect();
  Define(u"g0");
  ASSERT_EQ(Register(), 0);
  opc.SetFailure(kFindConnectionPoint, RPC_E_CALL_CANCELED);
  opc.ClearCalls();
  R().Remove(0, false);
  // No RemoveItems after the cancelled call; the status check finds the server answering: slow,
  // so the connection stays and the record's references are released without calls.
  EXPECT_EQ(opc.CountOf(kRemoveItems), 0);
  EXPECT_EQ(opc.CountOf(kGetStatus), 1);
  ExpectNoServerState(R().GetGroup(0));
  EXPECT_NE(connection->Server(), nullptr);
  EXPECT_FALSE(connection->ServerLost());
  EXPECT_NE(std::find_if(view.lines.begin(), view.lines.end(),
                         [](const std::string& line) {
                           return line.find("判定为响应缓慢") != std::string::npos;
                         }),
            view.lines.end());
}

// A registered group that also holds both I/O interfaces: four references, two item arrays.
TEST_F(Registry, GiveBackAfterAServerLossCallsNothingAndReleasesEverything) {
  Connect();
  GroupRecord* group = Define(u"g0", {kItemA, kItemB});
  ASSERT_EQ(Register(), 0);
  ASSERT_EQ(group->ObtainSyncIO(), S_OK);
  ASSERT_EQ(group->ObtainAsyncIO2(), S_OK);
  opc.ClearCalls();
  const GroupRecord::GiveBackOutcome outcome =
      group->GiveBackServerState(GroupRecord::GiveBack::kServerLost);
  EXPECT_EQ(outcome.stopped, S_OK);
  EXPECT_EQ(outcome.abandoned, 0u);
  EXPECT_TRUE(opc.Calls().empty()) << MethodName(opc.Calls().front().method);
  ExpectNoServerState(group);
  EXPECT_EQ(opc.LiveObjectCount(), 1u);  // only the server itself
}

TEST_F(Registry, GiveBackOfAHungServerNeitherCallsNorReleasesAndCountsWhatItGaveUp) {
  Connect();
  GroupRecord* group = Define(u"g0", {kItemA, kItemB});
  ASSERT_EQ(Register(), 0);
  ASSERT_EQ(group->ObtainSyncIO(), S_OK);
  ASSERT_EQ(group->ObtainAsyncIO2(), S_OK);
  IUnknown* held[] = {group->pIOPCGroupStateMgt, group->pIOPCItemMgt, group->pSyncIO,
                      group->pAsyncIO2};
  const OPCHANDLE serverGroup = group->hServerGroup;
  opc.ClearCalls();
  const long references = opc.OutstandingReferences();
  const GroupRecord::GiveBackOutcome outcome =
      group->GiveBackServerState(GroupRecord::GiveBack::kServerHung);
  EXPECT_EQ(outcome.stopped, S_OK);
  EXPECT_EQ(outcome.abandoned, 4u);
  EXPECT_TRUE(opc.Calls().empty()) << MethodName(opc.Calls().front().method);
  EXPECT_EQ(opc.OutstandingReferences(), references);  // nothing released
  ExpectNoServerState(group);
  // What was given up is the test's to return, so that the leak check holds.
  for (IUnknown* reference : held) reference->Release();
  EXPECT_EQ(connection->Server()->RemoveGroup(serverGroup, TRUE), S_OK);
}

TEST_F(Registry, RemoveWithoutServerCallsNoRemoveGroupAndStillDestroysTheRecords) {
  Define(u"g0");
  Define(u"g1");
  R().Remove(0, true);
  EXPECT_EQ(R().GroupCount(), 0u);
  EXPECT_EQ(view.lines,
            (std::vector<std::string>{"删除未加入OpcServer的组 g0", "删除未加入OpcServer的组 g1"}));
  EXPECT_EQ(opc.CountOf(kRemoveGroup), 0);
}

TEST_F(Registry, RemoveWithoutUnlinkKeepsTheRecordsAsDefinitions) {
  Connect();
  Define(u"g0");
  Define(u"g1", {kItemA, kItemB});
  ASSERT_EQ(Register(), 0);
  R().Remove(1, false);
  ASSERT_EQ(R().GroupCount(), 2u);
  ExpectRegistered(R().GetGroup(0));
  ExpectNoServerState(R().GetGroup(1));
  EXPECT_EQ(R().GetGroup(1)->wItemCount, 2);
  EXPECT_EQ(opc.ActiveGroupCount(), 1u);
  EXPECT_EQ(opc.LiveObjectCount(), 2u);  // the server and g0
}

TEST_F(Registry, RemoveOneLeavesAPlaceholderAndTrimTailDropsTrailingOnes) {
  Connect();
  for (auto name : {u"g0", u"g1", u"g2"}) Define(name);
  ASSERT_EQ(Register(), 0);
  R().RemoveOne(1);
  EXPECT_EQ(R().GroupCount(), 3u);
  EXPECT_EQ(R().GetGroup(1), nullptr);
  EXPECT_EQ(opc.CountOf(kRemoveGroup), 1);
  R().RemoveOne(1);  // a placeholder already: nothing happens
  R().RemoveOne(7);  // outside the list: nothing happens
  EXPECT_EQ(opc.CountOf(kRemoveGroup), 1);
  R().TrimTail();
  EXPECT_EQ(R().GroupCount(), 3u);
  R().RemoveOne(2);
  R().TrimTail();
  EXPECT_EQ(R().GroupCount(), 1u);
  EXPECT_TRUE(view.lines.size() > 0);
  EXPECT_EQ(R().GetGroup(5), nullptr);
}

TEST_F(Registry, DestroyOpcSideRemovesEverythingAndIsSafeTwice) {
  Define(u"g0");
  Define(u"g1");
  R().OnCreateOpcServer();
  EXPECT_EQ(receiver.Next(), TextBytes("Startup Quarnix\r\n"));
  R().DestroyOpcSide();
  EXPECT_EQ(R().GroupCount(), 0u);
  EXPECT_EQ(connection->Server(), nullptr);
  EXPECT_EQ(opc.CountOf(kRemoveGroup), 2);
  EXPECT_TRUE(opc.AllReleased());
  EXPECT_FALSE(ComInitialised());
  R().DestroyOpcSide();
  EXPECT_EQ(opc.CountOf(kRemoveGroup), 2);
  ExpectNoDatagram();  // the exit datagram is the application's at shutdown
}

TEST_F(Registry, DestructionTearsDownWithoutWritingToTheWindow) {
  Connect();
  Define(u"g0");
  ASSERT_EQ(Register(), 0);
  const std::size_t before = view.lines.size();
  registry.reset();
  EXPECT_EQ(view.lines.size(), before);
  EXPECT_EQ(opc.CountOf(kRemoveGroup), 1);
  EXPECT_TRUE(opc.AllReleased());
}
