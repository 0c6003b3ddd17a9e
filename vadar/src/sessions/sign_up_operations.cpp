#include "vadar/models/sign_in.hpp"
#include "vadar/sessions/sign_in_service.hpp"
#include "vadar/models/sign_up.hpp"
#include "vadar/sessions/sign_up_service.hpp"
#include "vadar/models/transfer_flow_result.hpp"

namespace vadar {
namespace {

// The sign-up keeps its verifications among the members it does not name.
bool externalAccountIsTransferable(const SignUp& signUp) {
  const auto verifications = signUp.otherMembers.find("verifications");
  if (verifications == signUp.otherMembers.end()) return false;
  const JSON status = verifications->second["external_account"]["status"];
  return status.isString() && status.stringValue() == "transferable";
}

}  // namespace

TransferFlowResult SignUp::authenticateWithIdToken(IDTokenProvider provider, const std::string& idToken,
                                                   std::optional<std::string> firstName,
                                                   std::optional<std::string> lastName) {
  SignUp signUp = signUpServiceFactory().resolve().create(
      SignUp::CreateStrategy{SignUp::CreateStrategy::IdToken{provider, idToken, std::move(firstName),
                                                             std::move(lastName)}},
      std::nullopt, std::nullopt);
  if (!externalAccountIsTransferable(signUp)) return TransferFlowResult{std::move(signUp)};
  return TransferFlowResult{SignIn::create(SignIn::CreateStrategy{SignIn::CreateStrategy::Transfer{}})};
}

}  // namespace vadar
