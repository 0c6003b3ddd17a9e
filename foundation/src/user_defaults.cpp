#include "foundation/user_defaults.hpp"

#include "foundation/json_nesting.hpp"
#include "foundation/user_folders.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <chrono>
#include <cstdlib>
#include <map>
#include <memory>
#include <stdexcept>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "foundation/app_info.hpp"

namespace foundation {
namespace {

namespace fs = std::filesystem;

// The longest a change waits for another writer of the same folder before it gives up.
constexpr auto kLockWait = std::chrono::seconds(10);

[[noreturn]] void fail(int error, const std::string& what) {
  throw std::system_error(error, std::generic_category(), "UserDefaults: " + what);
}

void writeAll(int fd, const std::string& text) {
  const char* p = text.data();
  std::size_t left = text.size();
  while (left > 0) {
    const ssize_t n = ::write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      fail(errno, "write");
    }
    p += n;
    left -= static_cast<std::size_t>(n);
  }
}

// The file a write replaces: the end of the chain of links `file` starts, so that the links stay links.
fs::path writeTarget(const fs::path& file) {
  fs::path target = file;
  for (int hops = 0; fs::is_symlink(target); ++hops) {
    if (hops == 40) fail(ELOOP, "too many links from " + file.string());
    const fs::path next = fs::read_symlink(target);
    target = next.is_absolute() ? next : target.parent_path() / next;
  }
  return target;
}

fs::path folderOf(const fs::path& file) { return file.has_parent_path() ? file.parent_path() : fs::path("."); }

// Holds the folder's lock: writers of the files in it take turns (other processes' too, as the lock is the
// kernel's), so that each change starts from the file as the previous one left it.
class FolderLock {
 public:
  explicit FolderLock(const fs::path& folder) : fd_(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
    if (fd_ < 0) fail(errno, "open " + folder.string());
    // Writers hold the lock for one write; the wait is bounded all the same, should one be stopped.
    const auto deadline = std::chrono::steady_clock::now() + kLockWait;
    auto pause = std::chrono::milliseconds(1);
    while (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
      const int error = errno;
      if (error == EINTR) continue;
      if (error != EWOULDBLOCK || std::chrono::steady_clock::now() >= deadline) {
        ::close(fd_);
        fail(error == EWOULDBLOCK ? ETIMEDOUT : error, "lock " + folder.string());
      }
      std::this_thread::sleep_for(pause);
      pause = std::min(pause * 2, std::chrono::milliseconds(50));
    }
  }
  ~FolderLock() { ::close(fd_); }  // which releases the lock
  FolderLock(const FolderLock&) = delete;
  FolderLock& operator=(const FolderLock&) = delete;

  int fd() const { return fd_; }

 private:
  int fd_;
};

struct FileState {
  enum class Kind { missing, unreadable, object } kind = Kind::missing;
  nlohmann::json values;  // for `object`
  int error = 0;          // for `unreadable`: why the file could not be opened or read, 0 when it was read
  mode_t mode = 0;        // of an existing file
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  timespec modified{};
  timespec changed{};
};

[[noreturn]] void refuse(int error, const fs::path& file, const std::string& why) {
  fail(error, file.string() + " " + why);
}

// Refuses a value that the file could not give back as it is: one nested deeper than a file may be (the
// file's own object is the first level) or holding a number JSON has no text for (NaN, infinity). So is one
// holding what JSON has no text for at all: a discarded value (what a failed parse without exceptions gives)
// is written as "<discarded>", which leaves a file that holds no settings any more, and binary comes back as
// an object.
void requireReadableBack(const std::string& key, const nlohmann::json& value) {
  std::vector<std::pair<const nlohmann::json*, std::size_t>> pending{{&value, 2}};
  while (!pending.empty()) {
    const auto [next, level] = pending.back();
    pending.pop_back();
    if (next->is_discarded() || next->is_binary()) {
      throw std::invalid_argument("UserDefaults: the value of \"" + key + "\" holds " +
                                  (next->is_binary() ? "binary data" : "a discarded value") +
                                  ", which JSON has no text for");
    }
    if (next->is_number_float() && !std::isfinite(next->get<double>())) {
      throw std::invalid_argument("UserDefaults: the value of \"" + key + "\" holds NaN or infinity, which JSON cannot");
    }
    if (!next->is_structured()) continue;
    if (level > UserDefaults::kMaximumDepth) {
      throw std::invalid_argument("UserDefaults: the value of \"" + key + "\" nests deeper than " +
                                  std::to_string(UserDefaults::kMaximumDepth) + " levels");
    }
    for (const auto& child : *next) pending.emplace_back(&child, level + 1);
  }
}

// A FIFO would block the open and a device would never end the read: only a regular file of a settings
// file's size is read. Throws for anything else.
FileState readFile(const fs::path& file) {
  FileState state;
  // Non-blocking, so that opening a FIFO returns at once and is refused below.
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    state.error = errno;
    state.kind = state.error == ENOENT ? FileState::Kind::missing : FileState::Kind::unreadable;
    return state;
  }
  struct stat info {};
  std::string text;
  bool read = ::fstat(fd, &info) == 0;
  if (!read) state.error = errno;
  if (read && !S_ISREG(info.st_mode)) {
    ::close(fd);
    refuse(EINVAL, file, "is not a regular file");
  }
  const auto tooLarge = [&] {
    ::close(fd);
    refuse(EFBIG, file, "is larger than " + std::to_string(UserDefaults::kMaximumFileSize) + " bytes");
  };
  if (read && static_cast<std::uintmax_t>(info.st_size) > UserDefaults::kMaximumFileSize) tooLarge();
  char buffer[8192];
  while (read) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      read = n == 0;
      if (!read) state.error = errno;
      break;
    }
    text.append(buffer, static_cast<std::size_t>(n));
    if (text.size() > UserDefaults::kMaximumFileSize) tooLarge();  // it grew while being read
  }
  ::close(fd);
  state.kind = FileState::Kind::unreadable;
  if (!read) return state;
  state.mode = info.st_mode & 07777;
  state.device = info.st_dev;
  state.inode = info.st_ino;
  state.size = info.st_size;
  state.modified = info.st_mtim;
  state.changed = info.st_ctim;
  // A file that is not a JSON object (edited by hand, or from another program) is ignored, not fatal.
  if (jsonNestsDeeperThan(text, UserDefaults::kMaximumDepth)) return state;
  auto parsed = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (parsed.is_object()) {
    state.kind = FileState::Kind::object;
    state.values = std::move(parsed);
  }
  return state;
}

