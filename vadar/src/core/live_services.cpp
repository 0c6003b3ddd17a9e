#include "core/live_services.hpp"


#include "core/background_tasks.hpp"
#include "core/response_processors.hpp"
#include "core/keychain_failures.hpp"
#include "sessions/request_path.hpp"
#include "vadar/models/client_response.hpp"
#include "vadar/core/container_keys.hpp"
#include "vadar/models/id_token_provider.hpp"
#include "vadar/models/oauth_provider.hpp"
#include "vadar/core/vadar.hpp"
#include "vadar/core/vadar_service.hpp"
#include "vadar/models/vadar_client_error.hpp"

namespace vadar {
namespace core {

namespace {

httpkit::RawResponse send(const httpkit::AnyRequest& request, std::stop_token stop) {
  const auto client = apiClientFactory().resolve();
  // Without a base address the path alone would be sent, and fail as a URL error nobody could place.
  if (!client->configuration().baseURL)
    throw VadarClientError(
        "The client is not configured: call Vadar::configure() with a valid publishable key before making "
        "requests. Nothing was sent.");
  return client->data(request, std::move(stop));
}

// Runs `step` with a stop of its own that the caller's stop and the next shutdown() both trigger: the sends of the
// application's own threads have no stop of theirs, and quitting must never wait on a stalled server for them.
// The waits for an answer's client heed it too.
template <class Step>
httpkit::RawResponse untilShutdown(Step&& step) {
  std::stop_source stop;
  const auto relay = [&stop] { stop.request_stop(); };
  const std::stop_callback ownStop(StopTokenScope::current(), relay);
  const std::stop_callback shutdownStop(BackgroundTasks::shared().shutdownToken(), relay);
  const StopTokenScope scope(stop.get_token());
  return step(stop.get_token());
}

}  // namespace

httpkit::RawResponse sendThroughPipeline(const httpkit::AnyRequest& request) {
  return untilShutdown([&](std::stop_token stop) { return send(request, std::move(stop)); });
}

httpkit::RawResponse sendThroughPipelinePastShutdown(const httpkit::AnyRequest& request) {
  return send(request, StopTokenScope::current());
}

httpkit::RawResponse sendChangingSignedInState(const httpkit::AnyRequest& request) {
  // No signed-in state comes in after a shutdown either.
  return untilShutdown([&](std::stop_token stop) {
    // A refused answer carries a client as well (a failed verification, the identifier taken): the caller that
    // catches the error reads the state it left, so the error waits for it like an answer does.
    try {
      auto answer = send(request, std::move(stop));
      settleSignedInState();
      return answer;
    } catch (...) {
      // The step's own error is what the caller gets: a wait that cannot be made here (on the main queue, say)
      // does not stand in for it.
      try {
        settleSignedInState();
      } catch (...) {
      }
      throw;
    }
  });
}

ClientService liveClientService() {
  return ClientService{[]() -> std::optional<Client> {
    requireOffMainQueue("Client::get()");
    const auto answer = sendThroughPipeline(httpkit::AnyRequest("/v1/client", httpkit::HTTPMethod::get));
    // The client reaches the Vadar object through the response pipeline; only the value is given here,
    // decoded once for both.
    if (auto decoded = VadarClientSyncRequestProcessor::takeResponseClient(answer.data)) return decoded;
    return decodeBody<ClientResponse<std::optional<Client>>>(answer.data).response;
  }};
}

EnvironmentService liveEnvironmentService() {
  return EnvironmentService{[]() -> VadarEnvironment {
    requireOffMainQueue("VadarEnvironment::get()");
    const std::shared_ptr<Vadar> vadar = Vadar::shared();
    // Asked of the instance served now; one configured before the answer comes installs none of it.
    const std::string instance = vadar->frontendApiUrl();
    const auto answer = sendThroughPipeline(httpkit::AnyRequest("/v1/environment", httpkit::HTTPMethod::get));
    auto environment = decodeBody<VadarEnvironment>(answer.data);
    vadar->installEnvironment(environment, instance);
    return environment;
  }};
}

}  // namespace core

std::optional<Client> Client::get() { return clientServiceFactory().resolve().get(); }

VadarEnvironment VadarEnvironment::get() { return environmentServiceFactory().resolve().get(); }

namespace {

// A session as the cache keeps it: the last token of one that is neither active nor pending is a bearer token of
// a session signed out, which the keychain would keep past the process.
std::string encodeForCache(const Session& session) {
  const bool live =
      session.status == Session::SessionStatus::active || session.status == Session::SessionStatus::pending;
  if (live || !session.lastActiveToken) return encodeJSON(session);
  Session withoutToken = session;
  withoutToken.lastActiveToken.reset();
  return encodeJSON(withoutToken);
}

// The text `encodeJSON(client)` gives (less the tokens of sessions signed out), built a session at a time: the
// JSON tree of a whole client with many sessions costs several times the text itself.
std::string encodeForCache(const Client& client) {
  Client shell;
  shell.id = client.id;
  shell.signIn = client.signIn;
  shell.signUp = client.signUp;
  shell.lastActiveSessionId = client.lastActiveSessionId;
  shell.updatedAt = client.updatedAt;
  std::string text = encodeJSON(shell);
  // Members are written in name order, and none before "sessions" is an object, so the first occurrence is the
  // client's own (a quote inside a text is escaped).
  constexpr std::string_view empty = R"("sessions":[])";
  const std::size_t at = text.find(empty) + empty.size() - 1;
  std::vector<std::string> sessions;
  sessions.reserve(client.sessions.size());
  std::size_t size = text.size();
  for (const auto& session : client.sessions) size += sessions.emplace_back(encodeForCache(session)).size() + 1;
  std::string whole;
  whole.reserve(size);
  whole.append(text, 0, at);
  for (const auto& session : sessions) {
    if (&session != &sessions.front()) whole += ',';
    whole += session;
  }
  whole.append(text, at);
  return whole;
}

}  // namespace

VadarService VadarService::live() {
  VadarService service;
  service.signOut = [](const std::optional<std::string>& sessionId) {
    core::requireOffMainQueue("VadarService::signOut");
    if (sessionId) {
      core::sendChangingSignedInState(httpkit::AnyRequest(
          "/v1/client/sessions/" + sessions::idPathSegment(*sessionId) + "/remove", httpkit::HTTPMethod::post));
    } else {
      core::sendChangingSignedInState(httpkit::AnyRequest("/v1/client/sessions", httpkit::HTTPMethod::delete_));
    }
  };
  service.setActive = [](const std::string& sessionId, const std::optional<std::string>& organizationId) {
    core::requireOffMainQueue("VadarService::setActive");
    nlohmann::json body = {{"active_organization_id", organizationId.value_or("")}};
    core::sendChangingSignedInState(httpkit::AnyRequest("/v1/client/sessions/" + sessions::idPathSegment(sessionId) + "/touch",
                                                  httpkit::HTTPMethod::post, {}, std::move(body)));
  };
  service.saveClientToKeychain = [](const Client& client) {
    // Stored as text: the shared coders write valid UTF-8, and the text needs no copy as bytes.
    keychainFactory().resolve().setString(encodeForCache(client), cachedClientKey);
  };
  service.loadClientFromKeychain = []() -> std::optional<Client> {
    foundation::Bytes bytes;
    try {
      bytes = keychainFactory().resolve().data(cachedClientKey);
    } catch (...) {
      core::KeychainFailures::note(std::current_exception());
      return std::nullopt;  // missing or unreadable: simply no cache
    }
    return decodeJSON<Client>(foundation::toString(bytes));
  };
  service.saveEnvironmentToKeychain = [](const VadarEnvironment& environment) {
    keychainFactory().resolve().setData(foundation::toBytes(encodeJSON(environment)), cachedEnvironmentKey);
  };
  service.loadEnvironmentFromKeychain = []() -> std::optional<VadarEnvironment> {
    foundation::Bytes bytes;
    try {
      bytes = keychainFactory().resolve().data(cachedEnvironmentKey);
    } catch (...) {
      core::KeychainFailures::note(std::current_exception());
      return std::nullopt;
    }
    return decodeJSON<VadarEnvironment>(foundation::toString(bytes));
  };
  return service;
}

// ---- the forms that read the shared Vadar object ----

std::string OAuthProvider::name() const { return name(Vadar::shared()->environment()); }

std::optional<std::string> OAuthProvider::iconImageUrl(bool darkMode) const {
  return iconImageUrl(darkMode, Vadar::shared()->environment());
}

namespace {

// "POST /v1/me/external_accounts" for the current session, answered in the client envelope.
JSON createExternalAccountRequest(nlohmann::json body) {
  core::requireOffMainQueue("User::createExternalAccount");
  const auto session = Vadar::shared()->session();
  httpkit::AnyRequest request("/v1/me/external_accounts", httpkit::HTTPMethod::post,
                              {{"_vadar_session_id", session ? std::optional(session->id) : std::nullopt}},
                              std::move(body));
  const auto answer = core::sendChangingSignedInState(request);
  return core::decodeBody<ClientResponse<JSON>>(answer.data).response;
}

}  // namespace

JSON User::createExternalAccount(const OAuthProvider& provider, std::optional<std::string> redirectUrl,
                                 std::optional<std::vector<std::string>> additionalScopes) const {
  nlohmann::json body = {
      {"strategy", provider.strategy()},
      {"redirect_url", redirectUrl ? *redirectUrl : Vadar::shared()->settings().redirectConfig.redirectUrl},
  };
  if (additionalScopes) body["additional_scope"] = *additionalScopes;
  return createExternalAccountRequest(std::move(body));
}

JSON User::createExternalAccount(IDTokenProvider provider, const std::string& idToken) const {
  return createExternalAccountRequest({{"strategy", std::string(idTokenStrategy(provider))}, {"token", idToken}});
}

}  // namespace vadar
