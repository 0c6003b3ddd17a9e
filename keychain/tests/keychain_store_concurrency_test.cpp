#include <gtest/gtest.h>

#include <future>
#include <latch>

#include "testing/bounded_task.hpp"
#include "keychain/keychain_store.hpp"
#include "keychain_test_support.hpp"

namespace keychain {
namespace {

// Each thread works its own item and all of them rewrite one shared item: every private value must read
// back as written, and the shared item must hold one whole value.
TEST(KeychainStoreConcurrency, ThreadsShareOneStore) {
  const KeychainStore store(testing::uniqueService());
  constexpr int kThreads = 8, kRounds = 10;
  std::latch start(kThreads);
  auto worker = [&](int id) {
    start.arrive_and_wait();
    const std::string key = "thread-" + std::to_string(id);
    for (int round = 0; round < kRounds; ++round) {
      const std::string value = key + "-round-" + std::to_string(round);
      store.setString(value, key);
      if (store.string(key) != value) return false;
      store.setString(value, "shared");
    }
    store.deleteItem(key);
    return !store.hasItem(key);
  };
  std::vector<testing_support::BoundedTask<bool>> results;
  for (int id = 0; id < kThreads; ++id) results.push_back(testing_support::launch([&worker, id] { return worker(id); }));
  for (auto& result : results) {
    ASSERT_EQ(result.wait_for(std::chrono::seconds(120)), std::future_status::ready) << "a call did not return";
    EXPECT_TRUE(result.get());
  }
  const std::string shared = store.string("shared");
  EXPECT_EQ(shared.rfind("thread-", 0), 0u);
  EXPECT_NE(shared.find("-round-" + std::to_string(kRounds - 1)), std::string::npos);
}

}  // namespace
}  // namespace keychain
