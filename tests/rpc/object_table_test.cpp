#include "rpc/object_table.h"

#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "rpc/typelib.h"
#include "rpc/test_objects.h"

namespace tillbase::rpc {
namespace {

using testing::EchoFactory;
using testing::FakeClock;


// Runs one call on the object and waits for its result.
InvokeResult CallAndWait(ObjectTable& table, const std::string& id, const char* method,
                         std::vector<Variant> args) {
  std::promise<InvokeResult> done;
  InvokeResult result;
  const MethodInfo* m = TypeLibrary::Get().FindByName(method);
  EXPECT_TRUE(table.Post(
      id, [&](ServedObject& object) { result = object.Invoke(*m, args); },
      [&] { done.set_value(std::move(result)); }));
  return done.get_future().get();
}

TEST(ObjectTable, CreationAnswersWithTheObjectOrTheFailure) {
  EchoFactory factory;
  ObjectTable table(factory);
  CreateOutcome ok = table.Create("tillcoreserver.cotillbaseserver");
  EXPECT_EQ(ok.id.size(), 32u);
  EXPECT_EQ(ok.hresult, kSOk);
  CreateOutcome by_clsid = table.Create("46359509-a19a-4d07-9d00-f7ba83d6abbe");
  EXPECT_FALSE(by_clsid.id.empty());
  EXPECT_NE(by_clsid.id, ok.id);

  CreateOutcome unknown = table.Create("Other.Class");
  EXPECT_TRUE(unknown.id.empty());
  EXPECT_EQ(unknown.hresult, kRegDbEClassNotReg);
  EXPECT_EQ(unknown.error->description, "Class not registered: Other.Class");
  factory.fail_creation = true;
  CreateOutcome refused = table.Create(kProgId);
  EXPECT_EQ(refused.hresult, kEUnexpected);
  EXPECT_EQ(refused.error->description, "creation refused");
  EXPECT_EQ(table.size(), 2u);
}

TEST(ObjectTable, ReleaseRunsQueuedCallsThenDestroysTheObject) {
  EchoFactory factory;
  ObjectTable table(factory);
  std::string id = table.Create(kProgId).id;
  std::promise<void> gate;
  std::shared_future<void> opened = gate.get_future().share();
  // Hold the object's thread so the next calls queue up behind.
  ASSERT_TRUE(table.Post(id, [opened](ServedObject&) { opened.wait(); }));
  std::vector<Variant> args = {Variant("abc")};
  const MethodInfo* m = TypeLibrary::Get().FindByName("ExecuteSQL");
  std::promise<InvokeResult> result;
  ASSERT_TRUE(table.Post(id, [&](ServedObject& o) { result.set_value(o.Invoke(*m, args)); }));
  std::promise<void> released;
  ASSERT_TRUE(table.Release(id, [&] { released.set_value(); }));
  EXPECT_FALSE(table.Post(id, [](ServedObject&) {}));  // gone for new calls at once
  EXPECT_FALSE(table.Release(id));
  gate.set_value();
  EXPECT_EQ(result.get_future().get().retval, Variant(int32_t{3}));
  released.get_future().wait();
  EXPECT_EQ(factory.log.destroyed.load(), 1);
}

TEST(ObjectTable, SilentObjectsExpireAfterTheLeaseAsIfReleased) {
  EchoFactory factory;
  FakeClock clock;
  ObjectTable table(factory, std::chrono::minutes(10), clock.AsFunction());
  std::string quiet = table.Create(kProgId).id;
  std::string busy = table.Create(kProgId).id;
  clock.Advance(std::chrono::minutes(9));
  CallAndWait(table, busy, "Refresh", {});
  clock.Advance(std::chrono::minutes(1));
  EXPECT_EQ(table.ExpireIdle(), 0u);  // exactly the lease: not longer
  clock.Advance(std::chrono::seconds(1));
  EXPECT_EQ(table.ExpireIdle(), 1u);
  EXPECT_FALSE(table.Post(quiet, [](ServedObject&) {}));
  EXPECT_TRUE(table.Post(busy, [](ServedObject&) {}));

  // A call still running keeps its object, however long it takes.
  std::promise<void> gate;
  std::shared_future<void> opened = gate.get_future().share();
  ASSERT_TRUE(table.Post(busy, [opened](ServedObject&) { opened.wait(); }));
  clock.Advance(std::chrono::hours(1));
  EXPECT_EQ(table.ExpireIdle(), 0u);
  gate.set_value();
  CallAndWait(table, busy, "Refresh", {});
  clock.Advance(std::chrono::minutes(11));
  EXPECT_EQ(table.ExpireIdle(), 1u);
  EXPECT_EQ(table.size(), 0u);
}

TEST(ObjectTableConcurrency, CallsOfOneObjectRunInOrderOneAtATime) {
  EchoFactory factory;
  ObjectTable table(factory);
  std::string id = table.Create(kProgId).id;
  const MethodInfo* m = TypeLibrary::Get().FindByName("ExecuteSQL");
  constexpr int kCalls = 200;
  std::promise<void> all_done;
  std::atomic<int> answered{0};
  for (int i = 0; i < kCalls; ++i) {
    std::vector<Variant> args = {Variant(std::to_string(i))};
    ASSERT_TRUE(table.Post(id, [&, args](ServedObject& o) mutable {
      o.Invoke(*m, args);
      if (++answered == kCalls) all_done.set_value();
    }));
  }
  all_done.get_future().wait();
  EXPECT_EQ(factory.log.max_running.load(), 1);
  std::lock_guard lock(factory.log.mutex);
  ASSERT_EQ(factory.log.calls.size(), size_t{kCalls});
  for (int i = 0; i < kCalls; ++i) {
    EXPECT_EQ(factory.log.calls[i], "ExecuteSQL BSTR \"" + std::to_string(i) + "\"");
  }
}

TEST(ObjectTableConcurrency, ObjectsRunAtOnceAndReportTheRemainingCount) {
  EchoFactory factory;
  {
    ObjectTable table(factory);
    std::vector<std::string> ids;
    std::vector<std::thread> creators;
    std::mutex ids_mutex;
    for (int i = 0; i < 8; ++i) {
      creators.emplace_back([&] {
        std::string id = table.Create(kProgId).id;
        std::lock_guard lock(ids_mutex);
        ids.push_back(id);
      });
    }
    for (auto& t : creators) t.join();
    // Two objects block until both run: only possible on separate threads.
    std::promise<void> a_in, b_in;
    std::shared_future<void> a = a_in.get_future().share(), b = b_in.get_future().share();
    std::promise<void> both;
    std::atomic<int> finished{0};
    table.Post(ids[0], [&](ServedObject&) { a_in.set_value(); b.wait(); if (++finished == 2) both.set_value(); });
    table.Post(ids[1], [&](ServedObject&) { b_in.set_value(); a.wait(); if (++finished == 2) both.set_value(); });
    both.get_future().wait();
    for (size_t i = 0; i < 4; ++i) {
      std::promise<void> released;
      table.Release(ids[i], [&] { released.set_value(); });
      released.get_future().wait();
    }
  }  // the rest are released by the table's end
  std::lock_guard lock(factory.log.mutex);
  ASSERT_EQ(factory.released_remaining.size(), 8u);
  EXPECT_EQ(factory.released_remaining[0], 7u);
  EXPECT_EQ(factory.released_remaining[3], 4u);
  EXPECT_EQ(factory.log.destroyed.load(), 8);
}

}  // namespace
}  // namespace tillbase::rpc
