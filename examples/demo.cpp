// The libraries' main job, end to end on loopback: sign in against the embedded fake frontend API and get
// session tokens, an HTTP request through the client and a secret in the desktop's Secret Service, an avatar
// through the image manager and its memory and disk caches, and phone numbers parsed, classified and formatted as typed.
#include <iostream>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "demo_sections.hpp"

int main() {
  int failures = 0;
  for (const auto& [title, section] : demo::sections()) {
    std::cout << "\n== " << title << "\n";
    try {
      section();
    } catch (const std::exception& error) {
      std::cout << "failed: " << error.what() << "\n";
      ++failures;
    }
  }
  return failures == 0 ? 0 : 1;
}
