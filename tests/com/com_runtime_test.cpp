#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "platform/apartment.h"
#include "platform/com/com.h"

namespace {

using namespace std::chrono_literals;

// Runs body on a fresh thread, so that per-thread COM state starts clean.
void OnFreshThread(const std::function<void()>& body) {
  std::thread thread(body);
  thread.join();
}

const CLSID kTestClsid = {0x11223344, 0x5566, 0x7788, {1, 2, 3, 4, 5, 6, 7, 8}};
const CLSID kOtherClsid = {0x99999999, 0x5566, 0x7788, {1, 2, 3, 4, 5, 6, 7, 8}};

std::atomic<int> g_liveObjects{0};

struct TestObject final : IUnknown {
  std::atomic<ULONG> refs{1};
  TestObject() { ++g_liveObjects; }
  ~TestObject() { --g_liveObjects; }
  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (!(riid == IID_IUnknown)) return E_NOINTERFACE;
    *ppv = this;
    AddRef();
    return S_OK;
  }
  ULONG AddRef() override { return ++refs; }
  ULONG Release() override {
    const ULONG n = --refs;
    if (n == 0) delete this;
    return n;
  }
};

HRESULT CreateTestObject(REFIID riid, void** ppv) {
  auto* object = new TestObject;
  const HRESULT hr = object->QueryInterface(riid, ppv);
  object->Release();
  return hr;
}

class ClassRegistryTest : public ::testing::Test {
protected:
  void SetUp() override { CoRegisterProgId(u"Test.Object", kTestClsid, CreateTestObject); }
  void TearDown() override { CoUnregisterProgId(u"Test.Object"); }
};

}  // namespace

TEST(CoInitializeTest, FirstCallIsSOkAndFurtherCallsSFalse) {
  OnFreshThread([] {
    EXPECT_EQ(CoInitialize(nullptr), S_OK);
    EXPECT_EQ(CoInitialize(nullptr), S_FALSE);
    EXPECT_EQ(CoInitialize(nullptr), S_FALSE);
    CoUninitialize();
    CoUninitialize();
    EXPECT_TRUE(ComApartmentRef::Current().IsValid());  // one initialisation is left
    CoUninitialize();
    EXPECT_FALSE(ComApartmentRef::Current().IsValid());
    CoUninitialize();  // one too many does nothing
    EXPECT_EQ(CoInitialize(nullptr), S_OK);
    CoUninitialize();
  });
}

TEST(CoInitializeTest, EachThreadCountsOnItsOwn) {
  OnFreshThread([] {
    EXPECT_EQ(CoInitialize(nullptr), S_OK);
    OnFreshThread([] {
      EXPECT_EQ(CoInitialize(nullptr), S_OK);
      CoUninitialize();
    });
    CoUninitialize();
  });
}

TEST(ComApartmentTest, PostedCallRunsOnTheInitialisedThread) {
  OnFreshThread([] {
    ASSERT_EQ(CoInitialize(nullptr), S_OK);
    const ComApartmentRef apartment = ComApartmentRef::Current();
    ASSERT_TRUE(apartment.IsValid());
    EXPECT_TRUE(apartment.IsCurrentThread());
    std::atomic<bool> ran{false};
    std::thread::id ranOn;
    std::thread poster([&] {
      EXPECT_FALSE(apartment.IsCurrentThread());
      EXPECT_TRUE(apartment.Post([&] {
        ranOn = std::this_thread::get_id();
        ran = true;
      }));
    });
    poster.join();
    EXPECT_FALSE(ran.load());  // nothing runs until the thread drains its apartment
    EXPECT_TRUE(CApartment::ForCurrentThread()->RunUntil([&] { return ran.load(); }, 5s));
    EXPECT_EQ(ranOn, std::this_thread::get_id());
    CoUninitialize();
  });
}

TEST(ComApartmentTest, ThreadWithoutComHasNoApartmentRef) {
  OnFreshThread([] {
    const ComApartmentRef apartment = ComApartmentRef::Current();
    EXPECT_FALSE(apartment.IsValid());
    EXPECT_FALSE(apartment.Post([] {}));
  });
}

TEST(ComApartmentTest, LastUninitializeDropsQueuedCallsButKeepsTheThreadsApartmentOpen) {
  OnFreshThread([] {
    ASSERT_EQ(CoInitialize(nullptr), S_OK);
    const ComApartmentRef apartment = ComApartmentRef::Current();
    bool comCallRan = false;
    ASSERT_TRUE(apartment.Post([&] { comCallRan = true; }));
    CoUninitialize();
    EXPECT_FALSE(apartment.IsAlive());
    EXPECT_FALSE(apartment.Post([&] { comCallRan = true; }));

    // The thread's apartment still serves other hand-offs.
    const auto plain = CApartment::ForCurrentThread();
    EXPECT_FALSE(plain->IsClosed());
    bool plainCallRan = false;
    EXPECT_TRUE(plain->Post([&] { plainCallRan = true; }));
    EXPECT_TRUE(plain->RunUntil([&] { return plainCallRan; }, 5s));
    EXPECT_FALSE(comCallRan);

    // A new initialisation is a new COM apartment: the old reference stays dead.
    ASSERT_EQ(CoInitialize(nullptr), S_OK);
    EXPECT_FALSE(apartment.IsAlive());
    EXPECT_TRUE(ComApartmentRef::Current().IsAlive());
    CoUninitialize();
  });
}

