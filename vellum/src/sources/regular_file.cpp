#include "regular_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <system_error>

namespace vellum {
namespace {

[[noreturn]] void fail(const char* what, const std::string& path, int error) {
  throw std::filesystem::filesystem_error(what, std::filesystem::path(path), std::error_code(error, std::generic_category()));
}

}  // namespace

RegularFile RegularFile::open(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) fail("cannot open file", path, errno);
  RegularFile file(fd, path);
  struct stat status {};
  if (::fstat(fd, &status) != 0) fail("cannot read file status", path, errno);
  if (!S_ISREG(status.st_mode)) fail("not a regular file", path, EINVAL);
  return file;
}

RegularFile::~RegularFile() {
  if (fd_ >= 0) ::close(fd_);
}

foundation::Bytes RegularFile::readToEnd() {
  // The reported size is only a first guess: the file may grow or shrink while it is read.
  struct stat status {};
  std::size_t capacity = 64 * 1024;
  if (::fstat(fd_, &status) == 0 && status.st_size > 0) capacity = static_cast<std::size_t>(status.st_size) + 1;
  return read(SIZE_MAX, capacity);
}

foundation::Bytes RegularFile::readUpTo(std::size_t count) {
  return read(count, std::min<std::size_t>(count, 64 * 1024));
}

foundation::Bytes RegularFile::read(std::size_t limit, std::size_t capacity) {
  foundation::Bytes bytes(capacity);
  std::size_t size = 0;
  while (size < limit) {
    if (size == bytes.size()) bytes.resize(std::min(limit, std::max<std::size_t>(bytes.size() * 2, 4096)));
    const ssize_t n = ::read(fd_, bytes.data() + size, bytes.size() - size);
    if (n < 0) {
      if (errno == EINTR) continue;
      fail("cannot read file", path_, errno);
    }
    if (n == 0) break;
    size += static_cast<std::size_t>(n);
  }
  bytes.resize(size);
  return bytes;
}

foundation::Bytes readRegularFile(const std::string& path) { return RegularFile::open(path).readToEnd(); }

}  // namespace vellum
