#pragma once
// What the client's tests share: a client bound to a loopback server whose every send ends within a bound,
// so that a fault shows as a failure instead of a stalled test.
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <httpkit/api_client.hpp>
#include <testing/loopback_server.hpp>

namespace httpkit_tests {

inline constexpr std::chrono::seconds kDeadline{10};

inline std::unique_ptr<httpkit::APIClient> makeClient(
    std::optional<std::string> baseURL, std::shared_ptr<httpkit::APIClientDelegate> delegate = nullptr,
    const std::function<void(httpkit::APIClient::Configuration&)>& configure = nullptr) {
  return std::make_unique<httpkit::APIClient>(std::move(baseURL), [&](httpkit::APIClient::Configuration& c) {
    c.delegate = delegate;
    c.sessionConfiguration.timeoutIntervalForResource = std::chrono::seconds(20);
    if (configure) configure(c);
  });
}

inline std::string text(const httpkit::Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

// The error of type E the call throws; nullopt when it throws none.
template <typename E, typename Call>
std::optional<E> thrown(Call&& call) {
  try {
    call();
  } catch (const E& error) {
    return error;
  }
  return std::nullopt;
}

}  // namespace httpkit_tests
