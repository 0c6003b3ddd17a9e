#include "vellum/cache/file_manager.hpp"

#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <mutex>
#include <string>

#include "foundation/user_folders.hpp"
#include "regular_file.hpp"

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

// An entry of the cache's directory: never through a link, without moving its access time.
RegularFile openEntry(const fs::path& path) {
  return RegularFile::open(path.native(), {.followLinks = false, .keepAccessTime = true});
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

FileIdentity identityOf(const struct stat& st) {
  return FileIdentity{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino),
                      static_cast<std::int64_t>(st.st_ctim.tv_sec), static_cast<std::int64_t>(st.st_ctim.tv_nsec)};
}

FileStatus fromStat(const struct stat& st) {
  FileStatus status;
  status.isDirectory = S_ISDIR(st.st_mode);
  status.isSymbolicLink = S_ISLNK(st.st_mode);
  status.isRegularFile = S_ISREG(st.st_mode);
  status.size = st.st_size;
  status.lastAccess = fromTimespec(st.st_atim);
  status.modification = fromTimespec(st.st_mtim);
  status.identity = identityOf(st);
  return status;
}

constexpr const char* kLastAccessAttribute = "user.vellum.lastAccess";

// The attribute's text, when it holds a plain count of seconds; none makes the access time count.
std::optional<Date> parseLastAccess(const char* text, ssize_t length) {
  if (length <= 0) return std::nullopt;
  std::int64_t seconds = 0;
  const auto [end, error] = std::from_chars(text, text + length, seconds);
  if (error != std::errc() || end != text + length) return std::nullopt;
  return fromTimespec(timespec{static_cast<time_t>(seconds), 0});
}

// Reads our last-access attribute into `status` for a regular file.
void readLastAccess(const fs::path& path, FileStatus& status) {
  if (status.isDirectory || status.isSymbolicLink) return;
  char text[32];
  if (auto date = parseLastAccess(text, ::lgetxattr(path.c_str(), kLastAccessAttribute, text, sizeof text))) {
    status.lastAccess = *date;
  }
}

// Writes the attribute; where it cannot be written, a stale one is removed so that the access time, set
// alongside, is what counts.
void writeLastAccess(int fd, Date date) {
  const auto seconds = std::chrono::floor<std::chrono::seconds>(date.time_since_epoch()).count();
  const std::string text = std::to_string(seconds);
  if (::fsetxattr(fd, kLastAccessAttribute, text.data(), text.size(), 0) != 0) {
    ::fremovexattr(fd, kLastAccessAttribute);
  }
}

// Unique hidden names in `folder`, for files on their way in or out.
fs::path temporaryIn(const fs::path& folder, const char* purpose) {
  static std::atomic<std::uint64_t> counter{0};
  return folder / (std::string(kTemporaryFilePrefix) + purpose + std::to_string(::getpid()) + "-" +
                   std::to_string(counter.fetch_add(1, std::memory_order_relaxed)));
}
fs::path temporaryBeside(const fs::path& path, const char* purpose) { return temporaryIn(path.parent_path(), purpose); }

int openTemporary(const fs::path& temporary) {
  return ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
}

// A new file is made in the folder for incoming files, not beside the entry: making a file holds its folder's
// lock through the inode's allocation (a millisecond and more on some file systems), and every look-up of a
// name the folder does not hold yet waits for that lock, as a cache miss does. Renamed into place, a new
// entry holds the entry's folder only for the rename. The incoming folder comes back with the first write
// after a clear; where it cannot be had (something else holds its name), the file is made beside the entry.
// Only a folder of our own will do: through a link of that name the file would be made outside the storage,
// and on another file system the rename into place would fail (EXDEV) for every store.
bool haveIncomingFolder(const fs::path& folder) {
  struct stat st;
  if (::lstat(folder.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  if (errno != ENOENT || (::mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST)) return false;
  return ::lstat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode);  // made here, or by a store meanwhile
}

fs::path openIncoming(const fs::path& path, int& fd) {
  const fs::path folder = path.parent_path() / kIncomingFolderName;
  fd = -1;
  if (haveIncomingFolder(folder)) {
    const fs::path temporary = temporaryIn(folder, "");
    fd = openTemporary(temporary);
    if (fd >= 0) return temporary;
  }
  const fs::path temporary = temporaryBeside(path, "");
  fd = openTemporary(temporary);
  return temporary;
}

// Within this process, the steps that put a file under an entry's name, remove it, or check and take it aside
// (removeItemIfUnchanged) take turns, so a sweep's check-then-remove is one step to this process's stores and
// removals: it never holds a newer entry aside, where a look-up would miss it, a removal would find nothing,
// and the sweep would then put it back. Other processes still meet the rename-aside. Keyed by the entry's
// file name, so that the caches of one folder here share a lock however the folder is spelt; each is held
// only around a few system calls on one name.
std::mutex& nameLock(const fs::path& path) {
  static std::array<std::mutex, 64> locks;
  return locks[std::hash<std::string>{}(path.filename().native()) % locks.size()];
}

// Moves `from` to `to` unless something is already at `to` (EEXIST then).
int renameWithoutReplacing(const fs::path& from, const fs::path& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return -1;
  // File systems without the flag: a hard link fails on an existing name just the same.
  if (::link(from.c_str(), to.c_str()) != 0) return -1;
  ::unlink(from.c_str());
  return 0;
}

void syncDirectory(const fs::path& directory) {
  Descriptor fd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.valid()) ::fsync(fd.get());
}

