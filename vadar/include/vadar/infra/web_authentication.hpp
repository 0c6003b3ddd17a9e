#pragma once
// WebAuthentication: the browser authentication session of redirect sign-in: open a start URL, wait for the
// browser to come back to the callback scheme, give the callback URL.
//
// Example (off the main queue), given std::shared_ptr<const vadar::SettingsProvider> settingsProvider,
//                                     const std::string& startUrl:
//   vadar::ScriptedWebAuthentication web(settingsProvider, [](const auto& request) {
//     return request.url + "?done";   // or throw
//   });
//   std::string callback = web.authenticate(startUrl, /*prefersEphemeralWebBrowserSession=*/false);
//
// This platform has no browser authentication session: HeadlessWebAuthentication always fails with
// WebAuthenticationError(notSupported), "Web authentication is not supported on this platform.".
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "vadar/infra/settings_provider.hpp"

namespace vadar {

class WebAuthenticationError : public std::runtime_error {
 public:
  enum class Kind { notSupported, noCallback };
  WebAuthenticationError(Kind kind, const std::string& text) : std::runtime_error(text), kind_(kind) {}
  Kind kind() const { return kind_; }

 private:
  Kind kind_;
};

class WebAuthentication {
 public:
  struct SessionRequest {
    std::string url;
    std::string callbackUrlScheme;
    bool prefersEphemeralWebBrowserSession = false;
  };

  explicit WebAuthentication(std::shared_ptr<const SettingsProvider> settings) : settings_(std::move(settings)) {}
  virtual ~WebAuthentication() = default;

  // Runs a session for `url` with the callback scheme of the settings in force and gives the callback URL.
  // Throws WebAuthenticationError(noCallback) when the session ends without one.
  std::string authenticate(const std::string& url, bool prefersEphemeralWebBrowserSession);

 protected:
  // Gives the callback URL, or an empty text when the session ended without one.
  virtual std::string runSession(const SessionRequest& request) = 0;

 private:
  std::shared_ptr<const SettingsProvider> settings_;
};

class HeadlessWebAuthentication : public WebAuthentication {
 public:
  using WebAuthentication::WebAuthentication;

 protected:
  std::string runSession(const SessionRequest& request) override;
};

// A session whose outcome a test scripts; it records every request it was given.
class ScriptedWebAuthentication : public WebAuthentication {
 public:
  using Script = std::function<std::string(const SessionRequest&)>;
  ScriptedWebAuthentication(std::shared_ptr<const SettingsProvider> settings, Script script)
      : WebAuthentication(std::move(settings)), script_(std::move(script)) {}

  std::vector<SessionRequest> requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
  }

 protected:
  std::string runSession(const SessionRequest& request) override;

 private:
  Script script_;
  mutable std::mutex mutex_;
  std::vector<SessionRequest> requests_;
};

}  // namespace vadar
