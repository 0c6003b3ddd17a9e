#include "vadar/attestation/sign_in_with_apple_helper.hpp"

#include <foundation/base64.hpp>
#include <foundation/crypto.hpp>

#include "core/background_tasks.hpp"
#include "vadar/models/vadar_client_error.hpp"

namespace vadar {

SignInWithAppleHelper::SignInWithAppleHelper(std::shared_ptr<AppleIdAuthorizer> authorizer)
    : authorizer_(std::move(authorizer)) {}

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
                           VadarClientError("The Apple ID request was replaced by a newer one."));
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
