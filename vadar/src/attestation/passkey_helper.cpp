#include "vadar/attestation/passkey_helper.hpp"

#include <boost/url/parse.hpp>
#include <foundation/base64.hpp>
#include <foundation/log.hpp>
#include <httpkit/url_error.hpp>

#include "core/background_tasks.hpp"
#include "vadar/core/vadar.hpp"
#include "vadar/models/vadar_client_error.hpp"

namespace vadar {
namespace {

// The log line of a completed ceremony; an authorization of no known kind is an error.
void logAuthorization(const PasskeyHelper::Authorization& authorization) {
  if (authorization.valueless_by_exception()) throw VadarClientError("Received unknown authorization type.");
  const std::string line = std::visit(
      [](const auto& credential) -> std::string {
        using C = std::decay_t<decltype(credential)>;
        if constexpr (std::is_same_v<C, PasskeyAuthenticator::AssertionCredential>)
          return "A passkey was used to sign in: credential " + foundation::base64UrlEncode(credential.credentialId);
        else if constexpr (std::is_same_v<C, PasskeyAuthenticator::RegistrationCredential>)
          return "A new passkey was registered: credential " + foundation::base64UrlEncode(credential.credentialId);
        else
          return "A password was provided: user " + credential.user;
      },
      authorization);
  foundation::log(foundation::LogLevel::info, line);
}

}  // namespace

PasskeyHelper::PasskeyHelper(std::shared_ptr<PasskeyAuthenticator> authenticator,
                             std::chrono::milliseconds sheetWait)
    : authenticator_(std::move(authenticator)), sheetWait_(sheetWait) {}

template <class Request>
PasskeyHelper::Authorization PasskeyHelper::ceremony(
    const char* operation, Request request,
    Authorization (PasskeyAuthenticator::*perform)(const Request&)) {
  core::requireOffMainQueue(operation);
  request.relyingPartyIdentifier = relyingParty();
  auto authenticator = authenticator_ ? authenticator_ : passkeyAuthenticatorFactory().resolve();
  return continuation_.run(
      [authenticator, request, perform] {
        Authorization authorization = ((*authenticator).*perform)(request);
        logAuthorization(authorization);
        return authorization;
      },
      VadarClientError("The passkey request was replaced by a newer one."),
      {sheetWait_, std::make_exception_ptr(VadarClientError("The passkey request was not answered in time.")),
       {core::StopTokenScope::current(), core::BackgroundTasks::shared().shutdownToken()},
       std::make_exception_ptr(
           httpkit::URLError(httpkit::URLError::Code::cancelled, "stopped while the passkey sheet was open"))});
}

PasskeyHelper::Authorization PasskeyHelper::signIn(const foundation::Bytes& challenge,
                                                   bool preferImmediatelyAvailableCredentials, bool autofill) {
  PasskeyAuthenticator::AssertionRequest request;
  request.challenge = challenge;
  request.autofill = autofill;
  request.preferImmediatelyAvailableCredentials = preferImmediatelyAvailableCredentials;
  return ceremony("PasskeyHelper::signIn", std::move(request), &PasskeyAuthenticator::signIn);
}

PasskeyHelper::Authorization PasskeyHelper::createPasskey(const foundation::Bytes& challenge, const std::string& name,
                                                          const foundation::Bytes& userId) {
  PasskeyAuthenticator::RegistrationRequest request;
  request.challenge = challenge;
  request.name = name;
  request.userId = userId;
  return ceremony("PasskeyHelper::createPasskey", std::move(request), &PasskeyAuthenticator::createPasskey);
}

void PasskeyHelper::authorizationControllerDidComplete(Authorization authorization) {
  try {
    logAuthorization(authorization);
  } catch (...) {
    continuation_.resume(std::current_exception());
    return;
  }
  continuation_.resume(std::move(authorization));
}

void PasskeyHelper::authorizationControllerDidCompleteWithError(std::exception_ptr error) {
  continuation_.resume(std::move(error));
}

std::string PasskeyHelper::relyingParty(const std::string& frontendApiUrl) {
  const auto parsed = boost::urls::parse_uri(frontendApiUrl);
  if (!parsed || !parsed->has_authority()) return "";
  std::string host = parsed->host();
  if (host.rfind("www.", 0) == 0) host.erase(0, 4);
  return host;
}

std::string PasskeyHelper::relyingParty() { return relyingParty(Vadar::shared()->frontendApiUrl()); }

}  // namespace vadar
