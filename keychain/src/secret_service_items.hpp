#pragma once
// The store's items in the Secret Service, through libsecret's service and item calls.
//
// libsecret's "simple" password calls hide failures: a lookup in a locked collection answers "nothing",
// clearing a missing item answers "done". These calls search for the items themselves and look at each
// item's lock state, so a locked item is Code::locked and a missing one Code::itemNotFound. They never ask
// the user to unlock anything.
//
// Every call takes one process-wide turn: libsecret's shared service object and its caches are not meant
// to be driven from several threads at once. The wait for the turn and every libsecret call share one deadline
// (KeychainStore::kCallDeadline), past which the call throws timedOut. A call that finds the daemon gone
// reconnects and tries once more, so a restarted Secret Service is used again without restarting the process;
// an item that another client deletes meanwhile is missing (itemNotFound), and a write searches once more.
#include <string>
#include <string_view>

namespace keychain {

// The attributes that identify one item. Texts must be valid UTF-8 without NUL (D-Bus strings).
struct ItemAddress {
  std::string_view service;
  std::string_view account;
  std::string_view accessGroup;  // empty when the store has none
};

// The secret's bytes. Throws itemNotFound, locked, serviceUnavailable, timedOut or other.
std::string readItem(const ItemAddress& address);

// Replaces the secret of the existing item, or adds one to the default collection.
void writeItem(const ItemAddress& address, std::string_view secret, const char* contentType,
               const std::string& label);

// Deletes every unlocked item at the address. Throws itemNotFound when there is none.
void deleteItem(const ItemAddress& address);

// Whether an unlocked item is at the address; throws locked when only locked ones are.
bool containsItem(const ItemAddress& address);

}  // namespace keychain
