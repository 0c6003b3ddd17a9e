#pragma once
// The fake's handlers, one registration function per resource.
#include <string>

#include "fake_frontend_api/fake_frontend_api.hpp"

namespace fake_frontend_api::detail {

void addClientRoutes(FakeFrontendAPI& api);
void addEnvironmentRoutes(FakeFrontendAPI& api);
void addMeRoutes(FakeFrontendAPI& api);

// {"response": response, "client": the client} as most answers are written.
nlohmann::json envelope(const nlohmann::json& response, const State& state);

std::string percentDecode(const std::string& text, bool plusIsSpace);
Pairs parsePairs(const std::string& text, bool plusIsSpace);

}  // namespace fake_frontend_api::detail
