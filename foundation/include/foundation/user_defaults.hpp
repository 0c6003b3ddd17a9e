#pragma once
// UserDefaults: small persistent settings, one JSON object in a file, rewritten atomically (temporary file,
// fsync, rename) on every change so a crash leaves the old or the new file, never a broken one.
// `standard()` lives at $XDG_CONFIG_HOME/<bundle identifier or "tolvaran">/defaults.json.
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace foundation {

class UserDefaults {
 public:
  explicit UserDefaults(std::filesystem::path file);
  static UserDefaults& standard();

  std::optional<nlohmann::json> value(const std::string& key) const;
  // Both write the whole file before they return. A change that cannot be persisted (a string that is not
  // UTF-8, an unwritable folder) throws and changes nothing, in memory or on disk.
  void set(const std::string& key, nlohmann::json value);
  void remove(const std::string& key);
  const std::filesystem::path& file() const { return file_; }

 private:
  void load();
  void persist(const nlohmann::json& values) const;
  std::filesystem::path file_;
  mutable std::mutex mutex_;
  nlohmann::json values_ = nlohmann::json::object();
};

}  // namespace foundation
