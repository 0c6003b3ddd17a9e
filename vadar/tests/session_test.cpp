#include <gtest/gtest.h>

#include "vadar/session.hpp"

namespace vadar {
namespace {

constexpr const char* minimal =
    R"({"id":"s","status":"active","expire_at":1,"abandon_at":2,"last_active_at":3,"created_at":4,"updated_at":5})";

nlohmann::json minimalJSON() { return nlohmann::json::parse(minimal); }

TEST(SessionRecord, SamplesRoundTripExactly) {
  for (const Session& sample : {Session::mockSession1(), Session::mockSession2()}) {
    const std::string wire = encodeJSON(sample);
    EXPECT_EQ(decodeJSON<Session>(wire), sample);
    EXPECT_EQ(encodeJSON(decodeJSON<Session>(wire)), wire);
    const auto json = toJSON(sample);
    EXPECT_EQ(json["status"], "active");
    EXPECT_EQ(json["expire_at"], 2'212'875'090'000);
    EXPECT_EQ(json["tasks"], nlohmann::json::array());
    EXPECT_FALSE(json.contains("actor"));
    EXPECT_FALSE(json.contains("last_active_token"));
  }
  EXPECT_EQ(Session::mockSession1().user, User::mock());
  EXPECT_EQ(Session::mockSession2().latestActivity->browserName, "Chrome");
  EXPECT_EQ(Session::mockSession1().latestActivity->isMobile, true);
}

TEST(SessionRecord, OptionalMembersAbsentOrNull) {
  const Session session = decodeJSON<Session>(minimal);
  EXPECT_FALSE(session.latestActivity);
  EXPECT_FALSE(session.user);
  EXPECT_FALSE(session.tasks);
  EXPECT_EQ(encodeJSON(session), minimalJSON().dump());
  auto withNulls = minimalJSON();
  for (const char* key : {"latest_activity", "last_active_organization_id", "actor", "user", "public_user_data",
                          "tasks", "last_active_token"})
    withNulls[key] = nullptr;
  EXPECT_EQ(fromJSON<Session>(withNulls), session);
}

TEST(SessionRecord, RequiredMembersAndWrongTypesFail) {
  for (const char* key : {"id", "status", "expire_at", "abandon_at", "last_active_at", "created_at", "updated_at"}) {
    SCOPED_TRACE(key);
    auto json = minimalJSON();
    json.erase(key);
    EXPECT_THROW(fromJSON<Session>(json), DecodingError);
  }
  auto actor = minimalJSON();
  actor["actor"] = nlohmann::json::object();
  EXPECT_THROW(fromJSON<Session>(actor), DecodingError);
  auto tasks = minimalJSON();
  tasks["tasks"] = {{{"nokey", 1}}};
  EXPECT_THROW(fromJSON<Session>(tasks), DecodingError);
}

TEST(SessionStatus, UnknownTextDecodesButFromRawIsExact) {
  auto json = minimalJSON();
  json["status"] = "paused";
  EXPECT_EQ(fromJSON<Session>(json).status, Session::SessionStatus::unknown);
  EXPECT_FALSE(fromRaw<Session::SessionStatus>("paused"));
  EXPECT_EQ(fromRaw<Session::SessionStatus>("revoked"), Session::SessionStatus::revoked);
}

TEST(SessionRecord, EqualityNoticesTokenUserAndPublicData) {
  const Session base = Session::mockSession1();
  Session withToken = base;
  withToken.lastActiveToken = TokenResource{"a.b.c"};
  EXPECT_NE(base, withToken);
  Session renamed = base;
  renamed.user->firstName = "Changed";
  EXPECT_NE(base, renamed);
  Session withData = base;
  withData.publicUserData = PublicUserData{std::nullopt, std::nullopt, "", false, "ann", std::nullopt};
  Session withUserId = withData;
  withUserId.publicUserData->userId = "user_1";
  EXPECT_NE(withData, withUserId);
  EXPECT_EQ(decodeJSON<Session>(encodeJSON(withUserId)), withUserId);
}

}  // namespace
}  // namespace vadar