// Where clears move a directory before deleting it: a hidden name beside it that says whose it was.
fs::path asidePrefix(const fs::path& directory) {
  const fs::path clean = directory.has_filename() ? directory : directory.parent_path();
  return clean.parent_path() / ("." + clean.filename().string() + ".vellum-clearing-");
}

// Removes a directory tree, never following links inside. Entries that vanish meanwhile (another cache
// sweeping or clearing the same tree) count as removed, so the walk goes on instead of stopping there.
void removeTree(const fs::path& path) {
  for (int attempt = 0;; ++attempt) {
    std::error_code error;
    fs::remove_all(path, error);
    if (!error) return;
    struct stat st;
    const bool gone = ::lstat(path.c_str(), &st) != 0 && errno == ENOENT;
    if (gone) return;
    // Bounded: a tree that keeps changing under every walk is reported rather than chased for good.
    const bool changing = error == std::errc::no_such_file_or_directory || error == std::errc::directory_not_empty;
    if (!changing || attempt == 15) {
      throw fs::filesystem_error("cannot remove item", path, error);
    }
  }
}

// The names the storage keeps for itself: files on their way in or out, and the folder they are made in.
bool isStorageOwnName(const fs::path& path) {
  const std::string name = path.filename().string();
  return name.starts_with(kTemporaryFilePrefix) || name == kIncomingFolderName;
}

// Whether a listing leaves the item (and what lies under it) out. A hidden file directly in the directory may
// be an entry (a key starting with a dot, with plain file names), and an entry no listing shows would never be
// swept, nor counted against the size limit. No key makes a folder or a name below the top level, so hidden
// ones there stay with whoever made them.
bool isLeftOut(const fs::recursive_directory_iterator& it) {
  if (isStorageOwnName(it->path())) return true;
  const std::string name = it->path().filename().string();
  if (name.empty() || name[0] != '.') return false;
  std::error_code error;
  return it.depth() > 0 || it->symlink_status(error).type() == fs::file_type::directory;
}

}  // namespace

std::shared_ptr<FileManager> FileManager::defaultManager() {
  // Never destroyed, as the other process-wide state: the main queue's and the pool's threads still use it
  // while exit tears statics down.
  static const auto* const instance = new std::shared_ptr<FileManager>(std::make_shared<FileManager>());
  return *instance;
}

fs::path FileManager::userCacheDirectory() const { return foundation::userCacheFolder(); }

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
    if (isLeftOut(it)) {
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
  FileStatus status = fromStat(st);
  readLastAccess(path, status);
  return status;
}

std::optional<foundation::Bytes> FileManager::readFileIf(const fs::path& path, FileStatus& status,
                                                        const std::function<bool(const FileStatus&)>& wanted) const {
  RegularFile file = openEntry(path);
  status = fromStat(file.status());
  if (!wanted(status)) return std::nullopt;
  try {
    return file.readToEnd();
  } catch (const fs::filesystem_error& e) {
    throw FileReadError("cannot read file", path, e.code());
  }
}

void FileManager::writeFile(const fs::path& path, std::span<const std::uint8_t> data, const FileDates& dates,
                            std::uint64_t options) {
  int opened = -1;
  const fs::path temporary = openIncoming(path, opened);
  Descriptor fd(opened);
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
  writeLastAccess(fd.get(), dates.lastAccess);
  const timespec times[2] = {toTimespec(dates.lastAccess), toTimespec(dates.expiration)};
  if (::futimens(fd.get(), times) != 0) {
    const int error = errno;
    ::unlink(temporary.c_str());
    throw DateSettingError("cannot set file dates", path, std::error_code(error, std::generic_category()));
  }
  // Reading the change time here is what earns the rename a fine-grained one (see FileIdentity).
  struct stat st;
  ::fstat(fd.get(), &st);
  if ((options & WriteOptions::synchronous) && ::fsync(fd.get()) != 0) discard("cannot flush file", errno);
  int moved = 0, movedError = 0;
  {
    std::lock_guard lock(nameLock(path));
    moved = (options & WriteOptions::withoutOverwriting) ? renameWithoutReplacing(temporary, path)
                                                         : ::rename(temporary.c_str(), path.c_str());
    movedError = errno;
  }
  if (moved != 0) discard("cannot move file into place", movedError);
  if (options & WriteOptions::synchronous) syncDirectory(path.parent_path());
}

