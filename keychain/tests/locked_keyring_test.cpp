// Runs in a keyring of its own (see CMakeLists.txt): it locks the default collection, which would break
// every other test sharing the keyring, and nothing here can unlock it again without a user prompt.
#include <gtest/gtest.h>
#include <libsecret/secret.h>

#include <functional>
#include <future>

#include "testing/bounded_task.hpp"
#include "keychain/keychain_store.hpp"
#include "keychain_test_support.hpp"

namespace keychain {
namespace {

using namespace std::chrono_literals;
using Code = KeychainStoreError::Code;

void lockDefaultCollection() {
  GError* error = nullptr;
  SecretService* service = secret_service_get_sync(SECRET_SERVICE_NONE, nullptr, &error);
  ASSERT_NE(service, nullptr) << error->message;
  SecretCollection* collection =
      secret_collection_for_alias_sync(service, SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE, nullptr, &error);
  ASSERT_NE(collection, nullptr) << (error ? error->message : "no default collection");
  GList* objects = g_list_append(nullptr, collection);
  GList* locked = nullptr;
  const gint count = secret_service_lock_sync(service, objects, nullptr, &locked, &error);
  g_list_free(objects);
  g_list_free_full(locked, g_object_unref);
  g_object_unref(collection);
  g_object_unref(service);
  ASSERT_EQ(count, 1) << (error ? error->message : "the collection was not locked");
}

TEST(LockedKeyring, LockedItemsAreReportedAsLockedNeverAsMissing) {
  const KeychainStore store(testing::uniqueService());
  store.setString("before the lock", "present");
  ASSERT_NO_FATAL_FAILURE(lockDefaultCollection());

  const std::vector<std::pair<const char*, std::function<void()>>> calls = {
      {"string", [&] { store.string("present"); }},
      {"data", [&] { store.data("present"); }},
      {"hasItem", [&] { store.hasItem("present"); }},
      {"setString", [&] { store.setString("after the lock", "present"); }},
      {"deleteItem", [&] { store.deleteItem("present"); }},
      // Adding to the locked collection must not make the Secret Service prompt for its password.
      {"setString of a new item", [&] { store.setString("new", "absent"); }},
  };
  for (const auto& entry : calls) {
    const auto& call = entry.second;  // a structured binding could not be captured below
    auto outcome = testing_support::launch([&call] { return testing::errorCodeOf(call); });
    ASSERT_EQ(outcome.wait_for(30s), std::future_status::ready) << entry.first << " blocked";
    EXPECT_EQ(outcome.get(), Code::locked) << entry.first;
  }
}

}  // namespace
}  // namespace keychain
