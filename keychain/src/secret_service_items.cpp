#include "secret_service_items.hpp"

#include <libsecret/secret.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "call_deadline.hpp"
#include "keychain/keychain_store.hpp"
#include "keychain/keychain_store_error.hpp"

namespace keychain {
namespace {

using Code = KeychainStoreError::Code;

struct GObjectUnref {
  void operator()(gpointer object) const { g_object_unref(object); }
};
struct ErrorFree {
  void operator()(GError* error) const { g_error_free(error); }
};
struct HashTableUnref {
  void operator()(GHashTable* table) const { g_hash_table_unref(table); }
};
struct ValueUnref {
  void operator()(SecretValue* value) const { secret_value_unref(value); }
};
struct ItemListFree {
  void operator()(GList* list) const { g_list_free_full(list, g_object_unref); }
};

using ServicePtr = std::unique_ptr<SecretService, GObjectUnref>;
using ErrorPtr = std::unique_ptr<GError, ErrorFree>;
using AttributesPtr = std::unique_ptr<GHashTable, HashTableUnref>;
using ValuePtr = std::unique_ptr<SecretValue, ValueUnref>;
using ItemListPtr = std::unique_ptr<GList, ItemListFree>;

// The process-wide turn at libsecret. A call waits for its turn as long as the calls ahead of it are answered,
// however many there are: a busy Secret Service is not a stalled one. It stops waiting, with timedOut, when a
// call ahead of it ends without an answer (the Secret Service stopped answering, and would only be asked again)
// or holds the turn past its own deadline. So every call queued behind a stall ends within one deadline of it.
// (A condition rather than a timed mutex: the thread sanitizer cannot follow the timed lock's clock-based wait.)
class LibsecretTurn {
 public:
  static LibsecretTurn& process() {
    // Never destroyed: calls may still wait for their turn while the process exits, and destroying the
    // condition they wait on would hold exit until they gave up.
    static auto* turn = new LibsecretTurn();
    return *turn;
  }
  // False when the calls ahead stalled: see above. `holdLimit` is how long a holder may keep the turn.
  bool take(std::chrono::steady_clock::duration holdLimit) {
    std::unique_lock lock(mutex_);
    const std::uint64_t stallsSeen = stalls_;
    while (taken_) {
      if (stalls_ != stallsSeen) return false;
      const auto overdue = heldSince_ + holdLimit;
      if (std::chrono::steady_clock::now() >= overdue) return false;
      free_.wait_until(lock, overdue);
    }
    if (stalls_ != stallsSeen) return false;
    taken_ = true;
    heldSince_ = std::chrono::steady_clock::now();
    return true;
  }
  // `answered` is false when the holder's call ran out of time waiting for the Secret Service.
  void give(bool answered) {
    {
      std::lock_guard lock(mutex_);
      taken_ = false;
      if (!answered) ++stalls_;
    }
    if (answered) {
      free_.notify_one();
    } else {
      free_.notify_all();
    }
  }

