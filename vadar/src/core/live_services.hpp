#pragma once
// The live service records the container gives by default, and the helpers their requests share.
#include <string>

#include <httpkit/request.hpp>
#include <httpkit/response.hpp>

#include "core/api_client_setup.hpp"
#include "vadar/models/client.hpp"
#include "vadar/infra/coding.hpp"
#include "vadar/models/environment.hpp"

namespace vadar::core {

ClientService liveClientService();
EnvironmentService liveEnvironmentService();

// Sends through the client registered under "apiClient", and gives the answer after the response processors
// accepted it. The send ends as cancelled (URLError) at the caller's stop (StopTokenScope) or at the next
// shutdown(), whichever comes first.
httpkit::RawResponse sendThroughPipeline(const httpkit::AnyRequest& request);

// The same, ended by the caller's stop only: for a request whose answer others wait for past a shutdown (a
// session-token fetch the application waits on).
httpkit::RawResponse sendThroughPipelinePastShutdown(const httpkit::AnyRequest& request);

// The same for a request that changes the signed-in state (a sign-in or sign-up step, a sign-out, a session
// made active or revoked): it returns once the answer's client is installed and kept (settleSignedInState).
httpkit::RawResponse sendChangingSignedInState(const httpkit::AnyRequest& request);

// Decodes an accepted answer's body with the shared coders; DecodingError otherwise.
template <class T>
T decodeBody(const httpkit::Bytes& body) {
  return fromJSON<T>(parseBody(body));
}

}  // namespace vadar::core
