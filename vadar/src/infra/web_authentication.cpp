#include "vadar/infra/web_authentication.hpp"

namespace vadar {

std::string WebAuthentication::authenticate(const std::string& url, bool prefersEphemeralWebBrowserSession) {
  SessionRequest request;
  request.url = url;
  request.callbackUrlScheme = settings_ ? settings_->currentSettings().redirectConfig.callbackUrlScheme : "";
  request.prefersEphemeralWebBrowserSession = prefersEphemeralWebBrowserSession;
  std::string callback = runSession(request);
  if (callback.empty())
    throw WebAuthenticationError(WebAuthenticationError::Kind::noCallback,
                                 "The web authentication session ended without a callback URL.");
  return callback;
}

std::string HeadlessWebAuthentication::runSession(const SessionRequest&) {
  throw WebAuthenticationError(WebAuthenticationError::Kind::notSupported,
                               "Web authentication is not supported on this platform.");
}

std::string ScriptedWebAuthentication::runSession(const SessionRequest& request) {
  {
    std::lock_guard lock(mutex_);
    requests_.push_back(request);
  }
  return script_ ? script_(request) : std::string();
}

}  // namespace vadar
