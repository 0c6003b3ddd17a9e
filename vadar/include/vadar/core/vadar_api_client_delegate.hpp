#pragma once
// VadarAPIClientDelegate: where the library's request conventions live. The HTTP client registered under
// "apiClient" calls it for every attempt of every request (on the thread that sends):
//
//   before sending   the proxy path, "Authorization" (the device token), "x-vadar-client-id" (debug mode),
//                    "x-native-device-id", the query item "_is_native" (last), the JSON body made a form body;
//   on each answer   the device token saved, the answer's client installed (queued on the main queue), auth
//                    events sent (queued), an error thrown for a status of 400 or more, a client refresh
//                    started after "authentication_invalid";
//   after a failure  one retry, only after a "requires_assertion" answer to a first attempt, once the
//                    AssertionManager has completed a device assertion.
//
// Nothing here waits on the main queue: the object's state is read from its snapshot.
#include <exception>

#include <httpkit/api_client_delegate.hpp>

namespace vadar {

class VadarAPIClientDelegate : public httpkit::APIClientDelegate {
 public:
  void willSendRequest(httpkit::APIClient& client, httpkit::URLRequest& request) override;
  void validateResponse(httpkit::APIClient& client, const httpkit::HTTPURLResponse& response,
                        const httpkit::Bytes& data, const httpkit::DataTask& task) override;
  bool shouldRetry(httpkit::APIClient& client, const httpkit::DataTask& task, const std::exception_ptr& error,
                   int attempts) override;
};

}  // namespace vadar
