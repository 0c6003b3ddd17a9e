// Session tokens and session revocation.
#include <chrono>
#include <memory>

#include "fake_frontend_api/sessions.hpp"
#include "routes.hpp"
#include "session_routes.hpp"

namespace fake_frontend_api {
namespace detail {

using nlohmann::json;

std::string base64Url(const std::string& bytes) {
  static const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
  std::string out;
  unsigned buffer = 0;
  int bits = 0;
  for (unsigned char c : bytes) {
    buffer = (buffer << 8) | c;
    bits += 8;
    while (bits >= 6) {
      bits -= 6;
      out.push_back(alphabet[(buffer >> bits) & 63]);
    }
  }
  if (bits > 0) out.push_back(alphabet[(buffer << (6 - bits)) & 63]);
  return out;
}

namespace {

std::int64_t defaultExpiry() {
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  return std::chrono::duration_cast<std::chrono::seconds>(now).count() + 60;
}

void serveTokens(FakeFrontendAPI& api, std::function<std::int64_t()> expiry) {
  auto counter = std::make_shared<std::uint64_t>(0);  // touched only by handlers, under the fake's lock
  auto handler = [expiry, counter](const RecordedRequest&, const FakeFrontendAPI::Params& params, State& state) {
    json* session = state.findSession(params.at("id"));
    if (session == nullptr) return Answer::error(404, "resource_not_found", "Session not found");
    if (session->value("status", "") != "active") return Answer::error(401, "signed_out", "You are signed out");
    const std::int64_t now =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
    json claims = {{"sid", params.at("id")},
                   {"sub", (*session)["user"].is_object() ? (*session)["user"].value("id", "") : ""},
                   {"iss", "https://frontend.fake"},
                   {"iat", now},
                   {"nbf", now},
                   {"exp", expiry()},
                   {"jti", "jti_" + std::to_string(++*counter)}};
    if (auto it = params.find("template"); it != params.end()) claims["tmpl"] = it->second;
    // A session token names the session's active organization, as the frontend API's tokens do.
    if (const auto organization = session->find("last_active_organization_id");
        organization != session->end() && organization->is_string())
      claims["org_id"] = *organization;
    const json header = {{"alg", "RS256"}, {"kid", "fake_key_1"}, {"typ", "JWT"}};
    const std::string jwt =
        base64Url(header.dump()) + "." + base64Url(claims.dump()) + "." + base64Url("fake-signature");
    return Answer::json(200, {{"object", "token"}, {"jwt", jwt}});
  };
  api.route("POST", "/v1/client/sessions/:id/tokens", handler);
  api.route("POST", "/v1/client/sessions/:id/tokens/:template", handler);
}

}  // namespace

void addTokenRoutes(FakeFrontendAPI& api) {
  serveTokens(api, defaultExpiry);

  api.route("POST", "/v1/me/sessions/:id/revoke",
            [](const RecordedRequest&, const FakeFrontendAPI::Params& params, State& state) {
              json* session = state.findSession(params.at("id"));
              if (session == nullptr) return Answer::error(404, "resource_not_found", "Session not found");
              json revoked = *session;
              revoked["status"] = "revoked";
              revoked["updated_at"] = state.tick();
              auto& sessions = state.client["sessions"];
              for (auto it = sessions.begin(); it != sessions.end(); ++it) {
                if (it->value("id", "") == params.at("id")) {
                  sessions.erase(it);
                  break;
                }
              }
              if (state.client["last_active_session_id"] == params.at("id"))
                state.client["last_active_session_id"] = nullptr;
              state.touchClient();
              return Answer::json(200, envelope(revoked, state));
            });
}

}  // namespace detail

void setTokenExpiry(FakeFrontendAPI& api, std::function<std::int64_t()> expiry) {
  detail::serveTokens(api, std::move(expiry));
}

}  // namespace fake_frontend_api
