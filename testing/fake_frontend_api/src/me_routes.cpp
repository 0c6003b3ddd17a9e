// The signed-in user ("/v1/me"): requests act on the session named by "_vadar_session_id", else on the
// client's current session.
#include "routes.hpp"

namespace fake_frontend_api::detail {

using nlohmann::json;

namespace {

json* actingSession(const RecordedRequest& request, State& state) {
  const auto named = request.queryValue("_vadar_session_id");
  json* session = named && !named->empty() ? state.findSession(*named) : state.currentSession();
  if (session == nullptr || session->value("status", "") != "active" || !(*session)["user"].is_object())
    return nullptr;
  return session;
}

}  // namespace

void addMeRoutes(FakeFrontendAPI& api) {
  // Connects an external account: an OAuth strategy answers with an unverified account whose verification
  // carries the provider's authorization address; an Apple ID token is verified at once.
  api.route("POST", "/v1/me/external_accounts",
            [](const RecordedRequest& request, const FakeFrontendAPI::Params&, State& state) {
              json* session = actingSession(request, state);
              if (session == nullptr) return Answer::error(401, "signed_out", "You are signed out");
              const auto strategy = request.formValue("strategy");
              if (!strategy || strategy->empty())
                return Answer::error(422, "form_param_missing", "strategy is missing");

              const std::string userId = (*session)["user"]["id"].get<std::string>();
              json& user = state.users.at(userId);
              json account = {{"id", state.makeId("eac")},
                              {"object", "external_account"},
                              {"identification_id", state.makeId("idn")},
                              {"provider_user_id", state.makeId("provider_user")},
                              {"email_address", user["email_addresses"][0]["email_address"]},
                              {"first_name", user["first_name"]},
                              {"last_name", user["last_name"]}};
              json scopes = json::array();
              for (const auto& [name, value] : request.form())
                if (name == "additional_scope" || name == "additional_scope[]") scopes.push_back(value);
              account["approved_scopes"] = scopes;

              if (*strategy == "oauth_token_apple") {
                const auto token = request.formValue("token");
                if (!token || token->empty()) return Answer::error(422, "form_param_missing", "token is missing");
                account["provider"] = "apple";
                account["verification"] = {{"status", "verified"}, {"strategy", *strategy}};
              } else if (strategy->rfind("oauth_", 0) == 0) {
                const auto redirect = request.formValue("redirect_url");
                if (!redirect || redirect->empty())
                  return Answer::error(422, "form_param_missing", "redirect_url is missing");
                account["provider"] = strategy->substr(6);
                account["verification"] = {
                    {"status", "unverified"},
                    {"strategy", *strategy},
                    {"external_verification_redirect_url",
                     "https://oauth.example.test/authorize?provider=" + strategy->substr(6) + "&redirect_uri=" + *redirect}};
              } else {
                return Answer::error(422, "form_param_value_invalid", "strategy is not an external account strategy");
              }
              user["external_accounts"].push_back(account);
              user["updated_at"] = state.tick();
              state.touchClient();
              return Answer::json(200, envelope(account, state));
            });
}

}  // namespace fake_frontend_api::detail
