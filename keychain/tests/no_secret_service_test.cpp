// Runs with the session bus pointed at a socket that does not exist, as on a machine without a desktop
// session: every call must fail promptly with serviceUnavailable, and nothing may be written to files instead.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <future>
#include <optional>
#include <string>
#include <vector>

#include "keychain/keychain_store.hpp"
#include "keychain_test_support.hpp"

namespace keychain {
namespace {

using namespace std::chrono_literals;
using Code = KeychainStoreError::Code;

// Set before any test runs, hence before the first libsecret or GIO call of the process. Home and XDG
// folders point into an empty sandbox, so a fallback that wrote secrets to files would show there.
class DeadSessionBus : public ::testing::Environment {
 public:
  void SetUp() override {
    char pattern[] = "/tmp/keychain-no-bus.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    sandbox() = pattern;
    const std::string deadSocket = sandbox().string() + "/no-such-dir/bus";
    ASSERT_EQ(setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + deadSocket).c_str(), 1), 0);
    for (const char* name : {"HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME", "XDG_RUNTIME_DIR"}) {
      ASSERT_EQ(setenv(name, sandbox().c_str(), 1), 0);
    }
  }
  void TearDown() override { std::filesystem::remove_all(sandbox()); }

  static std::filesystem::path& sandbox() {
    static std::filesystem::path path;
    return path;
  }
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
    const auto& name = entry.first;
    const auto& call = entry.second;
    auto outcome = std::async(std::launch::async, [&call]() -> std::optional<KeychainStoreError> {
      try {
        call();
      } catch (const KeychainStoreError& error) {
        return error;
      }
      return std::nullopt;
    });
    ASSERT_EQ(outcome.wait_for(20s), std::future_status::ready) << name << " blocked";
    const std::optional<KeychainStoreError> error = outcome.get();
    ASSERT_TRUE(error.has_value()) << name << " succeeded without a Secret Service";
    EXPECT_EQ(error->code(), Code::serviceUnavailable) << name;
    EXPECT_STREQ(error->description(), "No Secret Service is reachable on the session bus.");
    EXPECT_FALSE(error->detail().empty()) << name << " dropped the bus's own message";
  }
  EXPECT_TRUE(std::filesystem::is_empty(DeadSessionBus::sandbox())) << "something was written to disk";
}

}  // namespace
}  // namespace keychain
