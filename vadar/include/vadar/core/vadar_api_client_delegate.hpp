#pragma once
// VadarAPIClientDelegate: where the library's request conventions live. The HTTP client registered under
// "apiClient" calls it for every attempt of every request (on the thread that sends):
//
//   before sending   the proxy path, "Authorization" (the device token), "x-vadar-client-id" (debug mode),
//                    "x-native-device-id", the query item "_is_native" (last), the JSON body made a form body;
//   on each answer   the device token kept, the answer's client installed (queued on the main queue), auth
//                    events sent (queued), an error thrown for a status of 400 or more, a client refresh
//                    asked for after "authentication_invalid";
//   after a failure  one retry, only after a "requires_assertion" answer to a first attempt, once the
//                    AssertionManager has completed a device assertion.
//
// A delegate serves one instance (the frontend API address its client was registered for): its requests
// carry that instance's device token and client id only, and what its answers bring is kept only while the
// shared object still serves that instance. Nothing here waits on the main queue (the object's state is read
// from its snapshot), nor on the keychain beyond the device token's first read (a send stopped meanwhile ends
// as cancelled).
//
// Example:
//   auto delegate = std::make_shared<vadar::VadarAPIClientDelegate>("https://frontend.example.com");
#include <exception>
#include <optional>
#include <string>

#include <httpkit/api_client_delegate.hpp>

namespace vadar {

class VadarAPIClientDelegate : public httpkit::APIClientDelegate {
 public:
  // Without an instance, the one the shared object serves at each use.
  explicit VadarAPIClientDelegate(std::optional<std::string> instance = std::nullopt)
      : instance_(std::move(instance)) {}

  void willSendRequest(httpkit::APIClient& client, httpkit::URLRequest& request) override;
  void validateResponse(httpkit::APIClient& client, const httpkit::HTTPURLResponse& response,
                        const httpkit::Bytes& data, const httpkit::DataTask& task) override;
  bool shouldRetry(httpkit::APIClient& client, const httpkit::DataTask& task, const std::exception_ptr& error,
                   int attempts) override;

 private:
  std::optional<std::string> instance_;
};

}  // namespace vadar
