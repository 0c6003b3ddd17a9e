// The libraries' main job, end to end on loopback: an HTTP request through the client, a secret in the
// desktop's Secret Service, and phone numbers parsed, classified and formatted as typed.
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
