#include "vadar/attestation/sign_in_with_apple_helper.hpp"

#include <foundation/base64.hpp>
#include <foundation/crypto.hpp>
#include <httpkit/url_error.hpp>

#include "core/background_tasks.hpp"
#include "vadar/models/vadar_client_error.hpp"

namespace vadar {

SignInWithAppleHelper::SignInWithAppleHelper(std::shared_ptr<AppleIdAuthorizer> authorizer,
                                             std::chrono::milliseconds sheetWait)
    : authorizer_(std::move(authorizer)), sheetWait_(sheetWait) {}

AppleIdAuthorizer::AppleIdCredential SignInWithAppleHelper::getAppleIdCredential(
    const std::vector<AppleIdAuthorizer::Scope>& requestedScopes) {
  SignInWithAppleHelper helper;
  Authorization authorization = helper.start(requestedScopes);
  if (auto* credential = std::get_if<AppleIdAuthorizer::AppleIdCredential>(&authorization))
    return std::move(*credential);
  throw VadarClientError("Unable to get your Apple ID credential.");
}

SignInWithAppleHelper::Authorization SignInWithAppleHelper::start(
    const std::vector<AppleIdAuthorizer::Scope>& requestedScopes) {
  core::requireOffMainQueue("SignInWithAppleHelper::start");
  AppleIdAuthorizer::Request request{requestedScopes, makeNonce()};
  auto authorizer = authorizer_ ? authorizer_ : appleIdAuthorizerFactory().resolve();
  return continuation_.run([authorizer, request] { return authorizer->authorize(request); },
                           VadarClientError("The Apple ID request was replaced by a newer one."),
                           {sheetWait_,
                            std::make_exception_ptr(VadarClientError("The Apple ID request was not answered in time.")),
                            {core::StopTokenScope::current(), core::BackgroundTasks::shared().shutdownToken()},
                            std::make_exception_ptr(httpkit::URLError(httpkit::URLError::Code::cancelled,
                                                                      "stopped while the Apple ID sheet was open"))});
}

void SignInWithAppleHelper::authorizationControllerDidComplete(Authorization authorization) {
  continuation_.resume(std::move(authorization));
}

void SignInWithAppleHelper::authorizationControllerDidCompleteWithError(std::exception_ptr error) {
  continuation_.resume(std::move(error));
}

std::string SignInWithAppleHelper::makeNonce() {
  const foundation::Bytes random = foundation::secureRandomBytes(32);
  const auto digest = foundation::sha256(random);
  return foundation::base64UrlEncode(foundation::Bytes(digest.begin(), digest.end()), /*padded=*/false);
}

}  // namespace vadar
