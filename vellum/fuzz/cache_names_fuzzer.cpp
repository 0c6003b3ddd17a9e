// libFuzzer harness: the text a cache keeps its entries by, as it comes from callers and from the cache's own
// files: a cache key's file-name extension, a key as an absolute URL and its path parts, a path as a file URL,
// and an entry's last-access attribute as another process may have written it.
#include <sys/xattr.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>

#include "vellum/cache/file_manager.hpp"
#include "vellum/general/cache_key.hpp"
#include "vellum/sources/url.hpp"

namespace {
// A cache entry for one input, gone again before the next (libFuzzer ends a run without exit handlers).
class EntryFile {
 public:
  EntryFile() {
    char name[] = "/tmp/vellum-cache-names-XXXXXX";
    const int fd = ::mkstemp(name);
    if (fd >= 0) {
      ::close(fd);
      path_ = name;
    }
  }
  ~EntryFile() {
    if (!path_.empty()) ::unlink(path_.c_str());
  }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  if (const auto extension = vellum::cacheFileExtension(text)) {
    // Joined to a file name, an extension never adds a separator or climbs out of the cache's folder.
    if (extension->empty() || extension->size() > 20 * 4 ||
        extension->find_first_of("./@\\") != std::string::npos || extension->find('\0') != std::string::npos) {
      __builtin_trap();
    }
  }

  if (const auto url = vellum::URL::parse(text)) {
    (void)url->path();
    (void)url->pathComponents();
    (void)url->pathExtension();
    if (url->absoluteString() != text) __builtin_trap();
  }
  const std::string path = "/" + std::string(text);
  const vellum::URL file = vellum::URL::fileURL(path);
  if (!file.isFileURL() || file.path() != path) __builtin_trap();

  if (size <= 64) {
    const EntryFile file;
    const std::filesystem::path& entry = file.path();
    if (!entry.empty() && ::setxattr(entry.c_str(), "user.vellum.lastAccess", data, size, 0) == 0) {
      try {
        (void)vellum::DiskStorage::FileManager().status(entry);
      } catch (const std::filesystem::filesystem_error&) {
      }
    }
  }
  return 0;
}
