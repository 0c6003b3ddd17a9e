#pragma once
// Each part of the demo is one function; main runs them in order and reports any failure.
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace demo {

using Section = std::pair<std::string, std::function<void()>>;

void signIn();
void httpAndKeychain();
void avatar();
void phoneNumbers();

inline std::vector<Section> sections() {
  return {
      {"Sign in", signIn},
      {"HTTP client and keychain", httpAndKeychain},
      {"Avatar through the image cache", avatar},
      {"Phone numbers", phoneNumbers},
  };
}

}  // namespace demo
