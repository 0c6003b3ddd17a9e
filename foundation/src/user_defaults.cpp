#include "foundation/user_defaults.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <system_error>

#include "foundation/app_info.hpp"

namespace foundation {
namespace {

std::filesystem::path configHome() {
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg) return xdg;
  if (const char* home = std::getenv("HOME"); home && *home) return std::filesystem::path(home) / ".config";
  return std::filesystem::temp_directory_path();
}

void writeAll(int fd, const std::string& text) {
  const char* p = text.data();
  std::size_t left = text.size();
  while (left > 0) {
    const ssize_t n = ::write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw std::system_error(errno, std::generic_category(), "UserDefaults: write");
    }
    p += n;
    left -= static_cast<std::size_t>(n);
  }
}

}  // namespace

UserDefaults::UserDefaults(std::filesystem::path file) : file_(std::move(file)) { load(); }

UserDefaults& UserDefaults::standard() {
  static auto* defaults = [] {
    std::string folder = AppInfo::bundleIdentifier();
    if (folder.empty()) folder = "tolvaran";
    return new UserDefaults(configHome() / folder / "defaults.json");
  }();
  return *defaults;
}

void UserDefaults::load() {
  std::ifstream in(file_);
  if (!in) return;
  std::stringstream buffer;
  buffer << in.rdbuf();
  // A file that is not a JSON object (edited by hand, or from another program) is ignored, not fatal.
  auto parsed = nlohmann::json::parse(buffer.str(), nullptr, /*allow_exceptions=*/false);
  if (parsed.is_object()) values_ = std::move(parsed);
}

std::optional<nlohmann::json> UserDefaults::value(const std::string& key) const {
  std::lock_guard lock(mutex_);
  auto it = values_.find(key);
  if (it == values_.end()) return std::nullopt;
  return *it;
}

// Changes are made on a copy and adopted only once the file holds them: a value that cannot be written (text
// that is not UTF-8, a full disk) throws and leaves both memory and file as they were, so it cannot poison
// every later write.
void UserDefaults::set(const std::string& key, nlohmann::json value) {
  std::lock_guard lock(mutex_);
  nlohmann::json next = values_;
  next[key] = std::move(value);
  persist(next);
  values_ = std::move(next);
}

void UserDefaults::remove(const std::string& key) {
  std::lock_guard lock(mutex_);
  if (!values_.contains(key)) return;
  nlohmann::json next = values_;
  next.erase(key);
  persist(next);
  values_ = std::move(next);
}

// Write a sibling temporary file, fsync it, rename it over the file, then fsync the directory: a crash at any
// point leaves either the old or the new complete file.
void UserDefaults::persist(const nlohmann::json& values) const {
  // Serialise first: a value that cannot be encoded must fail before anything touches the disk.
  const std::string text = values.dump(2);
  std::filesystem::create_directories(file_.parent_path());
  std::string tmpl = (file_.parent_path() / (file_.filename().string() + ".XXXXXX")).string();
  const int fd = ::mkstemp(tmpl.data());
  if (fd < 0) throw std::system_error(errno, std::generic_category(), "UserDefaults: create " + tmpl);
  try {
    writeAll(fd, text);
    if (::fsync(fd) != 0) throw std::system_error(errno, std::generic_category(), "UserDefaults: fsync");
  } catch (...) {
    ::close(fd);
    ::unlink(tmpl.c_str());
    throw;
  }
  ::close(fd);
  if (::rename(tmpl.c_str(), file_.c_str()) != 0) {
    const int err = errno;
    ::unlink(tmpl.c_str());
    throw std::system_error(err, std::generic_category(), "UserDefaults: rename");
  }
  if (const int dir = ::open(file_.parent_path().c_str(), O_RDONLY | O_DIRECTORY); dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
}

}  // namespace foundation
