#include <gtest/gtest.h>

#include "vadar/models/client.hpp"
#include "vadar/models/client_response.hpp"

namespace vadar {
namespace {

std::string session(std::string_view id, std::string_view status) {
  return R"({"id":")" + std::string(id) + R"(","status":")" + std::string(status) +
         R"(","expire_at":1,"abandon_at":2,"last_active_at":3,"created_at":4,"updated_at":5})";
}

TEST(ClientRecord, SampleRoundTripsExactly) {
  const Client sample = Client::sample();
  const std::string wire = encodeJSON(sample);
  EXPECT_EQ(decodeJSON<Client>(wire), sample);
  EXPECT_EQ(encodeJSON(decodeJSON<Client>(wire)), wire);
  EXPECT_EQ(toJSON(sample)["updated_at"], 2'212'875'090'000);  // 2040-02-14 23:31:30 UTC
  EXPECT_EQ(toJSON(sample)["sign_in"]["status"], "needs_identifier");
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
