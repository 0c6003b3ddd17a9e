// Configures the authentication client; nothing is sent until load().
#include <cstdio>
#include <string>

#include <foundation/foundation.hpp>
#include <vadar/vadar.hpp>

int main() {
  foundation::AppInfo::setBundleIdentifier("com.example.consumer");  // names the keychain items
  const std::string host = "accounts.example.com$";
  const std::string key = "pk_test_" + foundation::base64Encode(foundation::Bytes(host.begin(), host.end()));

  auto client = vadar::Vadar::shared();
  client->configure(key, vadar::Vadar::Settings());
  std::printf("frontend API: %s\n", client->frontendApiUrl().c_str());
  client->shutdown();
}
