#pragma once
// User: the signed-in user. The fields the library reads are typed; every other member received is kept as
// sent in `otherMembers`, so equality, encoding and the keychain cache lose nothing.
//
// Example, given const vadar::Session& session:
//   const vadar::User& user = *session.user;
//   std::string email = user.emailAddresses.front().emailAddress;
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "vadar/infra/coding.hpp"
#include "vadar/infra/json.hpp"

namespace vadar {

class OAuthProvider;
enum class IDTokenProvider;

struct EmailAddress {
  std::string id;
  std::string emailAddress;
  std::map<std::string, JSON> otherMembers;  // verification, linked_to, ... as sent

  friend bool operator==(const EmailAddress&, const EmailAddress&) = default;
};

struct User {
  std::string id;
  std::optional<std::string> firstName;
  std::optional<std::string> lastName;
  std::optional<std::string> username;
  std::optional<std::string> imageUrl;
  std::optional<bool> hasImage;
  std::optional<std::string> primaryEmailAddressId;
  std::vector<EmailAddress> emailAddresses;  // required on the wire, may be empty
  std::map<std::string, JSON> otherMembers;  // every member not named above, as sent

  // The two sample users ("user_1" with an e-mail address, "user_2").
  static User mock();
  static User mock2();

  // Connects an external account; give the envelope's "response" (the external account as sent). Defined by
  // the core (vadar/src/core/): they send requests.
  JSON createExternalAccount(const OAuthProvider& provider, std::optional<std::string> redirectUrl = std::nullopt,
                             std::optional<std::vector<std::string>> additionalScopes = std::nullopt) const;
  JSON createExternalAccount(IDTokenProvider provider, const std::string& idToken) const;

  friend bool operator==(const User&, const User&) = default;
};

void decodeValue(const Decoder& d, EmailAddress& out);
nlohmann::json encodeValue(const EmailAddress& value);
void decodeValue(const Decoder& d, User& out);
nlohmann::json encodeValue(const User& value);

}  // namespace vadar
