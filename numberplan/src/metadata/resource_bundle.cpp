#include "numberplan/metadata/resource_bundle.hpp"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <system_error>

namespace numberplan {
namespace {

namespace fs = std::filesystem;

// Closes a descriptor when the reading of it ends, however it ends.
struct OpenFile {
  int descriptor;
  ~OpenFile() { ::close(descriptor); }
};

// Any object of this library's code: dladdr names the binary it was linked into.
const char kCodeMarker = 0;

std::optional<fs::path> executableDirectory() {
  std::error_code error;
  const fs::path executable = fs::read_symlink("/proc/self/exe", error);
  if (error || executable.empty()) return std::nullopt;
  return executable.parent_path();
}

std::optional<fs::path> codeBinaryDirectory() {
  Dl_info info{};
  if (dladdr(&kCodeMarker, &info) == 0 || info.dli_fname == nullptr || info.dli_fname[0] == '\0') {
    return std::nullopt;
  }
  std::error_code error;
  const fs::path binary = fs::absolute(fs::path(info.dli_fname), error);
  if (error) return std::nullopt;
  return binary.parent_path();
}

}  // namespace

std::optional<fs::path> ResourceBundle::pathForResource(std::string_view name, std::string_view type) const {
  fs::path file = path_ / (std::string(name) + "." + std::string(type));
  std::error_code error;
  if (!fs::is_regular_file(file, error)) return std::nullopt;
  return file;
}

std::optional<std::vector<std::uint8_t>> ResourceBundle::contentsOfResource(std::string_view name,
                                                                           std::string_view type) const {
  // Opened without a look first: whatever the name holds now is what gets read. Opening never blocks (a FIFO
  // without a writer would hold the caller for good) and the descriptor itself is checked to be a regular file.
  const fs::path file = path_ / (std::string(name) + "." + std::string(type));
  const int descriptor = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (descriptor < 0) return std::nullopt;
  const OpenFile closing{descriptor};
  struct stat status {};
  if (::fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) return std::nullopt;
  if (static_cast<std::uintmax_t>(status.st_size) > maxResourceBytes) return std::nullopt;

  // A file still growing is read only up to one byte past the limit, enough to tell that it is too large.
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(status.st_size) + 1);
  std::size_t filled = 0;
  while (true) {
    if (filled == bytes.size()) {
      if (bytes.size() > maxResourceBytes) return std::nullopt;
      bytes.resize(std::min(bytes.size() * 2, maxResourceBytes + 1));
    }
    const ssize_t count = ::read(descriptor, bytes.data() + filled, bytes.size() - filled);
    if (count == 0) break;
    if (count < 0) {
      if (errno == EINTR) continue;
      return std::nullopt;
    }
    filled += static_cast<std::size_t>(count);
  }
  bytes.resize(filled);
  return bytes;
}

std::vector<fs::path> ResourceBundle::candidateLocations() {
  std::vector<fs::path> locations;
  // Statically linked, the library's code lives in the executable, so two candidates are often one folder:
  // each folder is searched, and named in the fatal message, once.
  std::vector<fs::path> folders;
  const auto add = [&](fs::path location) {
    std::error_code error;
    fs::path folder = fs::weakly_canonical(location, error);
    if (error) folder = location;
    if (std::find(folders.begin(), folders.end(), folder) != folders.end()) return;
    folders.push_back(std::move(folder));
    locations.push_back(std::move(location));
  };
  // Named by whoever runs the program, so that one run from a build folder finds an installed bundle.
  if (const char* named = std::getenv(std::string(directoryVariable).c_str()); named != nullptr && *named != '\0') {
    std::error_code error;
    const fs::path absolute = fs::absolute(fs::path(named), error);
    add((error ? fs::path(named) : absolute).lexically_normal());
  }
  const auto executable = executableDirectory();
  if (executable) add((*executable / ".." / "share" / "numberplan").lexically_normal());
  if (const auto code = codeBinaryDirectory()) add((*code / ".." / "share" / "numberplan").lexically_normal());
  if (executable) add(*executable);
  return locations;
}

std::optional<ResourceBundle> ResourceBundle::locate(const std::vector<fs::path>& locations) {
  for (const fs::path& location : locations) {
    fs::path candidate = location / std::string(bundleName);
    std::error_code error;
    if (fs::is_directory(candidate, error)) return ResourceBundle(std::move(candidate));
  }
  return std::nullopt;
}

ResourceBundle ResourceBundle::locateOrStop(const std::vector<fs::path>& locations) {
  if (auto bundle = locate(locations)) return std::move(*bundle);
  // Where it was looked for is what the person installing the program needs to know.
  std::string message(fatalMessage);
  message += "; searched:";
  const char* separator = " ";
  for (const fs::path& location : locations) {
    message += separator + (location / std::string(bundleName)).string();
    separator = ", ";
  }
  if (locations.empty()) message += " nowhere (the executable's directory could not be determined)";
  message += "; set ";
  message += directoryVariable;
  message += " to the folder holding ";
  message += bundleName;
  std::fprintf(stderr, "Fatal error: %s\n", message.c_str());
  std::fflush(stderr);
  std::abort();
}

const ResourceBundle& resourceBundle() {
  // Never destroyed: engines built on threads still at work while the process exits find it whole.
  static const auto& bundle = *new const ResourceBundle(ResourceBundle::locateOrStop(ResourceBundle::candidateLocations()));
  return bundle;
}

}  // namespace numberplan
