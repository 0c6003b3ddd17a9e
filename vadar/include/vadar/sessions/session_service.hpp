#pragma once
// SessionService: the session operations that talk to the frontend API. A record of operations resolved from
// the container under "sessionService" at each use; registering another record there replaces the live one
// for every later use.
//
// Example (off the main queue), given const vadar::Session& session:
//   vadar::Session revoked = session.revoke();   // resolves "sessionService" and calls its `revoke`
//   vadar::sessionServiceFactory().register_([session] {   // a test's stand-in: every revoke answers `session`
//     return vadar::SessionService{[session](const std::string&) { return session; }};
//   });
//
// The live `revoke` sends "POST /v1/me/sessions/<id>/revoke" with the query item "_vadar_session_id" naming
// the current session of `Vadar::shared()` (a bare "_vadar_session_id" when there is none; the revoked and
// the current session may differ) and gives the session as the server now describes it. It blocks the calling
// thread and refuses to run on the main queue (VadarClientError); an id of "." or ".." or an empty id is
// refused the same way, before anything is sent.
#include <functional>
#include <string>

#include <wiring/container.hpp>

#include "vadar/models/session.hpp"

namespace vadar {

struct SessionService {
  std::function<Session(const std::string& sessionId)> revoke;

  // The record the container gives by default.
  static SessionService live();
};

inline constexpr const char* sessionServiceKey = "sessionService";

// "sessionService", a new live record at each resolution unless another maker is registered.
wiring::Factory<SessionService> sessionServiceFactory();

}  // namespace vadar
