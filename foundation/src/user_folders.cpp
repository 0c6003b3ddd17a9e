#include "foundation/user_folders.hpp"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <vector>

namespace foundation {
namespace {

namespace fs = std::filesystem;

std::optional<fs::path> home() {
  if (const char* home = std::getenv("HOME"); home && *home) return fs::path(home);
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found && found->pw_dir &&
      *found->pw_dir) {
    return fs::path(found->pw_dir);
  }
  return std::nullopt;
}

fs::path folder(const char* variable, const char* inHome) {
  if (const char* given = std::getenv(variable); given && fs::path(given).is_absolute()) return given;
  if (auto base = home()) return *base / inHome;
  return fs::temp_directory_path();
}

}  // namespace

fs::path userConfigFolder() { return folder("XDG_CONFIG_HOME", ".config"); }

fs::path userCacheFolder() { return folder("XDG_CACHE_HOME", ".cache"); }

}  // namespace foundation
