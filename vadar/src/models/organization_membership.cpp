#include "vadar/models/organization_membership.hpp"

#include "other_members.hpp"

namespace vadar {
namespace {

// Both records share one shape: the member's public data and whatever else the server sent.
std::size_t hashOf(const std::optional<PublicUserData>& publicUserData, const std::map<std::string, JSON>& others) {
  std::size_t seed = 0;
  hashCombine(seed, publicUserData ? publicUserData->hash() : 0x5bd1e995);
  for (const auto& [key, value] : others) {
    hashCombine(seed, std::hash<std::string>{}(key));
    hashCombine(seed, value.hash());
  }
  return seed;
}

template <class Record>
void decodeRecord(const Decoder& d, Record& out) {
  d.expectObject();
  d.optional("public_user_data", out.publicUserData);
  out.otherMembers = detail::otherMembers(d, {"public_user_data"});
}

template <class Record>
nlohmann::json encodeRecord(const Record& value) {
  Encoder e;
  e.optional("public_user_data", value.publicUserData);
  detail::writeOtherMembers(e, value.otherMembers);
  return std::move(e).json();
}

}  // namespace

std::size_t OrganizationMembership::hash() const { return hashOf(publicUserData, otherMembers); }
std::size_t OrganizationMembershipRequest::hash() const { return hashOf(publicUserData, otherMembers); }

void decodeValue(const Decoder& d, OrganizationMembership& out) { decodeRecord(d, out); }
nlohmann::json encodeValue(const OrganizationMembership& value) { return encodeRecord(value); }
void decodeValue(const Decoder& d, OrganizationMembershipRequest& out) { decodeRecord(d, out); }
nlohmann::json encodeValue(const OrganizationMembershipRequest& value) { return encodeRecord(value); }

}  // namespace vadar
