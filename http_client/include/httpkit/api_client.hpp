#pragma once
// An HTTP client for JSON APIs. `send` builds the request from a `Request`, lets the delegate adapt it,
// sends it, lets the delegate validate the answer, retries when the delegate says so, and decodes the body.
// `send` blocks the calling thread until the answer (or the failure), moving the bytes on that thread; many
// threads may send at once, and connections, name lookups and TLS sessions are kept for later sends.
//
// Example:
//   struct User {
//     std::string id;
//     friend void from_json(const nlohmann::json& json, User& user) { json.at("id").get_to(user.id); }
//   };
//   httpkit::APIClient client("https://api.example.com", [](httpkit::APIClient::Configuration& c) {
//     c.sessionConfiguration.additionalHTTPHeaders.set("x-mobile", "1");
//   });
//   httpkit::Request<User> request{"/v1/me"};
//   User me = client.send(request).value;
//
// Failures reach the caller as thrown exceptions, unchanged: `URLError` (transport, invalid URL, cancelled),
// whatever the delegate threw, `DecodingError`, `EncodingError`.
//
// Lifetime: destroying the client cancels the sends still running on other threads (each throws
// `URLError::Code::cancelled`) and waits for them to return, for at most `kSendsEndWithin`: only a delegate
// hook that keeps its thread longer can make it wait that long, and such a send then finishes on its own
// without the client (its hook must not use the client any more). The client may also be released from
// inside any of its calls into the application (delegate hooks, coders, session delegate): it does not wait
// for the send that made the call, which ends as cancelled once the call returns, without calling the
// application again (an answer already accepted by `validateResponse`, or being decoded, is still given).
// In a process forked from the one that made it, the client starts afresh: it neither waits for nor
// cancels the sends of its parent's threads, and its engine opens connections of its own.
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <type_traits>
#include <typeinfo>

#include <foundation/serial_queue.hpp>
#include <nlohmann/json.hpp>

#include "httpkit/api_client_delegate.hpp"
#include "httpkit/errors.hpp"
#include "httpkit/request.hpp"
#include "httpkit/response.hpp"
#include "httpkit/transfer_engine.hpp"
#include "httpkit/url_request.hpp"
#include "httpkit/url_session_delegate.hpp"

namespace httpkit {

namespace detail {
template <class T>
struct IsOptional : std::false_type {};
template <class T>
struct IsOptional<std::optional<T>> : std::true_type {};

std::string typeName(const std::type_info& type);
}  // namespace detail

class APIClient {
 public:
  struct SessionConfiguration {
    // Sent with every request unless the request (after the delegate) sets a field of the same name.
    HTTPHeaders additionalHTTPHeaders;
    // The longest wait without any byte moving, including the wait for the answer to begin.
    std::chrono::milliseconds timeoutIntervalForRequest{std::chrono::seconds(60)};
    // The longest a whole attempt may take.
    std::chrono::milliseconds timeoutIntervalForResource{std::chrono::hours(24 * 7)};
    std::chrono::milliseconds connectTimeout{std::chrono::seconds(60)};
    // Answers with a longer body fail with `URLError::Code::dataLengthExceedsMaximum`, as soon as their head
    // announces it.
    std::size_t maximumResponseSize = std::size_t{64} << 20;
  };

  struct Configuration {
    std::optional<std::string> baseURL;
    // None: the default delegate (statuses 200 to 299 accepted, no retries).
    std::shared_ptr<APIClientDelegate> delegate;
    SessionConfiguration sessionConfiguration;
    // Told what happens to each attempt's transfer (see `URLSessionDelegate`), on `sessionDelegateQueue`;
    // none: nobody is told.
    std::shared_ptr<URLSessionDelegate> sessionDelegate;
    // Where the session delegate is called, one event at a time in the order they happened. None: a serial
    // queue of the client's own.
    std::shared_ptr<foundation::SerialQueue> sessionDelegateQueue;
    // Turns body bytes into the JSON value the response type is then read from (through its from_json).
    // Throwing is how it reports a body it cannot read. Default: strict JSON parsing, which refuses arrays and
    // objects nested more than 512 deep (nlohmann::json copies and prints a value by recursing into it).
    std::function<nlohmann::json(const Bytes&)> decoder;
    // Turns a request's JSON body into bytes. Default: compact JSON text.
    std::function<Bytes(const nlohmann::json&)> encoder;

    explicit Configuration(std::optional<std::string> baseURL = std::nullopt);
  };

  // The longest the destructor waits for the sends it cancelled to return.
  static constexpr std::chrono::seconds kSendsEndWithin{5};

  // The configuration starts from the defaults above with `baseURL`; `configure` may change any of it.
  explicit APIClient(std::optional<std::string> baseURL,
                     const std::function<void(Configuration&)>& configure = nullptr);
  explicit APIClient(Configuration configuration);
  // Cancels the sends in flight and waits for them, except those of the calling thread (see the lifetime
  // rule above).
  ~APIClient();
  APIClient(const APIClient&) = delete;
  APIClient& operator=(const APIClient&) = delete;

  const Configuration& configuration() const;

  // Sends the request and decodes the answer according to `T` (see `Request`). Requesting a stop through
  // `stop` ends the transfer with `URLError::Code::cancelled`.
  template <class T>
  Response<T> send(const Request<T>& request, std::stop_token stop = {});

  // Sends without decoding: the answer's head and bytes after validation and retries.
  RawResponse data(const AnyRequest& request, std::stop_token stop = {});

  // The request the first attempt starts from: URL, method, the request's header fields and encoded body.
  URLRequest makeURLRequest(const AnyRequest& request);

  // The engine moving this client's bytes; other transfer kinds may share it.
  const std::shared_ptr<TransferEngine>& engine() const;

 private:
  // What the sends use, kept alive by each send for as long as it runs: a send that outlives the client's
  // destructor (see the lifetime rule) touches nothing of the client itself.
  struct Shared;

  static nlohmann::json decodeJSON(const Shared& shared, const Bytes& data, const std::type_info& type);
  template <class T>
  static T decode(const Shared& shared, const Bytes& data);

  std::shared_ptr<Shared> shared_;
};

template <class T>
T APIClient::decode(const Shared& shared, const Bytes& data) {
  nlohmann::json json = decodeJSON(shared, data, typeid(T));
  if constexpr (std::is_same_v<T, nlohmann::json>) return json;  // no conversion, so no copy
  try {
    return json.template get<T>();
  } catch (const std::exception& e) {
    throw DecodingError(detail::typeName(typeid(T)), e.what());
  } catch (...) {
    throw DecodingError(detail::typeName(typeid(T)), "reading the value threw something that is not an exception");
  }
}

template <class T>
Response<T> APIClient::send(const Request<T>& request, std::stop_token stop) {
  const std::shared_ptr<const Shared> shared = shared_;  // decoding below may outlive the client
  RawResponse raw = data(request, std::move(stop));
  if constexpr (std::is_void_v<T>) {
    return Response<void>{std::move(raw)};
  } else if constexpr (detail::IsOptional<T>::value) {
    if (raw.data.empty()) return Response<T>{std::move(raw), T{}};
    T value = decode<typename T::value_type>(*shared, raw.data);
    return Response<T>{std::move(raw), std::move(value)};
  } else {
    T value = decode<T>(*shared, raw.data);
    return Response<T>{std::move(raw), std::move(value)};
  }
}

}  // namespace httpkit
