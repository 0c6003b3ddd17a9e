#include "keychain/keychain_store.hpp"

#include <cstddef>
#include <string>
#include <utility>

#include "secret_service_items.hpp"
#include "utf8_validation.hpp"

namespace keychain {
namespace {

using Code = KeychainStoreError::Code;

constexpr const char* kTextContentType = "text/plain";
constexpr const char* kBytesContentType = "application/octet-stream";

// Refuses what one message to the Secret Service could not carry: the bus would drop the connection, which
// the whole process shares, instead of failing the one call.
void requireSize(std::size_t size, std::size_t maximum, const char* what) {
  if (size > maximum) {
    throw KeychainStoreError(Code::other, std::string(what) + " is larger than " + std::to_string(maximum) + " bytes");
  }
}

// Attribute values travel as D-Bus strings, which must be UTF-8 without NUL; anything else would be
// rejected deep inside GLib, so it is refused here with a typed error.
void requireAttributeText(std::string_view text, const char* what) {
  requireSize(text.size(), KeychainStore::kMaximumAttributeSize, what);
  if (!isValidUtf8(text, /*allowNul=*/false)) {
    throw KeychainStoreError(Code::badData, std::string(what) + " is not UTF-8 text without NUL");
  }
}

ItemAddress addressOf(const std::string& service, const std::optional<std::string>& accessGroup,
                      std::string_view key) {
  ItemAddress address{service, key, accessGroup ? std::string_view(*accessGroup) : std::string_view()};
  requireAttributeText(address.service, "the service");
  requireAttributeText(address.account, "the key");
  requireAttributeText(address.accessGroup, "the access group");
  return address;
}

}  // namespace

KeychainStore::KeychainStore(std::string service, std::optional<std::string> accessGroup,
                             Accessibility accessibility, std::optional<AccessControlFlags> accessControlFlags,
                             std::optional<AuthenticationContext> authenticationContext, bool synchronizable,
                             std::map<std::string, std::string> attributes)
    : service_(std::move(service)),
      accessGroup_(std::move(accessGroup)),
      accessibility_(accessibility),
      accessControlFlags_(accessControlFlags),
      authenticationContext_(authenticationContext),
      synchronizable_(synchronizable),
      attributes_(std::move(attributes)) {}

std::string KeychainStore::string(std::string_view key) const {
  std::string bytes = readItem(addressOf(service_, accessGroup_, key));
  if (!isValidUtf8(bytes)) throw KeychainStoreError(Code::badData, "the item's bytes are not UTF-8");
  return bytes;
}

void KeychainStore::setString(std::string_view text, std::string_view key) const {
  requireSize(text.size(), kMaximumDataSize, "the text");
  // Text that could not be read back by string() is refused rather than stored.
  if (!isValidUtf8(text)) throw KeychainStoreError(Code::badData, "the text is not UTF-8");
  store(text, key, kTextContentType);
}

foundation::Bytes KeychainStore::data(std::string_view key) const {
  std::string bytes = readItem(addressOf(service_, accessGroup_, key));
  return foundation::Bytes(bytes.begin(), bytes.end());
}

void KeychainStore::setData(const foundation::Bytes& bytes, std::string_view key) const {
  store(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()), key, kBytesContentType);
}

void KeychainStore::deleteItem(std::string_view key) const {
  keychain::deleteItem(addressOf(service_, accessGroup_, key));
}

bool KeychainStore::hasItem(std::string_view key) const {
  return containsItem(addressOf(service_, accessGroup_, key));
}

void KeychainStore::store(std::string_view bytes, std::string_view key, const char* contentType) const {
  requireSize(bytes.size(), kMaximumDataSize, "the data");
  ItemAddress address = addressOf(service_, accessGroup_, key);
  std::string label = std::string(key) + " (" + service_ + ")";
  writeItem(address, bytes, contentType, label);
}

}  // namespace keychain
