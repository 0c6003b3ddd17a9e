#pragma once
// Session: one signed-in session of a user on this client, as the frontend API describes it. Sessions arrive
// in the client's `sessions` and in response envelopes. Token fetching and revocation come with the sessions
// part of the library.
#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "vadar/infra/coding.hpp"
#include "vadar/models/public_user_data.hpp"
#include "vadar/models/token_resource.hpp"
#include "vadar/models/user.hpp"

namespace vadar {

// The device and place of a session's latest activity.
struct SessionActivity {
  std::string id;
  std::optional<std::string> browserName;
  std::optional<std::string> browserVersion;
  std::optional<std::string> deviceType;
  std::optional<std::string> ipAddress;
  std::optional<std::string> city;
  std::optional<std::string> country;
  std::optional<bool> isMobile;

  friend bool operator==(const SessionActivity&, const SessionActivity&) = default;
};

struct Session {
  enum class SessionStatus { abandoned, active, pending, ended, expired, removed, replaced, revoked, unknown };

  struct Task {
    std::string key;
    friend bool operator==(const Task&, const Task&) = default;
  };

  std::string id;
  SessionStatus status = SessionStatus::unknown;
  Date expireAt;
  Date abandonAt;
  Date lastActiveAt;
  std::optional<SessionActivity> latestActivity;
  std::optional<std::string> lastActiveOrganizationId;
  std::optional<std::string> actor;
  std::optional<User> user;
  std::optional<PublicUserData> publicUserData;
  Date createdAt;
  Date updatedAt;
  std::optional<std::vector<Task>> tasks;
  std::optional<TokenResource> lastActiveToken;

  // Token options; defined with the session token fetcher (get_token_options.hpp).
  struct GetTokenOptions;
  // Blocking, on any thread but the main queue; defined with the session token fetcher.
  std::optional<TokenResource> getToken(const GetTokenOptions& options) const;
  std::optional<TokenResource> getToken() const;  // no template, buffer 10 s, cache in use
  // "POST" "/v1/me/sessions/<id>/revoke" through the "sessionService"; defined with the session service.
  Session revoke() const;

  // The two sample sessions (ids "1" and "2", active, users User::mock() and User::mock2()).
  static Session mockSession1();
  static Session mockSession2();

  friend bool operator==(const Session&, const Session&) = default;
};

template <>
struct TextEnum<Session::SessionStatus> {
  using E = Session::SessionStatus;
  static constexpr std::array<std::pair<E, std::string_view>, 9> cases{{
      {E::abandoned, "abandoned"},
      {E::active, "active"},
      {E::pending, "pending"},
      {E::ended, "ended"},
      {E::expired, "expired"},
      {E::removed, "removed"},
      {E::replaced, "replaced"},
      {E::revoked, "revoked"},
      {E::unknown, "unknown"},
  }};
  static constexpr E unknown = E::unknown;
};

void decodeValue(const Decoder& d, Session& out);
nlohmann::json encodeValue(const Session& value);
void decodeValue(const Decoder& d, Session::Task& out);
nlohmann::json encodeValue(const Session::Task& value);
void decodeValue(const Decoder& d, SessionActivity& out);
nlohmann::json encodeValue(const SessionActivity& value);

}  // namespace vadar
