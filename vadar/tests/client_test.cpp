#include <gtest/gtest.h>

#include "vadar/models/client.hpp"
#include "vadar/models/client_response.hpp"

namespace vadar {
namespace {

std::string session(std::string_view id, std::string_view status) {
  return R"({"id":")" + std::string(id) + R"(","status":")" + std::string(status) +
         R"(","expire_at":1,"abandon_at":2,"last_active_at":3,"created_at":4,"updated_at":5})";
}

TEST(ClientRecord, EveryFieldTravelsUnderItsWireNameAndTheSampleHoldsItsValues) {
  const std::string text = R"({"id":"client_1","last_active_session_id":"s1","sessions":[)" + session("s1", "active") +
                           R"(],"sign_in":{"id":"sia_1","status":"needs_first_factor"},)"
                           R"("sign_up":{"id":"sua_1","status":"missing_requirements"},"updated_at":1700000000000})";
  const Client client = decodeJSON<Client>(text);
  EXPECT_EQ(client.id, "client_1");
  EXPECT_EQ(client.signIn->id, "sia_1");
  EXPECT_EQ(client.signIn->status, SignIn::Status::needsFirstFactor);
  EXPECT_EQ(client.signUp->status, SignUp::Status::missingRequirements);
  ASSERT_EQ(client.sessions.size(), 1u);
  EXPECT_EQ(client.sessions[0].expireAt, Date(std::chrono::milliseconds(1)));
  EXPECT_EQ(client.lastActiveSessionId, "s1");
  EXPECT_EQ(client.updatedAt, Date(std::chrono::milliseconds(1'700'000'000'000)));
  EXPECT_EQ(toJSON(client), nlohmann::json::parse(text));

  const auto sample = toJSON(Client::sample());
  EXPECT_EQ(sample["id"], "1");
  EXPECT_EQ(sample["updated_at"], 2'212'875'090'000);  // 2040-02-14 23:31:30 UTC
  EXPECT_EQ(sample["last_active_session_id"], "1");
  EXPECT_EQ(sample["sessions"][0]["id"], "1");
  EXPECT_EQ(sample["sessions"][1]["id"], "2");
  EXPECT_EQ(sample["sign_in"]["status"], "needs_identifier");
  EXPECT_FALSE(toJSON(Client::sample2()).contains("last_active_session_id"));
}

TEST(ClientRecord, NullsAreAbsentAndRequiredMembersAreEnforced) {
  const auto client = decodeJSON<Client>(
      R"({"id":"c","sign_in":null,"sign_up":null,"last_active_session_id":null,"sessions":[],"updated_at":0,"x":1})");
  EXPECT_EQ(encodeJSON(client), R"({"id":"c","sessions":[],"updated_at":0})");
  for (const char* text : {R"({"id":"c","updated_at":0})", R"({"id":null,"sessions":[],"updated_at":0})",
                           R"({"id":"c","sessions":[],"updated_at":"0"})",
                           R"({"id":"c","sessions":[{"id":"s"}],"updated_at":0})",
                           R"({"id":"c","sessions":[],"updated_at":0,"sign_in":{"id":"x"}})"})
    EXPECT_THROW(decodeJSON<Client>(text), DecodingError) << text;
}

TEST(ClientRecord, ActiveSessionsKeepServerOrder) {
  const auto client = decodeJSON<Client>(R"({"id":"c","updated_at":0,"sessions":[)" + session("a", "active") + "," +
                                         session("b", "ended") + "," + session("c", "active") + "," +
                                         session("d", "something_new") + "]}");
  const auto active = client.activeSessions();
  ASSERT_EQ(active.size(), 2u);
  EXPECT_EQ(active[0].id, "a");
  EXPECT_EQ(active[1].id, "c");
  EXPECT_EQ(client.sessions[3].status, Session::SessionStatus::unknown);
}

TEST(ClientResponses, EnvelopeRules) {
  using Fetched = ClientResponse<std::optional<Client>>;
  EXPECT_FALSE(decodeJSON<Fetched>(R"({"response": null, "client": null})").response);
  EXPECT_THROW(decodeJSON<Fetched>(R"({"client": {"id":"c","sessions":[],"updated_at":0}})"), DecodingError);
  EXPECT_EQ(decodeJSON<Fetched>(R"({"response": {"id":"c","sessions":[],"updated_at":0}})").response->id, "c");

  EXPECT_THROW(decodeJSON<ClientResponse<SignIn>>(R"({"response": null})"), DecodingError);
  EXPECT_THROW(decodeJSON<ClientResponse<SignIn>>(R"({"response": {"id":"si","status":"complete"}, "client": {}})"),
               DecodingError);
  ClientResponse<SignIn> envelope{SignIn::sample(), Client::sample2()};
  const auto again = decodeJSON<ClientResponse<SignIn>>(encodeJSON(envelope));
  EXPECT_EQ(again.response, envelope.response);
  EXPECT_EQ(again.client, envelope.client);
  EXPECT_EQ(encodeJSON(ClientResponse<std::optional<Client>>{}), R"({"response":null})");
}

}  // namespace
}  // namespace vadar