TEST_F(ClassRegistryTest, ProgIdLooksUpItsClsidIgnoringCase) {
  CLSID clsid{};
  EXPECT_EQ(CLSIDFromProgID(u"Test.Object", &clsid), S_OK);
  EXPECT_EQ(clsid, kTestClsid);
  CLSID again{};
  EXPECT_EQ(CLSIDFromProgID(u"TEST.object", &again), S_OK);
  EXPECT_EQ(again, kTestClsid);
}

TEST_F(ClassRegistryTest, EmptyUnknownOrUnregisteredProgIdIsAClassStringError) {
  CLSID clsid{};
  EXPECT_EQ(CLSIDFromProgID(u"", &clsid), CO_E_CLASSSTRING);
  EXPECT_EQ(CLSIDFromProgID(nullptr, &clsid), CO_E_CLASSSTRING);
  EXPECT_EQ(CLSIDFromProgID(u"OPC.NoSuchServer", &clsid), CO_E_CLASSSTRING);
  CoUnregisterProgId(u"Test.Object");
  EXPECT_EQ(CLSIDFromProgID(u"Test.Object", &clsid), CO_E_CLASSSTRING);
}

TEST_F(ClassRegistryTest, CreateInstanceNeedsCoInitialize) {
  OnFreshThread([] {
    void* object = reinterpret_cast<void*>(1);
    EXPECT_EQ(CoCreateInstance(kTestClsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnknown, &object),
              CO_E_NOTINITIALIZED);
    EXPECT_EQ(object, nullptr);
  });
}

TEST_F(ClassRegistryTest, CreateInstanceRefusesUnknownClassAndAggregation) {
  OnFreshThread([] {
    ASSERT_EQ(CoInitialize(nullptr), S_OK);
    void* object = reinterpret_cast<void*>(1);
    EXPECT_EQ(CoCreateInstance(kOtherClsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnknown, &object),
              REGDB_E_CLASSNOTREG);
    EXPECT_EQ(object, nullptr);
    TestObject outer;
    EXPECT_EQ(CoCreateInstance(kTestClsid, &outer, CLSCTX_LOCAL_SERVER, IID_IUnknown, &object),
              CLASS_E_NOAGGREGATION);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(CoCreateInstance(kTestClsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnknown, nullptr),
              E_INVALIDARG);
    CoUninitialize();
  });
}

TEST_F(ClassRegistryTest, CreateInstanceGivesOneReferenceAndReportsFactoryFailure) {
  OnFreshThread([] {
    ASSERT_EQ(CoInitialize(nullptr), S_OK);
    const int before = g_liveObjects.load();
    ComPtr<IUnknown> object;
    ASSERT_EQ(
        CoCreateInstance(kTestClsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnknown, object.PutVoid()),
        S_OK);
    EXPECT_EQ(g_liveObjects.load(), before + 1);
    EXPECT_EQ(static_cast<TestObject*>(object.Get())->refs.load(), 1u);
    object.Reset();
    EXPECT_EQ(g_liveObjects.load(), before);

    void* other = reinterpret_cast<void*>(1);
    EXPECT_EQ(CoCreateInstance(kTestClsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IClassFactory, &other),
              E_NOINTERFACE);
    EXPECT_EQ(other, nullptr);
    EXPECT_EQ(g_liveObjects.load(), before);
    CoUninitialize();
  });
}

TEST(GuidTest, GuidToStringIsBracedUpperCase) {
  EXPECT_EQ(GuidToString(IID_IUnknown), "{00000000-0000-0000-C000-000000000046}");
  EXPECT_EQ(GuidToString(IID_IClassFactory), "{00000001-0000-0000-C000-000000000046}");
  EXPECT_EQ(GuidToString(kTestClsid), "{11223344-5566-7788-0102-030405060708}");
}

TEST(LogicalThreadTest, EachThreadHasItsOwnStableId) {
  const GUID mine = ComLogicalThreadId();
  EXPECT_EQ(ComLogicalThreadId(), mine);
  GUID other{};
  GUID otherAgain{};
  OnFreshThread([&] {
    other = ComLogicalThreadId();
    otherAgain = ComLogicalThreadId();
  });
  EXPECT_EQ(other, otherAgain);
  EXPECT_FALSE(other == mine);
}
