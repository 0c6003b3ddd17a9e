// Runs in a keyring of its own (see CMakeLists.txt): it locks the default collection, which would break
// every other test sharing the keyring, and nothing here can unlock it again without a user prompt.
#include <gtest/gtest.h>
#include <libsecret/secret.h>

#include <functional>
#include <future>
#include <string>

#include "testing/bounded_task.hpp"
#include "keychain/keychain_store.hpp"
#include "keychain_test_support.hpp"

namespace keychain {
namespace {

using namespace std::chrono_literals;
using Code = KeychainStoreError::Code;

// Calls `act(service, collection, error)` with the keyring's default collection, through a connection of the
// test's own; what `act` answers says whether it did what it should, and `error` why not.
template <class Act>
bool withDefaultCollection(Act act, std::string& why) {
  GError* error = nullptr;
  SecretService* service = secret_service_get_sync(SECRET_SERVICE_NONE, nullptr, &error);
  if (!service) {
    why = error->message;
    g_error_free(error);
    return false;
  }
  SecretCollection* collection =
      secret_collection_for_alias_sync(service, SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE, nullptr, &error);
  const bool done = collection && act(service, collection, &error);
  why = error ? error->message : "no default collection";
  if (error) g_error_free(error);
  if (collection) g_object_unref(collection);
  g_object_unref(service);
  return done;
}

void lockDefaultCollection() {
  std::string why;
  ASSERT_TRUE(withDefaultCollection(
      [](SecretService* service, SecretCollection* collection, GError** error) {
        GList* objects = g_list_append(nullptr, collection);
        GList* locked = nullptr;
        const gint count = secret_service_lock_sync(service, objects, nullptr, &locked, error);
        g_list_free(objects);
        g_list_free_full(locked, g_object_unref);
        return count == 1;
      },
      why))
      << why;
}

void deleteDefaultCollection() {
  std::string why;
  ASSERT_TRUE(withDefaultCollection(
      [](SecretService*, SecretCollection* collection, GError** error) {
        return secret_collection_delete_sync(collection, nullptr, error) == TRUE;
      },
      why))
      << why;
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

// A keyring whose default collection was deleted (by the user, in a keyring manager) has nowhere to add an
// item: a write fails saying so, never as a missing item, which callers take for "nothing stored" and
// overlook. Reads find nothing, as there is nothing.
TEST(MissingCollection, AWriteWithoutADefaultCollectionFailsAndIsNotTakenForAMissingItem) {
  const KeychainStore store(testing::uniqueService());
  ASSERT_NO_FATAL_FAILURE(deleteDefaultCollection());
  for (const char* key : {"first", "second"}) {
    auto written = testing_support::launch([&] { return testing::errorOf([&] { store.setString("value", key); }); });
    ASSERT_EQ(written.wait_for(30s), std::future_status::ready) << "setString blocked";
    const auto error = written.get();
    ASSERT_TRUE(error.has_value()) << "the write succeeded";
    EXPECT_EQ(error->code(), Code::other) << error->what();
    EXPECT_NE(std::string(error->what()).find("collection"), std::string::npos) << error->what();
    EXPECT_EQ(testing::errorCodeOf([&] { store.string(key); }), Code::itemNotFound);
    EXPECT_FALSE(store.hasItem(key));
  }
}
}  // namespace
}  // namespace keychain
