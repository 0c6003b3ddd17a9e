// The client resource and its sessions: what a device knows about its own signed-in state.
#include "routes.hpp"

namespace fake_frontend_api::detail {

using nlohmann::json;

json envelope(const json& response, const State& state) { return {{"response", response}, {"client", state.client}}; }

namespace {

// After a session leaves the client, the last active one is the newest remaining active session.
void dropSession(State& state, const std::string& sessionId) {
  auto& sessions = state.client["sessions"];
  for (auto it = sessions.begin(); it != sessions.end(); ++it) {
    if (it->value("id", "") == sessionId) {
      sessions.erase(it);
      break;
    }
  }
  if (state.client["last_active_session_id"] == sessionId) {
    state.client["last_active_session_id"] = nullptr;
    for (auto it = sessions.rbegin(); it != sessions.rend(); ++it) {
      if (it->value("status", "") == "active") {
        state.client["last_active_session_id"] = (*it)["id"];
        break;
      }
    }
  }
}

}  // namespace

void addClientRoutes(FakeFrontendAPI& api) {
  api.route("GET", "/v1/client", [](const RecordedRequest&, const FakeFrontendAPI::Params&, State& state) {
    return Answer::json(200, {{"response", state.client}, {"client", nullptr}});
  });

  // Sign-out of every session: the client stays, its sessions go.
  api.route("DELETE", "/v1/client/sessions", [](const RecordedRequest&, const FakeFrontendAPI::Params&, State& state) {
    state.tick();
    state.client["sessions"] = json::array();
    state.client["last_active_session_id"] = nullptr;
    state.touchClient();
    return Answer::json(200, envelope(state.client, state));
  });

  api.route("POST", "/v1/client/sessions/:id/remove",
            [](const RecordedRequest&, const FakeFrontendAPI::Params& params, State& state) {
              json* session = state.findSession(params.at("id"));
              if (session == nullptr) return Answer::error(404, "resource_not_found", "Session not found");
              json removed = *session;
              removed["status"] = "removed";
              removed["updated_at"] = state.tick();
              dropSession(state, params.at("id"));
              state.touchClient();
              return Answer::json(200, envelope(removed, state));
            });

  api.route("POST", "/v1/client/sessions/:id/touch",
            [](const RecordedRequest& request, const FakeFrontendAPI::Params& params, State& state) {
              json* session = state.findSession(params.at("id"));
              if (session == nullptr) return Answer::error(404, "resource_not_found", "Session not found");
              if (session->value("status", "") != "active")
                return Answer::error(422, "session_not_active", "The session is not active");
              const auto organization = request.formValue("active_organization_id");
              (*session)["last_active_organization_id"] =
                  organization && !organization->empty() ? json(*organization) : json(nullptr);
              (*session)["last_active_at"] = state.tick();
              (*session)["updated_at"] = state.clock;
              state.client["last_active_session_id"] = params.at("id");
              json touched = *session;
              state.touchClient();
              return Answer::json(200, envelope(touched, state));
            });
}

}  // namespace fake_frontend_api::detail
