#include "vadar/models/client.hpp"

namespace vadar {

std::vector<Session> Client::activeSessions() const {
  std::vector<Session> active;
  for (const auto& session : sessions)
    if (session.status == Session::SessionStatus::active) active.push_back(session);
  return active;
}

void decodeValue(const Decoder& d, Client& out) {
  d.expectObject();
  d.required("id", out.id);
  d.optional("sign_in", out.signIn);
  d.optional("sign_up", out.signUp);
  d.required("sessions", out.sessions);
  d.optional("last_active_session_id", out.lastActiveSessionId);
  d.required("updated_at", out.updatedAt);
}

nlohmann::json encodeValue(const Client& value) {
  Encoder e;
  e.required("id", value.id);
  e.optional("sign_in", value.signIn);
  e.optional("sign_up", value.signUp);
  e.required("sessions", value.sessions);
  e.optional("last_active_session_id", value.lastActiveSessionId);
  e.required("updated_at", value.updatedAt);
  return std::move(e).json();
}

Client Client::sample() {
  Client client;
  client.id = "1";
  client.signIn = SignIn::sample();
  client.signUp = SignUp::sample();
  client.sessions = {Session::mockSession1(), Session::mockSession2()};
  client.lastActiveSessionId = "1";
  client.updatedAt = dateSinceReferenceDate(1'234'567'890);
  return client;
}

Client Client::sample2() {
  Client client;
  client.id = "2";
  client.signIn = SignIn::sample();
  client.signUp = SignUp::sample();
  client.updatedAt = dateSinceReferenceDate(1'234'567'890);
  return client;
}

}  // namespace vadar
