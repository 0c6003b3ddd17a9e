#include "vellum/file_manager.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <algorithm>
#include <cstdlib>

namespace vellum::DiskStorage {
namespace fs = std::filesystem;

namespace {

[[noreturn]] void fail(const char* what, const fs::path& path, int error) {
  throw fs::filesystem_error(what, path, std::error_code(error, std::generic_category()));
}

// Closes a descriptor on every path out of a scope.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }

 private:
  int fd_;
};

// Opens for reading without moving the access time when the kernel allows it (it refuses O_NOATIME with
// EPERM to a process that does not own the file).
int openForReading(const fs::path& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NOATIME);
  if (fd < 0 && errno == EPERM) fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  return fd;
}

Date fromTimespec(const timespec& ts) {
  // Dates beyond the clock's range (the file system may hold them) read as its ends.
  const auto limit = std::chrono::duration_cast<std::chrono::seconds>(distantFuture().time_since_epoch()).count();
  if (ts.tv_sec >= limit) return distantFuture();
  if (ts.tv_sec <= -limit) return distantPast();
  return Date(std::chrono::duration_cast<Date::duration>(std::chrono::seconds(ts.tv_sec) +
                                                         std::chrono::nanoseconds(ts.tv_nsec)));
}

timespec toTimespec(Date date) {
  const auto ns = date.time_since_epoch();
  auto seconds = std::chrono::floor<std::chrono::seconds>(ns);
  timespec ts{};
  ts.tv_sec = static_cast<time_t>(seconds.count());
  ts.tv_nsec = static_cast<long>(std::chrono::duration_cast<std::chrono::nanoseconds>(ns - seconds).count());
  return ts;
}

FileStatus fromStat(const struct stat& st) {
  FileStatus status;
  status.isDirectory = S_ISDIR(st.st_mode);
  status.isSymbolicLink = S_ISLNK(st.st_mode);
  status.size = st.st_size;
  status.lastAccess = fromTimespec(st.st_atim);
  status.modification = fromTimespec(st.st_mtim);
  status.identity = FileIdentity{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
  return status;
}

bool isHidden(const fs::path& path) {
  const std::string name = path.filename().string();
  return !name.empty() && name[0] == '.';
}

}  // namespace

std::shared_ptr<FileManager> FileManager::defaultManager() {
  static const auto instance = std::make_shared<FileManager>();
  return instance;
}

fs::path FileManager::userCacheDirectory() const {
  if (const char* xdg = std::getenv("XDG_CACHE_HOME"); xdg && *xdg == '/') return fs::path(xdg);
  if (const char* home = std::getenv("HOME"); home && *home) return fs::path(home) / ".cache";
  return fs::temp_directory_path();
}

bool FileManager::fileExists(const fs::path& path) const {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

void FileManager::createDirectories(const fs::path& path) { fs::create_directories(path); }

std::vector<std::string> FileManager::contentsOfDirectory(const fs::path& path) const {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(path)) names.push_back(entry.path().filename().string());
  return names;
}

std::vector<fs::path> FileManager::enumerate(const fs::path& root) const {
  std::vector<fs::path> paths;
  fs::recursive_directory_iterator it(root);  // throws when the root cannot be opened
  std::error_code error;
  for (; it != fs::recursive_directory_iterator(); it.increment(error)) {
    if (error) break;
    if (isHidden(it->path())) {
      it.disable_recursion_pending();
      continue;
    }
    paths.push_back(it->path());
  }
  return paths;
}

FileStatus FileManager::status(const fs::path& path) const {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) fail("cannot read file status", path, errno);
  return fromStat(st);
}

