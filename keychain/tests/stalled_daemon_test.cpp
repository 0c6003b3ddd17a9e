// Runs in a keyring of its own (see CMakeLists.txt): it stops the Secret Service daemon, which would stall
// every other test sharing the keyring.
#include <gtest/gtest.h>

#include <boost/asio/post.hpp>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <latch>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <foundation/thread_pool.hpp>

#include "keychain/keychain_store.hpp"
#include "keychain_test_support.hpp"
#include "secret_service_daemon.hpp"
#include "testing/bounded_task.hpp"

namespace keychain {
namespace {

using namespace std::chrono_literals;
using Code = KeychainStoreError::Code;

// A daemon that stops answering (stopped, not gone): every call, of every thread at once, ends within its
// deadline with timedOut, none waits behind another for longer, and once the daemon answers again the same
// store goes on with it, the item written before intact.
TEST(StalledSecretService, CallsEndWithinTheirDeadlineAndTheStoreGoesOnAfterwards) {
  const KeychainStore store(testing::uniqueService());
  store.setString("before", "kept");
  const pid_t daemon = testing::secretServicePid();
  ASSERT_GT(daemon, 0);
  {
    const testing::StoppedProcess stopped(daemon);
    ASSERT_TRUE(stopped.stopped());
    const std::vector<std::pair<const char*, std::function<void()>>> calls = {
        {"string", [&] { store.string("kept"); }},
        {"data", [&] { store.data("kept"); }},
        {"setString", [&] { store.setString("during", "kept"); }},
        {"setData", [&] { store.setData(foundation::Bytes{1, 2}, "other"); }},
        {"hasItem", [&] { store.hasItem("kept"); }},
        {"deleteItem", [&] { store.deleteItem("kept"); }},
    };
    std::vector<testing_support::BoundedTask<std::optional<KeychainStoreError>>> outcomes;
    for (const auto& entry : calls) {
      outcomes.push_back(testing_support::launch([&call = entry.second] { return testing::errorOf(call); }));
    }
    // Calls that waited one behind the other would take a deadline each.
    for (std::size_t i = 0; i < calls.size(); ++i) {
      ASSERT_EQ(outcomes[i].wait_for(KeychainStore::kCallDeadline + 10s), std::future_status::ready)
          << calls[i].first << " blocked";
      const auto error = outcomes[i].get();
      ASSERT_TRUE(error.has_value()) << calls[i].first << " succeeded with the daemon stopped";
      EXPECT_EQ(error->code(), Code::timedOut) << calls[i].first << ": " << error->what();
      EXPECT_STREQ(error->description(), "The Secret Service did not answer in time.");
    }
  }
  // A timeout is not a daemon that is gone: no other daemon was started, and the store reaches this one again.
  ASSERT_TRUE(testing_support::runWithin(30s, [&] {
    EXPECT_EQ(store.string("kept"), "before");
    store.setString("after", "kept");
    EXPECT_EQ(store.string("kept"), "after");
  }));
  EXPECT_EQ(testing::secretServicePid(), daemon);
}

// Calls made from tasks of the shared pool, more of them than it has workers, so that for a while every worker
// is in a keychain call: each still ends within its deadline. The deadline is kept by the calling thread
// itself, not by work that would need a free worker.
TEST(StalledSecretService, CallsFromEveryWorkerOfThePoolEndWithinTheirDeadline) {
  const KeychainStore store(testing::uniqueService());
  store.setString("before", "kept");
  const pid_t daemon = testing::secretServicePid();
  ASSERT_GT(daemon, 0);
  const std::size_t calls = 2 * std::max(4u, std::thread::hardware_concurrency()) + 1;
  struct Outcomes {
    std::mutex mutex;
    std::vector<std::pair<std::chrono::steady_clock::duration, std::optional<KeychainStoreError>>> ended;
    std::promise<void> all;
  };
  auto outcomes = std::make_shared<Outcomes>();  // shared with the tasks: a failure here leaves them behind
  {
    const testing::StoppedProcess stopped(daemon);
    ASSERT_TRUE(stopped.stopped());
    for (std::size_t i = 0; i < calls; ++i) {
      boost::asio::post(foundation::ThreadPool::shared(), [store, outcomes, calls] {
        const auto start = std::chrono::steady_clock::now();
        auto error = testing::errorOf([&] { store.hasItem("kept"); });
        std::lock_guard lock(outcomes->mutex);
        outcomes->ended.emplace_back(std::chrono::steady_clock::now() - start, std::move(error));
        if (outcomes->ended.size() == calls) outcomes->all.set_value();
      });
    }
    // Calls that each take their deadline, as many at once as the pool has workers.
    ASSERT_EQ(outcomes->all.get_future().wait_for(4 * KeychainStore::kCallDeadline + 60s), std::future_status::ready);
  }
  for (const auto& [took, error] : outcomes->ended) {
    ASSERT_TRUE(error.has_value()) << "a call succeeded with the daemon stopped";
    EXPECT_EQ(error->code(), KeychainStoreError::Code::timedOut) << error->what();
    EXPECT_LT(took, KeychainStore::kCallDeadline + 5s)
        << "a call took " << std::chrono::duration_cast<std::chrono::milliseconds>(took).count() << " ms";
  }
  ASSERT_TRUE(testing_support::runWithin(30s, [&] { EXPECT_EQ(store.string("kept"), "before"); }));
}

// A Secret Service that is slow but answers (stopped for most of every moment, as on a loaded machine): calls
// of many threads at once wait their turn, however long the calls ahead of them take together, and each is
// answered; none ends with timedOut because its turn came late.
TEST(SlowSecretService, EveryThreadIsAnsweredHoweverLongItsTurnTakes) {
  const auto store = std::make_shared<const KeychainStore>(testing::uniqueService());
  const pid_t daemon = testing::secretServicePid();
  ASSERT_GT(daemon, 0);
  std::atomic<bool> slowing{true};
  std::thread slower([daemon, &slowing] {
    while (slowing.load()) {
      {
        const testing::StoppedProcess stopped(daemon);
        std::this_thread::sleep_for(200ms);
      }
      std::this_thread::sleep_for(1ms);  // long enough for about one message
    }
  });
  constexpr int kThreads = 8;
  std::latch start(kThreads);
  std::vector<testing_support::BoundedTask<std::optional<KeychainStoreError>>> outcomes;
  for (int id = 0; id < kThreads; ++id) {
    outcomes.push_back(testing_support::launch([store, &start, id] {
      start.arrive_and_wait();
      return testing::errorOf([&] {
        const std::string key = "thread-" + std::to_string(id);
        store->setString(key, key);
        if (store->string(key) != key) throw KeychainStoreError(Code::other, "another value was read back");
      });
    }));
  }
  for (auto& outcome : outcomes) {
    if (outcome.wait_for(180s) != std::future_status::ready) {
      slowing = false;
      slower.join();
      FAIL() << "a call did not return";
    }
  }
  slowing = false;
  slower.join();
  for (auto& outcome : outcomes) {
    const auto error = outcome.get();
    EXPECT_FALSE(error.has_value()) << error->what();
  }
}

// Leaving the process while calls wait for a stalled Secret Service, some for their turn: exit does not wait
// for them (alarm() bounds the child's exit well below the calls' deadline). The child stops the daemon itself:
// it re-runs this test up to the statement, which must not meet a stopped daemon before.
TEST(StalledSecretService, ExitDoesNotWaitForCallsInFlight) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        const KeychainStore store(testing::uniqueService());
        const testing::StoppedProcess stopped(testing::secretServicePid());  // goes on when this process ends
        constexpr int kCalls = 8;
        std::latch calling(kCalls);
        for (int i = 0; i < kCalls; ++i) {
          std::thread([&store, &calling] {
            calling.count_down();
            store.hasItem("kept");
          }).detach();
        }
        calling.wait();
        ::alarm(3);
        std::exit(stopped.stopped() ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace keychain
