#pragma once
// AppInfo: the application's identity. The application sets its bundle identifier at start
// ("com.example.app"); until it does, the identifier is the empty text, the "no identifier" case.
#include <string>

namespace foundation {

class AppInfo {
 public:
  static std::string bundleIdentifier();
  static void setBundleIdentifier(std::string identifier);
};

}  // namespace foundation