bool FileManager::setDates(const fs::path& path, const FileDates& dates, std::optional<FileIdentity> expected) {
  const RegularFile file = openEntry(path);
  if (expected && identityOf(file.status()) != *expected) return false;
  writeLastAccess(file.fd(), dates.lastAccess);
  const timespec times[2] = {toTimespec(dates.lastAccess), toTimespec(dates.expiration)};
  if (::futimens(file.fd(), times) != 0) fail("cannot set file dates", path, errno);
  return true;
}

void FileManager::removeItem(const fs::path& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) fail("cannot remove item", path, errno);
  if (S_ISDIR(st.st_mode)) {
    removeTree(path);
    return;
  }
  std::lock_guard lock(nameLock(path));
  if (::unlink(path.c_str()) != 0) fail("cannot remove item", path, errno);
}

std::optional<fs::path> FileManager::moveAside(const fs::path& path) {
  static std::atomic<std::uint64_t> counter{0};
  const fs::path aside = asidePrefix(path).string() + std::to_string(::getpid()) + "-" +
                         std::to_string(counter.fetch_add(1, std::memory_order_relaxed));
  if (::rename(path.c_str(), aside.c_str()) == 0) return aside;
  if (errno == ENOENT) fail("cannot remove item", path, errno);
  return std::nullopt;
}

bool FileManager::removeItemIfUnchanged(const fs::path& path, const FileIdentity& expected) {
  std::unique_lock lock(nameLock(path));
  // Held open, the file keeps its inode number: no other file can show up under it while we look.
  Descriptor held(::open(path.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
  if (!held.valid()) fail("cannot remove item", path, errno);
  struct stat st;
  if (::fstat(held.get(), &st) != 0) fail("cannot remove item", path, errno);
  if (identityOf(st) != expected) return false;
  if (S_ISDIR(st.st_mode)) {
    lock.unlock();  // a tree's removal may take long, and removes no entry's name
    removeItem(path);
    return true;
  }
  // A store of another process may rename a new file over the name between the look above and the removal
  // (this process's wait for the lock): take the name aside, then look at what was taken (the rename itself
  // moves its change time, so by inode).
  const fs::path aside = temporaryBeside(path, "out-");
  if (::rename(path.c_str(), aside.c_str()) != 0) fail("cannot remove item", path, errno);
  struct stat taken;
  if (::lstat(aside.c_str(), &taken) == 0 && (taken.st_dev != st.st_dev || taken.st_ino != st.st_ino)) {
    // A newer entry: back under its name, unless a newer one still has taken the name meanwhile.
    if (renameWithoutReplacing(aside, path) != 0) ::unlink(aside.c_str());
    return false;
  }
  ::unlink(aside.c_str());
  return true;
}

namespace {

// Temporary files in `folder` that no write holds any more (a crash left them).
void removeUnheldTemporaryFiles(const fs::path& folder) {
  std::error_code error;
  for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
    const std::string name = it->path().filename().string();
    if (name.rfind(kTemporaryFilePrefix, 0) != 0) continue;
    // Only regular files are ours: anything else under the prefix is left alone, unopened beyond the check.
    std::optional<RegularFile> file;
    try {
      file.emplace(RegularFile::open(it->path().native(), {.followLinks = false}));
    } catch (const fs::filesystem_error&) {
      continue;
    }
    if (::flock(file->fd(), LOCK_EX | LOCK_NB) != 0) continue;
    const struct stat& opened = file->status();
    struct stat named;
    if (::lstat(it->path().c_str(), &named) == 0 && opened.st_ino == named.st_ino && opened.st_dev == named.st_dev) {
      ::unlink(it->path().c_str());
    }
  }
}

}  // namespace

void FileManager::removeLeftoverTemporaryFiles(const fs::path& directory) {
  std::error_code error;
  const std::string aside = asidePrefix(directory).filename().string();
  for (fs::directory_iterator it(directory.parent_path(), error), end; !error && it != end; it.increment(error)) {
    if (it->path().filename().string().rfind(aside, 0) != 0) continue;
    struct stat st;
    if (::lstat(it->path().c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) continue;
    try {
      removeTree(it->path());  // another process may be deleting it too
    } catch (const fs::filesystem_error&) {
    }
  }
  // Only a folder of its own: through a link of that name the walk would delete files outside the storage.
  const fs::path incoming = directory / kIncomingFolderName;
  struct stat folder;
  if (::lstat(incoming.c_str(), &folder) == 0 && S_ISDIR(folder.st_mode)) removeUnheldTemporaryFiles(incoming);
  // Writes that could not use the incoming folder, and those of earlier versions, made theirs beside the
  // entries.
  removeUnheldTemporaryFiles(directory);
}

}  // namespace vellum::DiskStorage
