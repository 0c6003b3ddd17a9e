#pragma once
// What the fake frontend API does for sign-in, sign-up, session tokens and revocation, and the knobs tests
// turn.
//
// Sign-in ("POST /v1/client/sign_ins" and the steps under "/v1/client/sign_ins/:id"):
// - an e-mail address of a known user with `password` completes the sign-in (a new active session becomes the
//   client's last active one; "created_session_id" names it); a wrong password answers 422
//   "form_password_incorrect", an unknown address 422 "form_identifier_not_found"; both error answers carry
//   the client, as the frontend API's do;
// - a user whose "two_factor_enabled" is true needs a second factor: "prepare_second_factor" with
//   "phone_code" starts a verification that expires ten minutes later on the fake's clock
//   (`State::clock`), "attempt_second_factor" with `secondFactorCode` completes it, another code answers 422
//   "form_code_incorrect", an expired one 422 "verification_expired";
// - an identifier alone, or with an inner strategy, needs a first factor ("password" or "email_code";
//   `secondFactorCode` is also the e-mail code);
// - OAuth ("oauth_*") and "enterprise_sso" need the browser: the first-factor verification carries an
//   external address on "https://oauth.example.test/authorize". Reloading the sign-in with a
//   "rotating_token_nonce" completes it for the fake's first user (the provider knew the account); reloading
//   without one answers the verification as "transferable" (the account is new to this instance);
// - an Apple ID token ("oauth_token_apple") always belongs to an account new to this instance: its first-factor
//   verification is "transferable";
// - "passkey" answers a verification whose "nonce" is {"challenge": <base64url>}; "attempt_first_factor" with
//   "passkey" completes it for the user whose id is the credential's "response.userHandle" (base64url);
// - any other strategy (ticket, transfer, none) answers a sign-in that needs an identifier.
// Unknown sign-in ids answer 404 "resource_not_found".
//
// Sign-up "POST /v1/client/sign_ups" with "transfer": makes a user and a session from the client's sign-in
// whose verification is transferable (422 "transfer_unavailable" without one) and answers a complete sign-up.
//
// Tokens "POST /v1/client/sessions/:id/tokens" and ".../tokens/:template": a JWT-shaped token (base64url
// header and claims, a fake signature) with "sid", "sub", "iat", a unique "jti", "tmpl" for a template, and
// "exp" from `setTokenExpiry` (default: the system clock's now plus 60 s). Only active sessions get tokens
// (401 "signed_out" otherwise).
//
// Revocation "POST /v1/me/sessions/:id/revoke": the session leaves the client and is answered with status
// "revoked".
#include <cstdint>
#include <functional>

#include "fake_frontend_api/fake_frontend_api.hpp"

namespace fake_frontend_api {

inline constexpr const char* password = "correct-horse-battery-staple";
inline constexpr const char* secondFactorCode = "424242";

// Every token handed out from now on has the "exp" `expiry()` gives (seconds since 1970).
void setTokenExpiry(FakeFrontendAPI& api, std::function<std::int64_t()> expiry);

}  // namespace fake_frontend_api
