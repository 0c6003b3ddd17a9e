#include "core/response_processors.hpp"

#include <boost/url/parse.hpp>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <utility>
#include <foundation/main_queue.hpp>
#include <httpkit/url_error.hpp>
#include <wiring/container.hpp>

#include "core/client_refresher.hpp"
#include "core/device_token_store.hpp"
#include "vadar/core/assertion_manager.hpp"
#include "vadar/infra/auth_event.hpp"
#include "vadar/models/client_response.hpp"
#include "vadar/core/container_keys.hpp"
#include "vadar/core/vadar.hpp"
#include "vadar/models/vadar_api_error.hpp"
#include "vadar/models/vadar_error_response.hpp"
#include "vadar/infra/vadar_logger.hpp"
#include "vadar/sessions/session_token_fetcher.hpp"

namespace vadar::core {
namespace {

template <class T>
std::optional<T> tryDecode(const nlohmann::json& json) {
  try {
    return fromJSON<T>(json);
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

// Cheap shape checks before the decoders: a value without the members a record requires cannot decode, and
// every answer passes several decoders, most of which would fail.
bool hasMembers(const nlohmann::json& value, std::initializer_list<const char*> members) {
  if (!value.is_object()) return false;
  for (const char* member : members)
    if (!value.contains(member)) return false;
  return true;
}

std::optional<VadarErrorResponse> errorResponse(const ParsedBody& body) {
  if (!body || !hasMembers(*body, {"errors"})) return std::nullopt;
  return tryDecode<VadarErrorResponse>(*body);
}

// Sign-ins and sign-ups share their minimal shape (an id and a status), so a complete sign-in would also read
// as a complete sign-up. The frontend API names each resource's kind in "object"; when it does, only that
// kind is considered.
bool mayBeResource(const nlohmann::json& body, std::string_view kind) {
  const auto response = body.find("response");
  if (response == body.end() || !response->is_object()) return true;
  const auto object = response->find("object");
  if (object == response->end() || !object->is_string()) return true;
  return object->get_ref<const std::string&>() == kind;
}

// Work for the shared object, run on the main queue with the sender's container binding.
void postToVadar(std::function<void(Vadar&)> work) {
  std::weak_ptr<Vadar> target = Vadar::shared();
  foundation::MainQueue::post(wiring::Container::propagating([target, work = std::move(work)] {
    if (auto vadar = target.lock()) work(*vadar);
  }));
}

}  // namespace

void VadarDeviceTokenRequestProcessor::process(const httpkit::HTTPURLResponse& response, const std::string& instance,
                                               const Vadar* vadar) {
  auto token = response.value("Authorization");
  if (!token || !vadar || vadar->frontendApiUrl() != instance) return;
  DeviceTokenStore::shared().receive(keychainFactory().resolve(), instance, *token);
}

namespace {

// The client of the last answer this thread's sender passed through the pipeline, when the answer held it
// under "response" and nothing under "client": what the client fetch would decode from that answer.
struct AnswerClient {
  const std::uint8_t* body = nullptr;
  std::size_t size = 0;
  std::shared_ptr<const Client> client;
  // The object did not keep the client, so nothing but this holds it: the fetch takes the value, not a copy.
  std::shared_ptr<Client> owned;
};
thread_local AnswerClient answerClient;

std::optional<Client> clientCandidate(const nlohmann::json& value) {
  if (!hasMembers(value, {"id", "sessions", "updated_at"})) return std::nullopt;
  return tryDecode<Client>(value);
}

}  // namespace

std::optional<Client> VadarClientSyncRequestProcessor::decode(const ParsedBody& body) {
  if (!body || !body->is_object()) return std::nullopt;
  for (const char* member : {"response", "client"}) {
    auto it = body->find(member);
    if (it == body->end()) continue;
    if (auto client = clientCandidate(*it)) return client;
  }
  return clientCandidate(*body);
}

void VadarClientSyncRequestProcessor::process(const ParsedBody& body, const httpkit::Bytes& data,
                                              const std::string& instance, const std::shared_ptr<Vadar>& vadar) {
  answerClient = {};
  auto decoded = decode(body);
  if (!decoded) return;  // an answer never clears the installed client
  auto client = std::make_shared<Client>(std::move(*decoded));
  // Decoded once: the install and the client fetch share it, so a client with many sessions is never held
  // twice (its decoding costs several times the answer's size).
  const auto response = body->find("response");
  const auto other = body->find("client");
  const bool fetched = response != body->end() && response->is_object() &&
                       response->value("id", nlohmann::json()) == client->id && (other == body->end() || other->is_null());
  const bool kept = vadar && vadar->offerClient(client, instance);
  if (!fetched) return;
  answerClient = {data.data(), data.size(), nullptr, nullptr};
  if (kept) answerClient.client = std::move(client);
  else answerClient.owned = std::move(client);
}

std::optional<Client> VadarClientSyncRequestProcessor::takeResponseClient(const httpkit::Bytes& data) {
  AnswerClient taken = std::exchange(answerClient, {});
  if (taken.body != data.data() || taken.size != data.size()) return std::nullopt;
  if (taken.owned) return std::move(*taken.owned);
  if (taken.client) return *taken.client;
  return std::nullopt;
}

void VadarAuthEventRequestProcessor::process(const ParsedBody& body, const std::string& instance) {
  if (!body || !body->is_object()) return;
  const auto response = body->find("response");
  if (response == body->end() || !hasMembers(*response, {"id", "status"})) return;
  std::vector<AuthEvent> events;
  if (mayBeResource(*body, "sign_in")) {
    if (auto signIn = tryDecode<ClientResponse<SignIn>>(*body); signIn && signIn->response.status == SignIn::Status::complete)
      events.push_back(AuthEvent::signInCompleted(std::move(signIn->response)));
  }
  if (mayBeResource(*body, "sign_up")) {
    if (auto signUp = tryDecode<ClientResponse<SignUp>>(*body); signUp && signUp->response.status == SignUp::Status::complete)
      events.push_back(AuthEvent::signUpCompleted(std::move(signUp->response)));
  }
  if (mayBeResource(*body, "session")) {
    if (auto session = tryDecode<ClientResponse<Session>>(*body)) {
      // The frontend API describes the session as not active: a token cached for it no longer holds, whether or
      // not the answer also carries the client that would say so (a revocation may answer with the session
      // alone).
      if (session->response.status != Session::SessionStatus::active)
        SessionTokenFetcher::shared().forget({session->response.id});
      if (session->response.status == Session::SessionStatus::removed)
        events.push_back(AuthEvent::signedOut(std::move(session->response)));
    }
  }
  if (events.empty()) return;
  postToVadar([events = std::move(events), instance](Vadar& vadar) {
    if (vadar.frontendApiUrl() != instance) return;  // the object serves another instance by now
    for (const auto& event : events) vadar.authEventEmitter().send(event);
  });
}

void VadarErrorThrowingRequestProcessor::process(const httpkit::HTTPURLResponse& response, const ParsedBody& body) {
  if (response.statusCode < 400) return;
  const std::string endpoint = response.url.empty() ? "unknown" : response.url;
  if (auto decoded = errorResponse(body); decoded && !decoded->errors.empty()) {
    VadarAPIError error = decoded->errors.front();
    error.vadarTraceId = decoded->vadarTraceId;
    VadarLogger::networkError(error, endpoint, response.statusCode);
    throw error;
  }
  const httpkit::URLError error(httpkit::URLError::Code::unknown);
  VadarLogger::networkError(error, endpoint, response.statusCode);
  throw error;
}

void VadarInvalidAuthRequestProcessor::process(const ParsedBody& body, const httpkit::DataTask& task) {
  auto decoded = errorResponse(body);
  if (!decoded || decoded->errors.empty() || decoded->errors.front().code != "authentication_invalid") return;

  const httpkit::URLRequest& request = task.originalRequest;
  if (auto url = boost::urls::parse_uri_reference(request.url); url && request.method.rawValue == "GET") {
    std::string last;  // the last path component; a trailing "/" does not make an empty one
    for (auto segment : url->segments())
      if (!segment.empty()) last = segment;
    if (last == "client") return;  // the client fetch itself
  }
  ClientRefresher::shared().request();
}

bool VadarAssertionRequestRetrier::shouldRetry(const httpkit::DataTask& task, const std::exception_ptr& error,
                                               int attempts) {
  if (attempts != 1 || !error) return false;
  try {
    std::rethrow_exception(error);
  } catch (const VadarAPIError& apiError) {
    if (apiError.code != "requires_assertion") return false;
  } catch (...) {
    return false;
  }
  if (auto url = boost::urls::parse_uri_reference(task.originalRequest.url)) {
    const std::string path(url->encoded_path());
    for (const char* own : {"/v1/client/device_attestation/challenges", "/v1/client/device_attestation/verify",
                            "/v1/client/verify"}) {
      const std::string suffix(own);
      if (path.size() >= suffix.size() && path.compare(path.size() - suffix.size(), suffix.size(), suffix) == 0)
        return false;
    }
  }
  assertionManagerFactory().resolve()->performAssertion();
  return true;
}

}  // namespace vadar::core