 private:
  std::mutex mutex_;
  std::condition_variable free_;
  bool taken_ = false;
  std::chrono::steady_clock::time_point heldSince_{};
  std::uint64_t stalls_ = 0;
};

const SecretSchema* schema() {
  static const SecretSchema instance = [] {
    SecretSchema s{};
    s.name = "com.tolvaran.KeychainStore";
    s.flags = SECRET_SCHEMA_NONE;  // the schema name is matched too: other programs' items stay invisible
    s.attributes[0] = {"service", SECRET_SCHEMA_ATTRIBUTE_STRING};
    s.attributes[1] = {"account", SECRET_SCHEMA_ATTRIBUTE_STRING};
    s.attributes[2] = {"access_group", SECRET_SCHEMA_ATTRIBUTE_STRING};
    return s;
  }();
  return &instance;
}

AttributesPtr attributesOf(const ItemAddress& address) {
  AttributesPtr table(g_hash_table_new_full(g_str_hash, g_str_equal, g_free, g_free));
  auto insert = [&](const char* name, std::string_view value) {
    g_hash_table_insert(table.get(), g_strdup(name), g_strdup(std::string(value).c_str()));
  };
  insert("service", address.service);
  insert("account", address.account);
  insert("access_group", address.accessGroup);
  return table;
}

bool isUnreachable(const GError* error) {
  if (error->domain == G_DBUS_ERROR) {
    switch (error->code) {
      case G_DBUS_ERROR_SERVICE_UNKNOWN:
      case G_DBUS_ERROR_NAME_HAS_NO_OWNER:
      case G_DBUS_ERROR_NO_SERVER:
      case G_DBUS_ERROR_NO_REPLY:  // also the bus's answer for a daemon that died during the call
      case G_DBUS_ERROR_DISCONNECTED:
      case G_DBUS_ERROR_SPAWN_EXEC_FAILED:
      case G_DBUS_ERROR_SPAWN_FORK_FAILED:
      case G_DBUS_ERROR_SPAWN_CHILD_EXITED:
      case G_DBUS_ERROR_SPAWN_CHILD_SIGNALED:
      case G_DBUS_ERROR_SPAWN_FAILED:
      case G_DBUS_ERROR_SPAWN_SERVICE_NOT_FOUND:
      case G_DBUS_ERROR_SPAWN_SERVICE_INVALID:
        return true;
      default:
        return false;
    }
  }
  if (error->domain == G_IO_ERROR) {
    switch (error->code) {
      case G_IO_ERROR_CLOSED:
      case G_IO_ERROR_CONNECTION_REFUSED:
      case G_IO_ERROR_CONNECTION_CLOSED:  // also a broken pipe
      case G_IO_ERROR_HOST_UNREACHABLE:
      case G_IO_ERROR_NETWORK_UNREACHABLE:
        return true;
      default:
        return false;
    }
  }
  return false;
}

// A daemon that is there but does not answer: the call's deadline cancelled it, or the bus gave up waiting.
// Not a daemon that is gone, so never a reason to reconnect and ask again.
bool isTimeout(const GError* error) {
  return g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED) ||
         g_error_matches(error, G_IO_ERROR, G_IO_ERROR_TIMED_OUT) ||
         g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_TIMEOUT) ||
         g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_TIMED_OUT);
}

// Another client deleted the item between our search and our call on it: the Secret Service answers for an
// object path it no longer has ("No such secret item", "No such interface"). Every call here is about items,
// so these answers mean the item is gone.
bool isItemGone(const GError* error) {
  return g_error_matches(error, SECRET_ERROR, SECRET_ERROR_NO_SUCH_OBJECT) ||
         g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_METHOD) ||
         g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_OBJECT) ||
         g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_INTERFACE);
}

KeychainStoreError timedOut(std::string detail) {
  return KeychainStoreError(Code::timedOut, "no answer within " + std::to_string(KeychainStore::kCallDeadline.count()) +
                                                " s" + (detail.empty() ? "" : ": " + detail));
}

[[noreturn]] void fail(GError* rawError) {
  ErrorPtr error(rawError);
  if (!error) throw KeychainStoreError(Code::other, "no error was reported");
  std::string message = error->message;
  if (isTimeout(error.get())) throw timedOut(std::move(message));
  Code code = Code::other;
  if (g_error_matches(error.get(), SECRET_ERROR, SECRET_ERROR_IS_LOCKED)) {
    code = Code::locked;
  } else if (isItemGone(error.get())) {
    code = Code::itemNotFound;
  } else if (isUnreachable(error.get())) {
    code = Code::serviceUnavailable;
  }
  throw KeychainStoreError(code, std::move(message));
}

// The process's shared service object, with a session open for moving secrets.
ServicePtr connect(GCancellable* cancellable) {
  GError* error = nullptr;
  ServicePtr service(secret_service_get_sync(SECRET_SERVICE_OPEN_SESSION, cancellable, &error));
  if (!service) {
    ErrorPtr owned(error);
    if (owned && isTimeout(owned.get())) throw timedOut(owned->message);
    throw KeychainStoreError(Code::serviceUnavailable, owned ? owned->message : "no Secret Service");
  }
  // GIO's shared session-bus connection ends the whole process when the bus goes away; a library has no
  // business doing that to its host. Later calls then fail with serviceUnavailable instead.
  if (GDBusConnection* connection = g_dbus_proxy_get_connection(G_DBUS_PROXY(service.get()))) {
    g_dbus_connection_set_exit_on_close(connection, FALSE);
  }
  return service;
}

