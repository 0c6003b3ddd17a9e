#include <gtest/gtest.h>

#include <unordered_set>

#include "vadar/public_user_data.hpp"
#include "vadar/sign_up.hpp"
#include "vadar/user.hpp"

namespace vadar {
namespace {

constexpr const char* fullUser = R"({"id":"user_9","first_name":"Ann","last_name":null,
  "email_addresses":[{"id":"idn_1","email_address":"ann@example.com","verification":{"status":"verified"},
  "linked_to":[]}],"phone_numbers":[{"id":"idn_2","phone_number":"+15555550100"}],
  "public_metadata":{"plan":"pro","seats":3},"two_factor_enabled":false,"created_at":1700000000000})";

TEST(UserRecord, KeepsEveryMemberItReceived) {
  const User user = decodeJSON<User>(fullUser);
  EXPECT_EQ(user.emailAddresses.at(0).emailAddress, "ann@example.com");
  EXPECT_EQ(user.otherMembers.at("public_metadata"), JSON::parse(R"({"plan":"pro","seats":3})"));
  EXPECT_EQ(user.emailAddresses.at(0).otherMembers.count("verification"), 1u);
  EXPECT_FALSE(user.lastName);

  auto expected = nlohmann::json::parse(fullUser);
  expected.erase("last_name");  // null counts as absent and is not written back
  EXPECT_EQ(toJSON(user), expected);
  EXPECT_EQ(decodeJSON<User>(encodeJSON(user)), user);

  User changed = user;
  changed.otherMembers["public_metadata"] = JSON::parse(R"({"plan":"free"})");
  EXPECT_NE(user, changed);
}

TEST(UserRecord, RequiredMembers) {
  EXPECT_THROW(decodeJSON<User>(R"({"email_addresses":[]})"), DecodingError);
  EXPECT_THROW(decodeJSON<User>(R"({"id":"u"})"), DecodingError);
  EXPECT_THROW(decodeJSON<User>(R"({"id":"u","email_addresses":[{"id":"e"}]})"), DecodingError);
  EXPECT_THROW(decodeJSON<User>(R"({"id":"u","email_addresses":[],"first_name":1})"), DecodingError);
  EXPECT_NE(User::mock(), User::mock2());
  EXPECT_FALSE(User::mock().emailAddresses.empty());
}

TEST(SignUpRecord, KeepsUnknownMembersAndStatusFallsBack) {
  const auto text = R"({"abandon_at":1700000000000,"created_session_id":"sess_1","id":"su_1",)"
                    R"("missing_fields":["phone_number"],"status":"complete",)"
                    R"("verifications":{"email_address":{"status":"verified"}}})";
  const SignUp signUp = decodeJSON<SignUp>(text);
  EXPECT_EQ(signUp.status, SignUp::Status::complete);
  EXPECT_EQ(signUp.createdSessionId, "sess_1");
  EXPECT_EQ(encodeJSON(signUp), text);
  EXPECT_EQ(decodeJSON<SignUp>(R"({"id":"s","status":"verifying"})").status, SignUp::Status::unknown);
  EXPECT_EQ(rawValue(SignUp::Status::missingRequirements), "missing_requirements");
  EXPECT_THROW(decodeJSON<SignUp>(R"({"id":"s"})"), DecodingError);
  EXPECT_EQ(encodeJSON(SignUp::sample()), R"({"id":"1","status":"missing_requirements"})");
}

TEST(PublicUserDataRecord, RequiredAndOptionalMembers) {
  const auto data = decodeJSON<PublicUserData>(R"({"image_url":"https://img/1","has_image":false,"identifier":"ann"})");
  EXPECT_FALSE(data.firstName);
  EXPECT_FALSE(data.hasImage);
  EXPECT_EQ(data.imageUrl, "https://img/1");
  EXPECT_EQ(encodeJSON(data), R"({"has_image":false,"identifier":"ann","image_url":"https://img/1"})");
  for (const char* text : {R"({"has_image":false,"identifier":"a"})", R"({"image_url":"","identifier":"a"})",
                           R"({"image_url":"","has_image":false})", R"({"image_url":"","has_image":0,"identifier":"a"})"})
    EXPECT_THROW(decodeJSON<PublicUserData>(text), DecodingError) << text;
  PublicUserData withId = data;
  withId.userId = "user_1";
  EXPECT_NE(data, withId);
  std::unordered_set<PublicUserData> set{data, withId, data};
  EXPECT_EQ(set.size(), 2u);
}

}  // namespace
}  // namespace vadar
