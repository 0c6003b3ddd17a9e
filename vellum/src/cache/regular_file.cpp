#include "regular_file.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <new>
#include <stdexcept>
#include <system_error>

namespace vellum {
namespace {

[[noreturn]] void fail(const char* what, const std::string& path, int error) {
  throw std::filesystem::filesystem_error(what, std::filesystem::path(path), std::error_code(error, std::generic_category()));
}

// The most bytes one read may hold: half the machine's memory. A larger file (a sparse file of terabytes
// under a cache entry, say) cannot be answered as bytes; refusing it before anything is allocated beats an
// allocation failing, or the process being killed, far into the read.
std::size_t largestRead() {
  static const std::size_t limit = [] {
    const long pages = ::sysconf(_SC_PHYS_PAGES), pageSize = ::sysconf(_SC_PAGESIZE);
    if (pages <= 0 || pageSize <= 0) return std::size_t{1} << 30;
    return static_cast<std::size_t>(std::min<std::uint64_t>(static_cast<std::uint64_t>(pages) / 2 *
                                                                 static_cast<std::uint64_t>(pageSize),
                                                             SIZE_MAX / 2));
  }();
  return limit;
}

}  // namespace

RegularFile RegularFile::open(const std::string& path, Options options) {
  if (path.find('\0') != std::string::npos) fail("cannot open file", path, EINVAL);
  int flags = O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;
  if (!options.followLinks) flags |= O_NOFOLLOW;
  int fd = ::open(path.c_str(), options.keepAccessTime ? flags | O_NOATIME : flags);
  if (fd < 0 && errno == EPERM && options.keepAccessTime) fd = ::open(path.c_str(), flags);
  if (fd < 0) fail("cannot open file", path, errno);
  RegularFile file(fd, path);
  if (::fstat(fd, &file.status_) != 0) fail("cannot read file status", path, errno);
  if (!S_ISREG(file.status_.st_mode)) fail("not a regular file", path, EINVAL);
  return file;
}

RegularFile::~RegularFile() {
  if (fd_ >= 0) ::close(fd_);
}

foundation::Bytes RegularFile::readToEnd() {
  // The size seen at open is only a first guess: the file may grow or shrink while it is read (and some
  // report none). One byte past it tells the end of the file from a file that grew since.
  std::size_t capacity = 64 * 1024;
  std::size_t expected = SIZE_MAX;
  if (status_.st_size > 0 && static_cast<std::uint64_t>(status_.st_size) >= consumed_) {
    const std::uint64_t left = static_cast<std::uint64_t>(status_.st_size) - consumed_;
    if (left > largestRead()) fail("file too large to read", path_, EFBIG);
    expected = static_cast<std::size_t>(left);
    capacity = expected + 1;
  }
  // One byte past the largest read tells a file that grew too large from one that just fits.
  foundation::Bytes bytes = read(largestRead() + 1, capacity, expected);
  if (bytes.size() > largestRead()) fail("file too large to read", path_, EFBIG);
  return bytes;
}

foundation::Bytes RegularFile::readUpTo(std::size_t count) {
  return read(count, std::min<std::size_t>(count, 64 * 1024), SIZE_MAX);
}

std::size_t RegularFile::appendUpTo(foundation::Bytes& bytes, std::size_t count) {
  const std::size_t start = bytes.size();
  bytes.resize(start + count);
  std::size_t size = 0;
  while (size < count) {
    const ssize_t n = ::read(fd_, bytes.data() + start + size, count - size);
    if (n < 0) {
      if (errno == EINTR) continue;
      bytes.resize(start);
      fail("cannot read file", path_, errno);
    }
    if (n == 0) break;
    size += static_cast<std::size_t>(n);
  }
  bytes.resize(start + size);
  consumed_ += size;
  return size;
}

foundation::Bytes RegularFile::read(std::size_t limit, std::size_t capacity, std::size_t expected) try {
  foundation::Bytes bytes(std::min(limit, capacity));
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
    // A regular file reads short only at its end: one that stops where its status said it would has not
    // grown, and asking again would only hear that end once more.
    if (size == expected && size < bytes.size()) break;
  }
  bytes.resize(size);
  consumed_ += size;
  return bytes;
} catch (const std::bad_alloc&) {
  fail("not enough memory to read file", path_, ENOMEM);
} catch (const std::length_error&) {
  fail("file too large to read", path_, EFBIG);
}

foundation::Bytes readRegularFile(const std::string& path) { return RegularFile::open(path).readToEnd(); }

}  // namespace vellum