// What one keychain call works with: the service object, and the cancellable its deadline cancels.
struct Session {
  SecretService* service;
  GCancellable* cancellable;
};

ItemListPtr search(const Session& session, const ItemAddress& address, bool loadSecrets) {
  AttributesPtr attributes = attributesOf(address);
  auto flags = static_cast<SecretSearchFlags>(SECRET_SEARCH_ALL |
                                              (loadSecrets ? SECRET_SEARCH_LOAD_SECRETS : SECRET_SEARCH_NONE));
  GError* error = nullptr;
  ItemListPtr items(
      secret_service_search_sync(session.service, schema(), attributes.get(), flags, session.cancellable, &error));
  if (error) fail(error);
  return items;
}

std::vector<SecretItem*> unlockedItems(GList* items) {
  std::vector<SecretItem*> unlocked;
  for (GList* node = items; node; node = node->next) {
    auto* item = static_cast<SecretItem*>(node->data);
    if (!secret_item_get_locked(item)) unlocked.push_back(item);
  }
  return unlocked;
}

[[noreturn]] void failNoCollection(const std::string& why) {
  throw KeychainStoreError(Code::other, "there is no default collection to add the item to: " + why);
}

[[noreturn]] void failLocked() {
  throw KeychainStoreError(Code::locked, "the item is in a locked collection");
}

// Runs `operation` on the process's service object under the process-wide turn, within one deadline counted
// from the moment the call has its turn: a Secret Service that stops answering ends this call with timedOut
// within the deadline, and every call queued behind it at the same moment (see LibsecretTurn).
// libsecret keeps the service object for the life of the process, bound to the daemon it first reached (its
// unique bus name, its session): once that daemon is gone, every call through it fails. So after such a
// failure the object is dropped and the operation tried once more on a fresh one, which reaches the daemon now
// on the bus (started again on demand by the bus). Each operation is safe to repeat: nothing was done by a
// daemon that could not be reached. A timeout is not such a failure: the daemon is there, and asking again
// would only wait again.
template <class Operation>
auto onService(Operation&& operation) {
  auto& turn = LibsecretTurn::process();
  // The holder's deadline cancels its call; the second more covers the cancelling thread's own delay.
  if (!turn.take(KeychainStore::kCallDeadline + std::chrono::seconds(1))) {
    throw timedOut("an earlier call found the Secret Service not answering");
  }
  bool answered = true;
  struct Give {
    LibsecretTurn& turn;
    const bool& answered;
    ~Give() { turn.give(answered); }
  } give{turn, answered};
  const CallDeadline deadline(KeychainStore::kCallDeadline);
  for (int attempt = 1;; ++attempt) {
    try {
      ServicePtr service = connect(deadline.cancellable());
      try {
        return operation(Session{service.get(), deadline.cancellable()});
      } catch (const KeychainStoreError& error) {
        if (error.code() != Code::serviceUnavailable) throw;
        service.reset();
        secret_service_disconnect();
        if (attempt == 2) throw;
      }
    } catch (const KeychainStoreError& error) {
      if (error.code() == Code::timedOut) answered = false;
      throw;
    }
  }
}

// The secret of an item found by a search that loaded secrets; loaded now if the search's batch missed it.
std::string secretOf(const Session& session, SecretItem* item) {
  ValuePtr value(secret_item_get_secret(item));
  if (!value) {
    GError* error = nullptr;
    if (!secret_item_load_secret_sync(item, session.cancellable, &error)) fail(error);
    value.reset(secret_item_get_secret(item));
    if (!value) throw KeychainStoreError(Code::other, "the item's secret could not be loaded");
  }
  gsize length = 0;
  const gchar* bytes = secret_value_get(value.get(), &length);
  return std::string(bytes, length);
}

