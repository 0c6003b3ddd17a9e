#pragma once
// Opening files that the library reads on a pool thread: never blocks on open (O_NONBLOCK: a FIFO without a
// writer would), and refuses anything but a regular file (a FIFO or a device such as /dev/zero could block or
// read without end) with EINVAL. Failures are std::filesystem::filesystem_error with errno and the path.
#include <cstdint>
#include <string>

#include "foundation/bytes.hpp"

namespace vellum {

class RegularFile {
 public:
  // Throws std::filesystem::filesystem_error.
  static RegularFile open(const std::string& path);
  ~RegularFile();
  RegularFile(RegularFile&& other) noexcept : fd_(other.fd_), path_(std::move(other.path_)) { other.fd_ = -1; }
  RegularFile& operator=(RegularFile&&) = delete;

  int fd() const { return fd_; }
  // Reads from the current offset to the end of file, whatever size the file system reported. Throws
  // std::filesystem::filesystem_error.
  foundation::Bytes readToEnd();
  // Reads from the current offset until `count` bytes or the end of file, whichever comes first. Throws
  // std::filesystem::filesystem_error.
  foundation::Bytes readUpTo(std::size_t count);

 private:
  RegularFile(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
  // Reads up to `limit` bytes into a buffer that starts at `capacity` and doubles as it fills.
  foundation::Bytes read(std::size_t limit, std::size_t capacity);
  int fd_;
  std::string path_;
};

// RegularFile::open(path).readToEnd().
foundation::Bytes readRegularFile(const std::string& path);

}  // namespace vellum
