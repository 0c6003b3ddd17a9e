// The instance environment, answered bare (no client envelope), as the frontend API does.
#include "routes.hpp"

namespace fake_frontend_api::detail {

void addEnvironmentRoutes(FakeFrontendAPI& api) {
  api.route("GET", "/v1/environment", [](const RecordedRequest&, const FakeFrontendAPI::Params&, State& state) {
    return Answer::json(200, state.environment);
  });
}

}  // namespace fake_frontend_api::detail