// One attempt at a write: replaces the secret of the items found, or adds one. Throws itemNotFound when an
// item it found was deleted before its secret was replaced.
void writeOnce(const Session& session, const ItemAddress& address, SecretValue* value, const std::string& label) {
  ItemListPtr items = search(session, address, false);
  if (items) {
    std::vector<SecretItem*> unlocked = unlockedItems(items.get());
    if (unlocked.empty()) failLocked();
    // Duplicates can only come from other collections; keep them all in step so any one read is current.
    for (SecretItem* item : unlocked) {
      GError* error = nullptr;
      if (!secret_item_set_secret_sync(item, value, session.cancellable, &error)) fail(error);
    }
    return;
  }
  // Adding to a locked collection would make the Secret Service prompt the user to unlock it, and adding
  // without a default collection, to create one.
  GError* error = nullptr;
  std::unique_ptr<SecretCollection, GObjectUnref> collection(secret_collection_for_alias_sync(
      session.service, SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE, session.cancellable, &error));
  if (error) fail(error);
  if (!collection) failNoCollection("the keyring has none");
  if (secret_collection_get_locked(collection.get())) {
    throw KeychainStoreError(Code::locked, "the default collection is locked");
  }
  AttributesPtr attributes = attributesOf(address);
  if (!secret_service_store_sync(session.service, schema(), attributes.get(), SECRET_COLLECTION_DEFAULT,
                                 label.c_str(), value, session.cancellable, &error)) {
    // The object missing here is the collection the alias still names, deleted: the item is not what is
    // missing, and the write is not to be taken for a read that found nothing.
    if (isItemGone(error)) {
      ErrorPtr owned(error);
      failNoCollection(owned->message);
    }
    fail(error);
  }
}

}  // namespace

std::string readItem(const ItemAddress& address) {
  return onService([&](const Session& session) {
    // An item deleted by another client during the search is missing, as it would be a moment later.
    ItemListPtr items = search(session, address, true);
    if (!items) throw KeychainStoreError(Code::itemNotFound);
    std::vector<SecretItem*> unlocked = unlockedItems(items.get());
    if (unlocked.empty()) failLocked();
    return secretOf(session, unlocked.front());
  });
}

void writeItem(const ItemAddress& address, std::string_view secret, const char* contentType,
               const std::string& label) {
  onService([&](const Session& session) {
    ValuePtr value(secret_value_new(secret.data(), static_cast<gssize>(secret.size()), contentType));
    try {
      writeOnce(session, address, value.get(), label);
    } catch (const KeychainStoreError& error) {
      if (error.code() != Code::itemNotFound) throw;
      // Another client deleted the item we found: search again, which adds the item unless it is back.
      writeOnce(session, address, value.get(), label);
    }
  });
}

void deleteItem(const ItemAddress& address) {
  onService([&](const Session& session) {
    ItemListPtr items = search(session, address, false);
    if (!items) throw KeychainStoreError(Code::itemNotFound);
    std::vector<SecretItem*> unlocked = unlockedItems(items.get());
    if (unlocked.empty()) failLocked();
    bool deleted = false;
    for (SecretItem* item : unlocked) {
      GError* error = nullptr;
      if (secret_item_delete_sync(item, session.cancellable, &error)) {
        deleted = true;
        continue;
      }
      if (!isItemGone(error)) fail(error);
      g_error_free(error);  // deleted by another client meanwhile: gone all the same
    }
    if (!deleted) throw KeychainStoreError(Code::itemNotFound, "deleted by another client meanwhile");
  });
}

bool containsItem(const ItemAddress& address) {
  return onService([&](const Session& session) {
    try {
      ItemListPtr items = search(session, address, false);
      if (!items) return false;
      if (unlockedItems(items.get()).empty()) failLocked();
      return true;
    } catch (const KeychainStoreError& error) {
      if (error.code() == Code::itemNotFound) return false;  // deleted by another client during the search
      throw;
    }
  });
}

}  // namespace keychain
