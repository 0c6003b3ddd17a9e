#pragma once
// OrganizationMembership and OrganizationMembershipRequest: a user's place in an organization, and an
// invitation to one, each with the public view of the member. Only `publicUserData` is typed; every other
// member received is kept as sent in `otherMembers`, so equality, hashing and encoding lose nothing.
//
// Example, given std::string_view text:
//   auto membership = vadar::decodeJSON<vadar::OrganizationMembership>(text);
//   std::string who = membership.publicUserData ? membership.publicUserData->identifier : "";
#include <cstddef>
#include <functional>
#include <map>
#include <optional>
#include <string>

#include "vadar/infra/coding.hpp"
#include "vadar/infra/json.hpp"
#include "vadar/models/public_user_data.hpp"

namespace vadar {

struct OrganizationMembership {
  std::optional<PublicUserData> publicUserData;
  std::map<std::string, JSON> otherMembers;  // every member not named above, as sent

  friend bool operator==(const OrganizationMembership&, const OrganizationMembership&) = default;
  std::size_t hash() const;
};

struct OrganizationMembershipRequest {
  std::optional<PublicUserData> publicUserData;
  std::map<std::string, JSON> otherMembers;

  friend bool operator==(const OrganizationMembershipRequest&, const OrganizationMembershipRequest&) = default;
  std::size_t hash() const;
};

void decodeValue(const Decoder& d, OrganizationMembership& out);
nlohmann::json encodeValue(const OrganizationMembership& value);
void decodeValue(const Decoder& d, OrganizationMembershipRequest& out);
nlohmann::json encodeValue(const OrganizationMembershipRequest& value);

}  // namespace vadar

template <>
struct std::hash<vadar::OrganizationMembership> {
  std::size_t operator()(const vadar::OrganizationMembership& value) const { return value.hash(); }
};

template <>
struct std::hash<vadar::OrganizationMembershipRequest> {
  std::size_t operator()(const vadar::OrganizationMembershipRequest& value) const { return value.hash(); }
};
