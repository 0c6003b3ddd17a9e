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
  void set(const std::string& key, nlohmann::json value);
  void remove(const std::string& key);
  const std::filesystem::path& file() const { return file_; }

 private:
  void load();
  void persist() const;
  std::filesystem::path file_;
  mutable std::mutex mutex_;
  nlohmann::json values_ = nlohmann::json::object();
};

}  // namespace foundation
