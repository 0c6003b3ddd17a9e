#pragma once
// AuthEvent: what the library tells listeners about authentication: a completed sign-in or sign-up, or a
// sign-out with the session that ended.
#include <variant>

#include "vadar/models/session.hpp"
#include "vadar/models/sign_in.hpp"
#include "vadar/models/sign_up.hpp"

namespace vadar {

struct AuthEvent {
  struct SignInCompleted { SignIn signIn; };
  struct SignUpCompleted { SignUp signUp; };
  struct SignedOut { Session session; };

  static AuthEvent signInCompleted(SignIn signIn) { return {SignInCompleted{std::move(signIn)}}; }
  static AuthEvent signUpCompleted(SignUp signUp) { return {SignUpCompleted{std::move(signUp)}}; }
  static AuthEvent signedOut(Session session) { return {SignedOut{std::move(session)}}; }

  std::variant<SignInCompleted, SignUpCompleted, SignedOut> value;
};

}  // namespace vadar
