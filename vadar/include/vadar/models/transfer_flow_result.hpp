#pragma once
// TransferFlowResult: how an external sign-in or sign-up flow ended: with a sign-in, or with a sign-up made by
// transferring the sign-in.
#include <variant>

#include "vadar/models/sign_in.hpp"
#include "vadar/models/sign_up.hpp"

namespace vadar {

struct TransferFlowResult {
  std::variant<SignIn, SignUp> value;

  const SignIn* signIn() const { return std::get_if<SignIn>(&value); }
  const SignUp* signUp() const { return std::get_if<SignUp>(&value); }

  friend bool operator==(const TransferFlowResult&, const TransferFlowResult&) = default;
};

}  // namespace vadar
