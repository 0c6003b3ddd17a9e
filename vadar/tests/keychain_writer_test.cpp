// The keychain writer under a busy application: an item rewritten with every answer (the client) must not
// hold back the others (the device token), and a caller that waits for its own writes must not wait for
// everyone else's.
#include <gtest/gtest.h>

#include <future>
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

}  // namespace
}  // namespace vadar