// The name of a temporary file that a write of `target` makes: the file's name, this marker, and the six
// letters or digits mkstemp puts in place of the Xs. The marker tells it from a file that someone keeps
// beside the settings under a name of the same shape ("defaults.json.backup").
constexpr std::string_view kTemporaryMarker = ".tmp.";
constexpr std::string_view kTemporaryTemplate = "XXXXXX";

bool isTemporaryOf(std::string_view name, const std::string& target) {
  if (name.size() != target.size() + kTemporaryMarker.size() + kTemporaryTemplate.size() ||
      !name.starts_with(target) || name.substr(target.size(), kTemporaryMarker.size()) != kTemporaryMarker) {
    return false;
  }
  const std::string_view random = name.substr(target.size() + kTemporaryMarker.size());
  return std::all_of(random.begin(), random.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
  });
}

// Removes the temporary files that writers of `target` killed before their rename left behind, each up to
// kMaximumFileSize, which nothing else would ever remove. Every writer holds the folder's lock from making its
// temporary file to renaming or removing it, and the caller holds it (`held`): one found here is no live
// writer's. Only regular files of this user are removed; whatever fails is left for a later write.
void removeAbandonedTemporaries(const fs::path& target, const FolderLock& /*held*/) {
  const std::string name = target.filename().string();
  // A path without a file name (an empty one, a folder's) names no file, and so has no temporary files: the
  // pattern would take hidden files of the folder.
  if (name.empty() || name == "." || name == "..") return;
  std::error_code error;
  for (fs::directory_iterator it(folderOf(target), error), end; !error && it != end; it.increment(error)) {
    if (!isTemporaryOf(it->path().filename().native(), name)) continue;
    struct stat info {};
    if (::lstat(it->path().c_str(), &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == ::geteuid()) {
      ::unlink(it->path().c_str());
    }
  }
}

// Write a sibling temporary file, fsync it, rename it over the target, then fsync the folder: a crash at any
// point leaves either the old or the new complete file. Returns the new file's state.
FileState persist(const fs::path& target, const FolderLock& folder, const nlohmann::json& values, mode_t mode) {
  // Serialise first: a value that cannot be encoded must fail before anything touches the disk.
  const std::string text = values.dump(2);
  if (text.size() > UserDefaults::kMaximumFileSize) {
    refuse(EFBIG, target, "would be larger than " + std::to_string(UserDefaults::kMaximumFileSize) + " bytes");
  }
  removeAbandonedTemporaries(target, folder);
  std::string tmpl = (folderOf(target) / (target.filename().string() + std::string(kTemporaryMarker) +
                                          std::string(kTemporaryTemplate))).string();
  const int fd = ::mkstemp(tmpl.data());
  if (fd < 0) fail(errno, "create " + tmpl);
  FileState written;
  try {
    if (mode != 0 && ::fchmod(fd, mode) != 0) fail(errno, "chmod");
    writeAll(fd, text);
    if (::fsync(fd) != 0) fail(errno, "fsync");
  } catch (...) {
    ::close(fd);
    ::unlink(tmpl.c_str());
    throw;
  }
  if (::rename(tmpl.c_str(), target.c_str()) != 0) {
    const int error = errno;
    ::close(fd);
    ::unlink(tmpl.c_str());
    fail(error, "rename");
  }
  // Taken after the rename, which moves the file's status-change time.
  struct stat info {};
  const bool known = ::fstat(fd, &info) == 0;
  ::close(fd);
  ::fsync(folder.fd());
  written.kind = FileState::Kind::object;
  if (known) {  // else nothing matches it, and the next read reads the file again
    written.device = info.st_dev;
    written.inode = info.st_ino;
    written.size = info.st_size;
    written.modified = info.st_mtim;
    written.changed = info.st_ctim;
  }
  return written;
}

}  // namespace

