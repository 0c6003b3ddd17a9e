#pragma once
// The plain baselines the library benchmarks measure themselves against, written once so that every program
// compares with the same thing.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace bench {

// A map behind one mutex: the least a thread-safe look-up by key costs.
template <class V>
struct MutexMap {
  std::mutex mutex;
  std::unordered_map<std::string, V> map;

  V find(const std::string& key) {
    std::lock_guard lock(mutex);
    auto it = map.find(key);
    return it == map.end() ? V{} : it->second;
  }
};

// open/read/close of a whole file: the baseline of every file read.
inline std::vector<std::uint8_t> rawRead(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st;
  ::fstat(fd, &st);
  std::vector<std::uint8_t> data(static_cast<std::size_t>(st.st_size));
  std::size_t filled = 0;
  while (filled < data.size()) {
    const ssize_t n = ::read(fd, data.data() + filled, data.size() - filled);
    if (n <= 0) break;
    filled += static_cast<std::size_t>(n);
  }
  ::close(fd);
  return data;
}

}  // namespace bench
