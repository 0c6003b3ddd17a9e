#pragma once
// VadarService: what the `Vadar` object does against the outside world: two frontend-API calls (sign-out,
// making a session active) and the keychain caches of the last known client ("cachedClient") and instance
// environment ("cachedEnvironment"). A record of operations resolved from the container under "vadarService"
// at each use; registering another record there replaces the live one for every later use.
//
// Example (off the main queue):
//   vadar::vadarServiceFactory().resolve().signOut(std::nullopt);   // "DELETE /v1/client/sessions"
//
// The two requests block the calling thread until the answer and refuse to run on the main queue (they throw
// VadarClientError there); they give nothing back: the resulting client arrives through the response
// pipeline. The keychain operations run on the caller's thread.
#include <functional>
#include <optional>
#include <string>

#include "vadar/models/client.hpp"
#include "vadar/models/environment.hpp"

namespace vadar {

struct VadarService {
  // With a session id: "POST /v1/client/sessions/<id>/remove"; without: "DELETE /v1/client/sessions".
  std::function<void(const std::optional<std::string>& sessionId)> signOut;
  // "POST /v1/client/sessions/<id>/touch" with "active_organization_id" (the empty text when none).
  std::function<void(const std::string& sessionId, const std::optional<std::string>& organizationId)> setActive;
  // Encodes with the shared coders and stores under "cachedClient"; throws the keychain's error.
  std::function<void(const Client& client)> saveClientToKeychain;
  // None when the item is missing or cannot be read (nothing is logged); throws DecodingError for bytes that
  // are not a client.
  std::function<std::optional<Client>()> loadClientFromKeychain;
  std::function<void(const VadarEnvironment& environment)> saveEnvironmentToKeychain;
  std::function<std::optional<VadarEnvironment>()> loadEnvironmentFromKeychain;

  // The record the container gives by default.
  static VadarService live();
};

inline constexpr const char* vadarServiceKey = "vadarService";
inline constexpr const char* cachedClientKey = "cachedClient";
inline constexpr const char* cachedEnvironmentKey = "cachedEnvironment";

}  // namespace vadar
