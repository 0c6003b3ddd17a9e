#pragma once
// Route groups for sign-in, sign-up, session tokens and revocation (see fake_frontend_api/sessions.hpp).
#include <string>

#include "fake_frontend_api/fake_frontend_api.hpp"

namespace fake_frontend_api::detail {

void addSignInRoutes(FakeFrontendAPI& api);
void addTokenRoutes(FakeFrontendAPI& api);

// base64url without padding, as JWT parts and passkey fields are written.
std::string base64Url(const std::string& bytes);

}  // namespace fake_frontend_api::detail
