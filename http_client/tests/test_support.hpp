#pragma once
// What the client's tests share: a client bound to a loopback server whose every send ends within a bound,
// so that a fault shows as a failure instead of a stalled test.
#include <chrono>
#include <functional>
#include <memory>

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

}  // namespace httpkit_tests
