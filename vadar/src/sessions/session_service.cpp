#include "vadar/sessions/session_service.hpp"

#include <httpkit/request.hpp>

#include "core/background_tasks.hpp"
#include "core/live_services.hpp"
#include "sessions/request_path.hpp"
#include "vadar/models/client_response.hpp"
#include "vadar/sessions/get_token_options.hpp"
#include "vadar/sessions/session_token_fetcher.hpp"
#include "vadar/core/vadar.hpp"

namespace vadar {

SessionService SessionService::live() {
  return SessionService{[](const std::string& sessionId) -> Session {
    core::requireOffMainQueue("Session::revoke()");
    const std::string path = "/v1/me/sessions/" + sessions::idPathSegment(sessionId) + "/revoke";
    const auto current = Vadar::shared()->session();
    httpkit::AnyRequest request(path, httpkit::HTTPMethod::post,
                                {{"_vadar_session_id", current ? std::optional(current->id) : std::nullopt}});
    const auto answer = core::sendChangingSignedInState(request);
    return core::decodeBody<ClientResponse<Session>>(answer.data).response;
  }};
}

wiring::Factory<SessionService> sessionServiceFactory() {
  return wiring::Factory<SessionService>(sessionServiceKey, [] { return SessionService::live(); });
}

Session Session::revoke() const { return sessionServiceFactory().resolve().revoke(id); }

std::optional<TokenResource> Session::getToken(const GetTokenOptions& options) const {
  core::requireOffMainQueue("Session::getToken()");
  return SessionTokenFetcher::shared().getToken(*this, options);
}

std::optional<TokenResource> Session::getToken() const {
  return getToken(GetTokenOptions(std::nullopt, 10.0, false));
}

}  // namespace vadar
