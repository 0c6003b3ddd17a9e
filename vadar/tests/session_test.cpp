#include <gtest/gtest.h>

#include "vadar/models/session.hpp"

namespace vadar {
namespace {

constexpr const char* minimal =
    R"({"id":"s","status":"active","expire_at":1,"abandon_at":2,"last_active_at":3,"created_at":4,"updated_at":5})";

TEST(SessionRecord, EveryFieldTravelsUnderItsWireName) {
  const char* text = R"({"abandon_at":2,"actor":"act_1","created_at":4,"expire_at":1,"id":"sess_1",
    "last_active_at":3,"last_active_organization_id":"org_1","last_active_token":{"jwt":"h.c.s"},
    "latest_activity":{"browser_name":"TestBrowser","browser_version":"120.0","city":"Lyon","country":"FR",
      "device_type":"Desktop","id":"sact_1","ip_address":"192.0.2.7","is_mobile":false},
    "public_user_data":{"first_name":"Ann","has_image":true,"identifier":"ann@example.com",
      "image_url":"https://img.example.com/ann","last_name":"Li","user_id":"user_9"},
    "status":"pending","tasks":[{"key":"choose-organization"}],"updated_at":5,
    "user":{"email_addresses":[],"id":"user_9"}})";
  const Session session = decodeJSON<Session>(text);
  EXPECT_EQ(session.id, "sess_1");
  EXPECT_EQ(session.status, Session::SessionStatus::pending);
  EXPECT_EQ(session.lastActiveAt, Date(std::chrono::milliseconds(3)));
  EXPECT_EQ(session.latestActivity->ipAddress, "192.0.2.7");
  EXPECT_EQ(session.latestActivity->isMobile, false);
  EXPECT_EQ(session.publicUserData->userId, "user_9");
  EXPECT_EQ(session.tasks, (std::vector<Session::Task>{{"choose-organization"}}));
  EXPECT_EQ(session.lastActiveToken->jwt, "h.c.s");
  EXPECT_EQ(session.user->id, "user_9");
  EXPECT_EQ(toJSON(session), nlohmann::json::parse(text));

  const auto sample = toJSON(Session::mockSession1());
  EXPECT_EQ(sample["expire_at"], 2'212'875'090'000);
  EXPECT_EQ(sample["latest_activity"]["browser_name"], "Safari");
  EXPECT_EQ(sample["user"]["id"], "user_1");
  EXPECT_EQ(sample["tasks"], nlohmann::json::array());
}

TEST(SessionRecord, NullsAreAbsentAndRequiredMembersFail) {
  const Session session = decodeJSON<Session>(minimal);
  EXPECT_EQ(encodeJSON(session), nlohmann::json::parse(minimal).dump());
  auto withNulls = nlohmann::json::parse(minimal);
  for (const char* key : {"latest_activity", "last_active_organization_id", "actor", "user", "public_user_data",
                          "tasks", "last_active_token"})
    withNulls[key] = nullptr;
  EXPECT_EQ(fromJSON<Session>(withNulls), session);

  for (const char* key : {"id", "status", "expire_at", "updated_at"}) {
    auto json = nlohmann::json::parse(minimal);
    json.erase(key);
    EXPECT_THROW(fromJSON<Session>(json), DecodingError) << key;
  }
  auto tasks = nlohmann::json::parse(minimal);
  tasks["tasks"] = {{{"nokey", 1}}};
  EXPECT_THROW(fromJSON<Session>(tasks), DecodingError);
}

TEST(SessionStatus, UnknownTextDecodesButFromRawIsExact) {
  auto json = nlohmann::json::parse(minimal);
  json["status"] = "paused";
  EXPECT_EQ(fromJSON<Session>(json).status, Session::SessionStatus::unknown);
  EXPECT_FALSE(fromRaw<Session::SessionStatus>("paused"));
  EXPECT_EQ(fromRaw<Session::SessionStatus>("revoked"), Session::SessionStatus::revoked);
}

}  // namespace
}  // namespace vadar