bool UserDefaults::Identity::operator==(const Identity& other) const {
  return device == other.device && inode == other.inode && size == other.size &&
         modified.tv_sec == other.modified.tv_sec && modified.tv_nsec == other.modified.tv_nsec &&
         changed.tv_sec == other.changed.tv_sec && changed.tv_nsec == other.changed.tv_nsec;
}

UserDefaults::UserDefaults(std::filesystem::path file) : file_(std::move(file)) {
  std::lock_guard lock(mutex_);
  refresh();
}

UserDefaults& UserDefaults::standard() {
  // Decided at each call: an application may name itself, or tests may move the configuration folder, after
  // something already used the defaults, and its settings must then go where it will look for them.
  std::string folder = AppInfo::bundleIdentifier();
  if (folder.empty()) folder = "tolvaran";
  fs::path file = userConfigFolder() / folder / "defaults.json";
  // One object per file, never destroyed: a reference handed out stays valid and keeps its file.
  static std::mutex mutex;
  static auto* opened = new std::map<fs::path, std::unique_ptr<UserDefaults>>();
  std::lock_guard lock(mutex);
  auto& defaults = (*opened)[file];
  if (!defaults) defaults = std::make_unique<UserDefaults>(std::move(file));
  return *defaults;
}

void UserDefaults::refresh() const {
  struct stat info {};
  if (::stat(file_.c_str(), &info) != 0) {
    if (errno == ENOENT && seen_) {  // removed since: what it held is gone
      values_ = nlohmann::json::object();
      seen_.reset();
    }
    return;
  }
  if (seen_ && *seen_ == Identity{info.st_dev, info.st_ino, info.st_size, info.st_mtim, info.st_ctim}) return;
  FileState state = readFile(file_);
  if (state.kind == FileState::Kind::missing) return;
  if (state.kind == FileState::Kind::object) values_ = std::move(state.values);
  seen_ = Identity{state.device, state.inode, state.size, state.modified, state.changed};
}

std::optional<nlohmann::json> UserDefaults::value(const std::string& key) const {
  std::lock_guard lock(mutex_);
  refresh();
  auto it = values_.find(key);
  if (it == values_.end()) return std::nullopt;
  return *it;
}

void UserDefaults::set(const std::string& key, nlohmann::json value) {
  requireReadableBack(key, value);
  change([&](nlohmann::json& values) {
    values[key] = std::move(value);
    return true;
  });
}

void UserDefaults::remove(const std::string& key) {
  change([&](nlohmann::json& values) { return values.erase(key) > 0; });
}

void UserDefaults::update(const std::string& key,
                          const std::function<bool(std::optional<nlohmann::json>&)>& edit) {
  change([&](nlohmann::json& values) {
    std::optional<nlohmann::json> value;
    if (const auto found = values.find(key); found != values.end()) value = *found;
    if (!edit(value)) return false;
    if (!value) return values.erase(key) > 0;
    requireReadableBack(key, *value);
    values[key] = std::move(*value);
    return true;
  });
}

// The change is made to the file as it is now, under the folder's lock, and adopted only once the file
// holds it: a value that cannot be written (text that is not UTF-8, a full disk) throws and leaves both
// memory and file as they were, so it cannot poison every later write.
// The folder's lock is taken before the object's: a write held back by another writer (for as long as
// FolderLock waits) then holds back the writes behind it, never the reads of this object.
void UserDefaults::change(const std::function<bool(nlohmann::json&)>& edit) {
  const fs::path target = writeTarget(file_);
  fs::create_directories(folderOf(target));
  const FolderLock folder(folderOf(target));
  std::lock_guard lock(mutex_);
  FileState current = readFile(target);
  // A file that could not be opened or read holds what it holds all the same (settings of another user, a
  // passing fault): replacing it would lose them, so the change fails instead. One that was read but holds
  // no settings (not JSON, not an object) is replaced by what this object knows.
  if (current.kind == FileState::Kind::unreadable && current.error != 0) {
    fail(current.error, "read " + target.string());
  }
  nlohmann::json next = current.kind == FileState::Kind::object    ? std::move(current.values)
                        : current.kind == FileState::Kind::missing ? nlohmann::json::object()
                                                                   : values_;
  if (!edit(next)) {
    if (current.kind == FileState::Kind::object) {
      values_ = std::move(next);
      seen_ = Identity{current.device, current.inode, current.size, current.modified, current.changed};
    }
    return;
  }
  const FileState written = persist(target, folder, next, current.mode);
  values_ = std::move(next);
  seen_ = Identity{written.device, written.inode, written.size, written.modified, written.changed};
}

}  // namespace foundation
