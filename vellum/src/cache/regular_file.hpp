#pragma once
// RegularFile: the one way the library opens a file it reads on its own (cache entries and their leftovers,
// local files, thumbnails, video, picked files). Paths come from keys, directory listings and file URLs, so
// what they name is not trusted:
// - a path holding a NUL is refused (EINVAL): open() would read the path only up to it, another file;
// - the open never blocks (O_NONBLOCK: a FIFO without a writer would block it for good, and every task
//   queued behind it);
// - anything but a regular file is refused (EINVAL): a FIFO or a device such as /dev/zero could block a
//   read or never end.
// Failures are std::filesystem::filesystem_error carrying errno and the path.
#include <sys/stat.h>

#include <cstdint>
#include <string>

#include "foundation/bytes.hpp"

namespace vellum {

class RegularFile {
 public:
  struct Options {
    // Off: a symbolic link is refused (ELOOP) rather than followed.
    bool followLinks = true;
    // Reads leave the access time as it is where the kernel allows it (it refuses that to a process that
    // does not own the file; the file is then opened plainly).
    bool keepAccessTime = false;
  };

  // Throws std::filesystem::filesystem_error.
  static RegularFile open(const std::string& path, Options options);
  static RegularFile open(const std::string& path) { return open(path, Options{}); }
  ~RegularFile();
  RegularFile(RegularFile&& other) noexcept
      : fd_(other.fd_), status_(other.status_), consumed_(other.consumed_), path_(std::move(other.path_)) {
    other.fd_ = -1;
  }
  RegularFile& operator=(RegularFile&&) = delete;

  int fd() const { return fd_; }
  // The open file's status, read once when it was opened.
  const struct stat& status() const { return status_; }
  // Reads from the current offset to the end of file, whatever size the file system reported. Throws
  // std::filesystem::filesystem_error.
  foundation::Bytes readToEnd();
  // Reads from the current offset until `count` bytes or the end of file, whichever comes first. Throws
  // std::filesystem::filesystem_error.
  foundation::Bytes readUpTo(std::size_t count);
  // Reads from the current offset until `count` more bytes or the end of file, appending them to `bytes` in
  // place (no copy beyond what growing `bytes` costs); answers how many came. Throws
  // std::filesystem::filesystem_error.
  std::size_t appendUpTo(foundation::Bytes& bytes, std::size_t count);

 private:
  RegularFile(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
  int fd_;
  // Reads up to `limit` bytes into a buffer that starts at `capacity` and doubles as it fills; a short read
  // that ends at `expected` bytes ends it.
  foundation::Bytes read(std::size_t limit, std::size_t capacity, std::size_t expected);
  struct stat status_ {};
  std::uint64_t consumed_ = 0;  // bytes read through this object: where its offset stands
  std::string path_;
};

// RegularFile::open(path).readToEnd().
foundation::Bytes readRegularFile(const std::string& path);

}  // namespace vellum
