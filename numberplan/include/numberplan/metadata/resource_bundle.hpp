#pragma once
// ResourceBundle: the directory "NumberPlan_NumberPlan.bundle" holding the library's resources
// (the metadata document "PhoneNumberMetadata.json").
//
// Example:
//   const ResourceBundle& bundle = resourceBundle();   // found once per process
//   std::optional<std::filesystem::path> file = bundle.pathForResource("PhoneNumberMetadata", "json");
//
// Candidate locations, in order, each with "NumberPlan_NumberPlan.bundle" appended:
//   1. the folder the environment variable NUMBERPLAN_BUNDLE_DIR names, when set and not empty
//   2. <directory of the executable>/../share/numberplan
//   3. <directory of the binary holding this library's code, found with dladdr>/../share/numberplan
//   4. <directory of the executable>
// A location that cannot be determined is skipped, and one that is the same folder as an earlier one is left
// out; the first candidate that is a directory wins. The build installs the bundle under share/numberplan and
// copies it beside every test, bench and example binary (numberplan_copy_bundle, also in the installed CMake
// package). Without any, the library cannot work: the process stops with "unable to find bundle named
// NumberPlan_NumberPlan; searched: ", the bundle paths it tried, and how to name the bundle's folder.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string_view>
#include <vector>

namespace numberplan {

class ResourceBundle {
 public:
  static constexpr std::string_view bundleName = "NumberPlan_NumberPlan.bundle";
  static constexpr std::string_view fatalMessage = "unable to find bundle named NumberPlan_NumberPlan";
  // The environment variable naming a folder that holds the bundle, searched first.
  static constexpr std::string_view directoryVariable = "NUMBERPLAN_BUNDLE_DIR";
  // The largest resource read: many times the metadata document's size, far below what would strain memory.
  static constexpr std::size_t maxResourceBytes = std::size_t{32} << 20;

  explicit ResourceBundle(std::filesystem::path path) : path_(std::move(path)) {}

  const std::filesystem::path& path() const noexcept { return path_; }

  // <bundle>/<name>.<type> when it is a regular file.
  std::optional<std::filesystem::path> pathForResource(std::string_view name, std::string_view type) const;

  // The bytes of <bundle>/<name>.<type>, or nothing when it is missing, unreadable, not a regular file (a FIFO, a
  // device, a directory, through links included) or larger than maxResourceBytes. Never blocks on what it opens.
  std::optional<std::vector<std::uint8_t>> contentsOfResource(std::string_view name, std::string_view type) const;

  // The locations of the candidate order above that this process can determine (without the bundle name).
  static std::vector<std::filesystem::path> candidateLocations();

  // The first location whose "NumberPlan_NumberPlan.bundle" is a directory, or nothing.
  static std::optional<ResourceBundle> locate(const std::vector<std::filesystem::path>& locations);

  // locate(), or a fatal stop when nothing is found: fatalMessage and the paths searched, on standard error.
  static ResourceBundle locateOrStop(const std::vector<std::filesystem::path>& locations);

 private:
  std::filesystem::path path_;
};

// The process's bundle: locateOrStop(candidateLocations()) on first use (thread-safe), then kept for good.
const ResourceBundle& resourceBundle();

}  // namespace numberplan
