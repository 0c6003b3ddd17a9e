#pragma once
// Scratch directories for benchmark fixtures, removed when the program exits. Fixtures that disk caches write
// into are often made once and never destroyed (so no queued cache work outlives them); without this each run
// would leave its directory, a thousand files at times, in /tmp for good.
#include <stdlib.h>

#include <filesystem>
#include <mutex>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

namespace bench {

inline std::filesystem::path scratchDirectory(const std::string& prefix) {
  static std::mutex mutex;
  static auto* made = new std::vector<std::filesystem::path>;
  std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
  if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed for " + pattern);
  std::lock_guard lock(mutex);
  if (made->empty()) {
    std::atexit([] {
      std::lock_guard exiting(mutex);
      std::error_code ignored;
      for (const auto& path : *made) std::filesystem::remove_all(path, ignored);
    });
  }
  made->push_back(pattern);
  return pattern;
}

}  // namespace bench
