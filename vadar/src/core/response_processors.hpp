#pragma once
// The response processors, run in this order on every answer whatever its status or endpoint; only the
// error processor throws, and its throw ends the sequence. The retry decision follows a failed attempt.
#include <exception>
#include <memory>
#include <optional>

#include <httpkit/data_task.hpp>
#include <httpkit/http_url_response.hpp>
#include <nlohmann/json.hpp>

#include "vadar/models/client.hpp"

namespace vadar {
class Vadar;
}

namespace vadar::core {

// The answer's body, parsed once for all processors; none when it is not JSON (an empty body included).
using ParsedBody = std::optional<nlohmann::json>;

// Keeps the "Authorization" header (any letter case, any status) as the device token of `instance`, the
// instance that answered; an answer of an instance the shared object (`vadar`, as the answer found it) no
// longer serves is not kept.
struct VadarDeviceTokenRequestProcessor {
  static void process(const httpkit::HTTPURLResponse& response, const std::string& instance, const Vadar* vadar);
};

// Installs the client the answer carries ("response", else "client", else the whole body decoded as a
// client) into the shared Vadar object, queued on the main queue and not awaited; installed only while the
// object still serves `instance`. A body that yields no complete client installs nothing.
struct VadarClientSyncRequestProcessor {
  // The client the body carries, by the order above; none when no candidate decodes.
  static std::optional<Client> decode(const ParsedBody& body);
  // `data`: the answer's bytes, which `body` was parsed from; `vadar`: the shared object as the answer found it.
  static void process(const ParsedBody& body, const httpkit::Bytes& data, const std::string& instance,
                      const std::shared_ptr<Vadar>& vadar);
  // The client the last answer passed on this thread held under "response" (with nothing under "client"),
  // as decoded for its install, when `data` is that answer's; none otherwise. Taken once.
  static std::optional<Client> takeResponseClient(const httpkit::Bytes& data);
};

// Sends signInCompleted, signUpCompleted or signedOut through the shared object's emitter, queued on the main
// queue after the client installation; sent only while the object still serves `instance`. A session the answer
// describes as not active has its cached tokens forgotten at once (SessionTokenFetcher::forget).
struct VadarAuthEventRequestProcessor {
  static void process(const ParsedBody& body, const std::string& instance);
};

// Status 400 and above: throws the first VadarAPIError of the body with the body's trace id, or
// httpkit::URLError(unknown) when the body holds no error; logs the network-error line first.
struct VadarErrorThrowingRequestProcessor {
  static void process(const httpkit::HTTPURLResponse& response, const ParsedBody& body);
};

// Below 400, an answer led by "authentication_invalid" asks for a background client refresh (one at a time,
// one more queued: ClientRefresher), unless it answers "GET .../client" itself.
struct VadarInvalidAuthRequestProcessor {
  static void process(const ParsedBody& body, const httpkit::DataTask& task);
};

// One retry, after a first attempt answered with "requires_assertion", once a device assertion completed;
// the assertion's failure is thrown instead. The device attestation endpoints themselves are never retried
// this way: their retry would wait for the very assertion that sent them.
struct VadarAssertionRequestRetrier {
  static bool shouldRetry(const httpkit::DataTask& task, const std::exception_ptr& error, int attempts);
};

}  // namespace vadar::core
