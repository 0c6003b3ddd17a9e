#include <gtest/gtest.h>

#include "vadar/models/organization_membership.hpp"
#include "vadar/models/public_user_data.hpp"
#include "vadar/models/sign_up.hpp"
#include "vadar/models/user.hpp"

namespace vadar {
namespace {

constexpr const char* fullUser = R"({"id":"user_9","first_name":"Ann","last_name":null,
  "email_addresses":[{"id":"idn_1","email_address":"ann@example.com","verification":{"status":"verified"},
  "linked_to":[]}],"phone_numbers":[{"id":"idn_2","phone_number":"+15555550100"}],
  "public_metadata":{"plan":"pro","seats":3},"two_factor_enabled":false,"created_at":1700000000000})";

TEST(UserRecord, KeepsEveryMemberItReceived) {
  const User user = decodeJSON<User>(fullUser);
  EXPECT_EQ(user.emailAddresses.at(0).emailAddress, "ann@example.com");
  auto expected = nlohmann::json::parse(fullUser);
  expected.erase("last_name");  // null counts as absent and is not written back
  EXPECT_EQ(toJSON(user), expected);
  EXPECT_EQ(decodeJSON<User>(encodeJSON(user)), user);

  User changed = user;
  changed.otherMembers["public_metadata"] = JSON::parse(R"({"plan":"free"})");
  EXPECT_NE(user, changed);
  for (const char* text : {R"({"email_addresses":[]})", R"({"id":"u","email_addresses":[{"id":"e"}]})",
                           R"({"id":"u","email_addresses":[],"first_name":1})"})
    EXPECT_THROW(decodeJSON<User>(text), DecodingError) << text;
}

TEST(SignUpRecord, KeepsUnknownMembersAndStatusFallsBack) {
  const auto text = R"({"abandon_at":1700000000000,"created_session_id":"sess_1","id":"su_1",)"
                    R"("missing_fields":["phone_number"],"status":"complete",)"
                    R"("verifications":{"email_address":{"status":"verified"}}})";
  EXPECT_EQ(encodeJSON(decodeJSON<SignUp>(text)), text);
  EXPECT_EQ(decodeJSON<SignUp>(R"({"id":"s","status":"verifying"})").status, SignUp::Status::unknown);
  EXPECT_THROW(decodeJSON<SignUp>(R"({"id":"s"})"), DecodingError);
}

TEST(PublicUserDataRecord, RequiredMembers) {
  const auto data = decodeJSON<PublicUserData>(R"({"image_url":"https://img/1","has_image":false,"identifier":"ann"})");
  EXPECT_EQ(encodeJSON(data), R"({"has_image":false,"identifier":"ann","image_url":"https://img/1"})");
  for (const char* text : {R"({"has_image":false,"identifier":"a"})", R"({"image_url":"","has_image":0,"identifier":"a"})"})
    EXPECT_THROW(decodeJSON<PublicUserData>(text), DecodingError) << text;
}

// Both membership records carry the member's public data; two records that differ only there must neither
// compare equal nor (in practice) hash alike, and the data survives a round trip.
template <class Record>
void checkMembershipRecord() {
  const auto text = R"({"id":"orgmem_1","public_user_data":{"first_name":"Ann","has_image":false,)"
                    R"("identifier":"ann@example.com","image_url":"https://img/1","user_id":"user_1"},"role":"admin"})";
  const auto record = decodeJSON<Record>(text);
  ASSERT_TRUE(record.publicUserData);
  EXPECT_EQ(record.publicUserData->userId, "user_1");
  EXPECT_EQ(encodeJSON(record), text);

  Record other = record;
  other.publicUserData->identifier = "ben@example.com";
  EXPECT_NE(record, other);
  EXPECT_NE(std::hash<Record>{}(record), std::hash<Record>{}(other));
  Record without = record;
  without.publicUserData.reset();
  EXPECT_NE(record, without);
  EXPECT_NE(std::hash<Record>{}(record), std::hash<Record>{}(without));
  EXPECT_EQ(std::hash<Record>{}(decodeJSON<Record>(text)), std::hash<Record>{}(record));

  EXPECT_FALSE(decodeJSON<Record>(R"({"id":"orgmem_2","public_user_data":null})").publicUserData);
  EXPECT_THROW(decodeJSON<Record>(R"({"public_user_data":{"identifier":"a"}})"), DecodingError);
}

TEST(OrganizationMembershipRecords, CarryThePublicUserDataThroughCodingEqualityAndHashing) {
  checkMembershipRecord<OrganizationMembership>();
  checkMembershipRecord<OrganizationMembershipRequest>();
}

}  // namespace
}  // namespace vadar
