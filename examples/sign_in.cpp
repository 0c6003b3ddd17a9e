#include <chrono>
#include <iostream>

#include "demo_sections.hpp"
#include "fake_frontend_api/fake_frontend_api.hpp"
#include "fake_frontend_api/sessions.hpp"
#include "foundation/app_info.hpp"
#include "foundation/main_queue.hpp"
#include "vadar/sessions/get_token_options.hpp"
#include "vadar/infra/jwt.hpp"
#include "vadar/models/sign_in.hpp"
#include "vadar/core/vadar.hpp"

namespace demo {

// Signs in with e-mail and password against the embedded fake frontend API, reached through a proxy path,
// gets a session token twice (the second from the cache) and signs out.
void signIn() {
  foundation::AppInfo::setBundleIdentifier("com.tolvaran.attendant");
  fake_frontend_api::Options options;
  options.mountPrefixes = {"/__proxy"};
  options.signedIn = false;
  fake_frontend_api::FakeFrontendAPI api(options);
  api.withState([](fake_frontend_api::State& state) { state.addUser("Ada", "Lovelace", "ada@example.test"); });
  api.start();

  auto vadar = vadar::Vadar::shared();
  vadar->configure(fake_frontend_api::FakeFrontendAPI::publishableKeyFor("frontend.example.test"),
                   vadar::Vadar::Settings(false, true, vadar::KeychainConfig("com.tolvaran.attendant"),
                                          api.baseUrl() + "/__proxy"));
  std::cout << "frontend API " << vadar->frontendApiUrl() << ", through the proxy " << api.baseUrl()
            << "/__proxy\n";
  vadar->load();  // blocking: main() is not the main queue
  std::cout << "loaded client " << vadar->client()->id << "; application \""
            << (vadar->environment().displayConfig ? vadar->environment().displayConfig->applicationName : "?")
            << "\"\n";

  const vadar::SignIn signIn = vadar::SignIn::create(vadar::SignIn::CreateStrategy{
      vadar::SignIn::CreateStrategy::Identifier{"ada@example.test", fake_frontend_api::password, std::nullopt}});
  foundation::MainQueue::drain();  // the answer's client is installed on the main queue
  const auto session = vadar->session();
  const auto user = vadar->user();
  std::cout << "sign-in " << signIn.id << ": signed in as " << user->firstName.value_or("?") << " "
            << user->lastName.value_or("") << " (" << user->emailAddresses.front().emailAddress << "), session "
            << session->id << "\n";

  const vadar::Session::GetTokenOptions tokenOptions(std::nullopt, 10.0, false);
  const auto first = session->getToken(tokenOptions);
  const auto expiry = vadar::decodeJWT(first->jwt).expiresAt();
  std::cout << "session token expires in "
            << std::chrono::duration_cast<std::chrono::seconds>(*expiry - std::chrono::system_clock::now()).count()
            << " s\n";
  const auto second = session->getToken(tokenOptions);
  std::cout << "second token " << (second == first ? "came from the cache" : "was fetched anew") << " ("
            << api.requestCount("POST", "/v1/client/sessions/" + session->id + "/tokens")
            << " token request in all)\n";

  vadar->signOut();
  foundation::MainQueue::drain();
  std::cout << "signed out: " << (vadar->session() ? "a session is still current" : "no current session") << "\n";
  vadar->shutdown();
}

}  // namespace demo
