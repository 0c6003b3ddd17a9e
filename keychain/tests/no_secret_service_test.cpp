// Runs with the session bus pointed at a socket that does not exist, as on a machine without a desktop
// session: every call must fail promptly with serviceUnavailable, and nothing may be written to files instead.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <functional>
#include <future>

#include "testing/bounded_task.hpp"
#include "keychain/keychain_store.hpp"
#include "keychain_test_support.hpp"

namespace keychain {
namespace {

using namespace std::chrono_literals;

std::filesystem::path sandbox;

// Set before the first libsecret or GIO call of the process. Home and XDG folders point into an empty
// sandbox, so a fallback that wrote secrets to files would show there.
struct DeadSessionBus : ::testing::Environment {
  void SetUp() override {
    char pattern[] = "/tmp/keychain-no-bus.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    sandbox = pattern;
    ASSERT_EQ(setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + sandbox.string() + "/none/bus").c_str(), 1), 0);
    for (const char* name : {"HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME", "XDG_RUNTIME_DIR"}) {
      ASSERT_EQ(setenv(name, sandbox.c_str(), 1), 0);
    }
  }
  void TearDown() override { std::filesystem::remove_all(sandbox); }
};
const auto* const kDeadBus = ::testing::AddGlobalTestEnvironment(new DeadSessionBus);

TEST(NoSecretService, EveryCallThrowsServiceUnavailablePromptly) {
  const KeychainStore store(testing::uniqueService(), "group");
  const std::vector<std::pair<const char*, std::function<void()>>> calls = {
      {"string", [&] { store.string("key"); }},
      {"setString", [&] { store.setString("value", "key"); }},
      {"data", [&] { store.data("key"); }},
      {"setData", [&] { store.setData(foundation::Bytes{0x00, 0xFF}, "key"); }},
      {"deleteItem", [&] { store.deleteItem("key"); }},
      {"hasItem", [&] { store.hasItem("key"); }},
  };
  for (const auto& entry : calls) {
    const auto& call = entry.second;  // a structured binding could not be captured below
    auto outcome = testing_support::launch([&call] { return testing::errorOf(call); });
    ASSERT_EQ(outcome.wait_for(20s), std::future_status::ready) << entry.first << " blocked";
    const std::optional<KeychainStoreError> error = outcome.get();
    ASSERT_TRUE(error.has_value()) << entry.first << " succeeded without a Secret Service";
    EXPECT_EQ(error->code(), KeychainStoreError::Code::serviceUnavailable) << entry.first;
    EXPECT_STREQ(error->description(), "No Secret Service is reachable on the session bus.");
    EXPECT_FALSE(error->detail().empty()) << entry.first << " dropped the bus's own message";
  }
  EXPECT_TRUE(std::filesystem::is_empty(sandbox)) << "something was written to disk";
}

}  // namespace
}  // namespace keychain
