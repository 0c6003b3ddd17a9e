#include <iostream>
#include <memory>

#include <nlohmann/json.hpp>

#include "demo_sections.hpp"
#include "httpkit/api_client.hpp"
#include "keychain/keychain_store.hpp"
#include "testing/loopback_server.hpp"

namespace demo {
namespace {

// Adds one header to every attempt, the way an application's own delegate would sign its requests.
class GreetingDelegate : public httpkit::APIClientDelegate {
 public:
  void willSendRequest(httpkit::APIClient&, httpkit::URLRequest& request) override {
    request.headers.set("x-demo-greeting", "hello");
  }
};

struct Echo {
  std::string greeting;
};
void from_json(const nlohmann::json& json, Echo& echo) { json.at("greeting").get_to(echo.greeting); }

}  // namespace

void httpAndKeychain() {
  testing_support::LoopbackServer server;
  server.on("GET", "/echo", [](const testing_support::RecordedRequest& request) {
    return testing_support::Reply::json(
        200, nlohmann::json{{"greeting", request.header("x-demo-greeting").value_or("")}}.dump());
  });
  server.start();
  {
    httpkit::APIClient client(server.baseURL(), [](httpkit::APIClient::Configuration& configuration) {
      configuration.delegate = std::make_shared<GreetingDelegate>();
    });
    const auto response = client.send(httpkit::Request<Echo>{"/echo"});
    std::cout << "GET " << server.baseURL() << "/echo -> " << response.response.statusCode
              << ", the server saw x-demo-greeting: " << response.value.greeting << "\n";
  }

  keychain::KeychainStore store("com.tolvaran.attendant.demo");
  store.setString("s3cret-device-token", "demoToken");
  std::cout << "keychain: stored and read back \"" << store.string("demoToken") << "\"\n";
  store.deleteItem("demoToken");
  std::cout << "keychain: deleted; hasItem = " << std::boolalpha << store.hasItem("demoToken") << "\n";
}

}  // namespace demo
