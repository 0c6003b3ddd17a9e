#include "numberplan/metadata/resource_bundle.hpp"

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <system_error>

namespace numberplan {
namespace {

namespace fs = std::filesystem;

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

std::vector<fs::path> ResourceBundle::candidateLocations() {
  std::vector<fs::path> locations;
  const auto executable = executableDirectory();
  if (executable) locations.push_back((*executable / ".." / "share" / "numberplan").lexically_normal());
  if (const auto code = codeBinaryDirectory()) {
    locations.push_back((*code / ".." / "share" / "numberplan").lexically_normal());
  }
  if (executable) locations.push_back(*executable);
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
  std::fprintf(stderr, "Fatal error: %s\n", message.c_str());
  std::fflush(stderr);
  std::abort();
}

const ResourceBundle& resourceBundle() {
  static const ResourceBundle bundle = ResourceBundle::locateOrStop(ResourceBundle::candidateLocations());
  return bundle;
}

}  // namespace numberplan