std::optional<foundation::Bytes> FileManager::readFileIf(const fs::path& path, FileStatus& status,
                                                        const std::function<bool(const FileStatus&)>& wanted) const {
  Descriptor fd(openForReading(path));
  if (!fd.valid()) fail("cannot open file", path, errno);
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) fail("cannot read file status", path, errno);
  status = fromStat(st);
  if (!wanted(status)) return std::nullopt;
  // One byte past the size tells the end of the file from a file that grew since.
  foundation::Bytes data(static_cast<std::size_t>(std::max<off_t>(st.st_size, 0)) + 1);
  std::size_t filled = 0;
  for (;;) {
    if (filled == data.size()) data.resize(data.size() * 2);
    const ssize_t n = ::read(fd.get(), data.data() + filled, data.size() - filled);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw FileReadError("cannot read file", path, std::error_code(errno, std::generic_category()));
    }
    if (n == 0) break;
    filled += static_cast<std::size_t>(n);
    // A regular file reads short only at its end: no need to ask again.
    if (filled < data.size()) break;
  }
  data.resize(filled);
  return data;
}

void FileManager::writeFile(const fs::path& path, std::span<const std::uint8_t> data, const FileDates& dates) {
  static std::atomic<std::uint64_t> counter{0};
  const fs::path temporary =
      path.parent_path() / (std::string(kTemporaryFilePrefix) + std::to_string(::getpid()) + "-" +
                            std::to_string(counter.fetch_add(1, std::memory_order_relaxed)));
  Descriptor fd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
  if (!fd.valid()) fail("cannot create file", path, errno);
  // Held until the rename: the start-up clean-up removes only temporary files nobody holds.
  ::flock(fd.get(), LOCK_EX);
  auto discard = [&](const char* what, int error) {
    ::unlink(temporary.c_str());
    fail(what, path, error);
  };
  std::size_t written = 0;
  while (written < data.size()) {
    const ssize_t n = ::write(fd.get(), data.data() + written, data.size() - written);
    if (n < 0) {
      if (errno == EINTR) continue;
      discard("cannot write file", errno);
    }
    written += static_cast<std::size_t>(n);
  }
  const timespec times[2] = {toTimespec(dates.lastAccess), toTimespec(dates.expiration)};
  if (::futimens(fd.get(), times) != 0) {
    const int error = errno;
    ::unlink(temporary.c_str());
    throw DateSettingError("cannot set file dates", path, std::error_code(error, std::generic_category()));
  }
  if (::rename(temporary.c_str(), path.c_str()) != 0) discard("cannot move file into place", errno);
}

bool FileManager::setDates(const fs::path& path, const FileDates& dates, std::optional<FileIdentity> expected) {
  Descriptor fd(openForReading(path));
  if (!fd.valid()) fail("cannot open file", path, errno);
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) fail("cannot read file status", path, errno);
  if (expected && fromStat(st).identity != *expected) return false;
  const timespec times[2] = {toTimespec(dates.lastAccess), toTimespec(dates.expiration)};
  if (::futimens(fd.get(), times) != 0) fail("cannot set file dates", path, errno);
  return true;
}

void FileManager::removeItem(const fs::path& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) fail("cannot remove item", path, errno);
  if (S_ISDIR(st.st_mode)) {
    fs::remove_all(path);  // never follows symbolic links inside
    return;
  }
  if (::unlink(path.c_str()) != 0) fail("cannot remove item", path, errno);
}

void FileManager::removeLeftoverTemporaryFiles(const fs::path& directory) {
  std::error_code error;
  for (fs::directory_iterator it(directory, error), end; !error && it != end; it.increment(error)) {
    const std::string name = it->path().filename().string();
    if (name.rfind(kTemporaryFilePrefix, 0) != 0) continue;
    Descriptor fd(::open(it->path().c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (!fd.valid() || ::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) continue;
    struct stat opened, named;
    if (::fstat(fd.get(), &opened) == 0 && ::lstat(it->path().c_str(), &named) == 0 &&
        opened.st_ino == named.st_ino && opened.st_dev == named.st_dev) {
      ::unlink(it->path().c_str());
    }
  }
}

}  // namespace vellum::DiskStorage
