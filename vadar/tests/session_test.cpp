#include <gtest/gtest.h>

#include "vadar/models/session.hpp"

namespace vadar {
namespace {

constexpr const char* minimal =
    R"({"id":"s","status":"active","expire_at":1,"abandon_at":2,"last_active_at":3,"created_at":4,"updated_at":5})";

TEST(SessionRecord, SamplesRoundTripExactly) {
  for (const Session& sample : {Session::mockSession1(), Session::mockSession2()}) {
    const std::string wire = encodeJSON(sample);
    EXPECT_EQ(decodeJSON<Session>(wire), sample);
    EXPECT_EQ(encodeJSON(decodeJSON<Session>(wire)), wire);
    EXPECT_EQ(toJSON(sample)["expire_at"], 2'212'875'090'000);
  }
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
