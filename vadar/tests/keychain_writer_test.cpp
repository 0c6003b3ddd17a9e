// The keychain writer under a busy application: an item rewritten with every answer (the client) must not
// hold back the others (the device token), and a caller that waits for its own writes must not wait for
// everyone else's.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "vadar_harness.hpp"

namespace vadar {
namespace {

using testing::VadarHarness;
using namespace std::chrono_literals;

// Writes that record when they run and, when told to, stay in the keychain call until released.
class ScriptedWrites {
 public:
  explicit ScriptedWrites(keychain::KeychainStore store) : store_(std::move(store)) {}
  ~ScriptedWrites() {
    for (auto& gate : gates_) gate->release();
    core::KeychainWriter::shared().drain(20s);
  }

  struct Gate {
    std::promise<void> started, released;
    std::shared_future<void> startedFuture = started.get_future().share();
    std::shared_future<void> releasedFuture = released.get_future().share();
    std::once_flag once;
    void release() {
      std::call_once(once, [this] { released.set_value(); });
    }
    bool hasStarted() const { return startedFuture.wait_for(20s) == std::future_status::ready; }
  };

  // Queues a write of `item` named `name`; with `held` it waits for its gate's release before it returns.
  std::shared_ptr<Gate> submit(const std::string& item, const std::string& name, bool held = false) {
    auto gate = std::make_shared<Gate>();
    gates_.push_back(gate);
    core::KeychainWriter::shared().submit(
        {store_, "https://" + std::string(VadarHarness::host), item, [this, gate, name, held](const auto&) {
           {
             std::lock_guard lock(mutex_);
             order_.push_back(name);
           }
           gate->started.set_value();
           if (held) gate->releasedFuture.wait_for(20s);
         }});
    return gate;
  }

  std::vector<std::string> order() const {
    std::lock_guard lock(mutex_);
    return order_;
  }

 private:
  keychain::KeychainStore store_;
  mutable std::mutex mutex_;
  std::vector<std::string> order_;
  std::vector<std::shared_ptr<Gate>> gates_;
};

TEST(KeychainWrites, ItemsAreWrittenInTheOrderTheyAskedAndARewrittenItemKeepsItsTurn) {
  VadarHarness harness(/*configureNow=*/false);
  ScriptedWrites writes(harness.keychain());

  // The client is being written when the device token asks, and is installed again right after.
  auto first = writes.submit("cachedClient", "client 1", /*held=*/true);
  ASSERT_TRUE(first->hasStarted());
  writes.submit("vadarDeviceToken", "device token");
  auto second = writes.submit("cachedClient", "client 2", /*held=*/true);
  writes.submit("cachedEnvironment", "environment 1");
  writes.submit("cachedEnvironment", "environment 2");  // replaces the one above, in its place
  first->release();
  second->release();
  ASSERT_TRUE(core::KeychainWriter::shared().drain(20s));
  EXPECT_EQ(writes.order(), (std::vector<std::string>{"client 1", "device token", "client 2", "environment 2"}));
}


// A caller that drains waits for what was queued before it asked, not for writes that keep coming after: the
// client is installed by every answer, so a busy application never leaves the queue empty.
TEST(KeychainWrites, DrainingWaitsForEarlierWritesOnlyEvenWhileLaterOnesKeepComing) {
  VadarHarness harness(/*configureNow=*/false);
  const keychain::KeychainStore store = harness.keychain();
  const std::string instance = "https://" + std::string(VadarHarness::host);
  ScriptedWrites writes(store);

  // Each write of the stream queues the next before it ends, until the test has its answer.
  struct Stream {
    std::atomic<bool> stop{false};
    std::atomic<int> written{0};
    std::function<void()> next;
  };
  auto stream = std::make_shared<Stream>();
  stream->next = [weak = std::weak_ptr<Stream>(stream), store, instance] {
    auto self = weak.lock();
    if (!self || self->stop) return;
    core::KeychainWriter::shared().submit({store, instance, "cachedClient", [self](const auto&) {
                                             ++self->written;
                                             self->next();
                                           }});
  };

  auto first = writes.submit("cachedEnvironment", "environment", /*held=*/true);
  ASSERT_TRUE(first->hasStarted());
  stream->next();
  writes.submit("vadarDeviceToken", "device token 1");
  std::promise<bool> drained;
  auto answer = drained.get_future();
  testing::Finishing draining([&drained] { drained.set_value(core::KeychainWriter::shared().drain(10s)); });
  // Replaces the queued one, which then counts as done only once this one has been written.
  writes.submit("vadarDeviceToken", "device token 2");
  first->release();

  ASSERT_EQ(answer.wait_for(20s), std::future_status::ready);
  EXPECT_TRUE(answer.get()) << "the drain waited for writes submitted after it";
  const auto order = writes.order();
  EXPECT_NE(std::find(order.begin(), order.end(), "device token 2"), order.end())
      << "the drain ended before the write that replaced an earlier one";
  EXPECT_EQ(std::find(order.begin(), order.end(), "device token 1"), order.end());
  stream->stop = true;
  ASSERT_TRUE(draining.within(20s));
  ASSERT_TRUE(core::KeychainWriter::shared().drain(20s));
}

}  // namespace
}  // namespace vadar
