#pragma once
// DiskStorage::FileManager: every file-system call the disk storage makes. The default one works on POSIX
// files; tests derive from it to inject failures (the storage must behave when a write, a date update or a
// deletion fails, and running as root makes permission tricks useless).
//
// Where an entry's dates live: the expiry in the file's modification time; the last access in the extended
// attribute "user.vellum.lastAccess" (whole seconds since 1970, in decimal), which only this library writes,
// so that outside reads (a backup, an indexer) never change which entries a size sweep removes. The access
// time is set to the same date alongside and is what counts where the attribute is missing: on file systems
// without user extended attributes, and for files written before the attribute was used. The storage's own
// reads open files with O_NOATIME (the kernel refuses it to a process that does not own the file; such reads
// fall back to a plain open).
#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <system_error>
#include <vector>

#include "foundation/bytes.hpp"
#include "vellum/cache/storage_expiration.hpp"

namespace vellum::DiskStorage {

// Which file a path named when it was looked at: a store replaces an entry by renaming a new file over it,
// so the identity tells an old entry from its replacement. A freed inode number is soon given to a new file,
// so the change time (with its nanoseconds) is part of it: writeFile reads the new file's status just before
// the rename, which makes kernels with fine-grained timestamps (Linux 6.13 and later on ext4, XFS, Btrfs,
// tmpfs) stamp the rename with a fine-grained change time. Older kernels stamp at their tick (a few ms), and
// a file replaced within one tick by one on the same inode is then not told apart.
struct FileIdentity {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::int64_t changeSeconds = 0;
  std::int64_t changeNanoseconds = 0;
  friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};

struct FileStatus {
  bool isDirectory = false;
  bool isSymbolicLink = false;
  // Only a regular file is an entry: anything else another program put under an entry's name (a FIFO, a
  // device, a link, a directory) is no cached value.
  bool isRegularFile = false;
  std::int64_t size = 0;
  Date lastAccess;    // our attribute, else the access time
  Date modification;  // modification time: the entry's expiry
  FileIdentity identity;
};

struct FileDates {
  Date lastAccess;
  Date expiration;
};

// Bits of the write options a store takes (Foundation's Data.WritingOptions values where one exists).
namespace WriteOptions {
// Always so: a new file is written under a temporary name and renamed over the entry.
inline constexpr std::uint64_t atomic = 1;
// Fails (file_exists) when a file for the entry is already there, instead of replacing it.
inline constexpr std::uint64_t withoutOverwriting = 2;
// The file and the directory entry are flushed to the disk (fsync) before the store returns.
inline constexpr std::uint64_t synchronous = 4;
// Other bits, file protection classes included, have no Linux counterpart and are ignored.
}  // namespace WriteOptions

// Raised by FileManager::writeFile when the entry's dates could not be set; nothing was written then.
class DateSettingError : public std::filesystem::filesystem_error {
 public:
  using std::filesystem::filesystem_error::filesystem_error;
};

// Raised by FileManager::readFileIf when the file was opened but its contents could not be read.
class FileReadError : public std::filesystem::filesystem_error {
 public:
  using std::filesystem::filesystem_error::filesystem_error;
};

class FileManager {
 public:
  virtual ~FileManager() = default;
  static std::shared_ptr<FileManager> defaultManager();

  // $XDG_CACHE_HOME when absolute, else the home's .cache (HOME, or the account's home without it), else the
  // system's temporary directory.
  virtual std::filesystem::path userCacheDirectory() const;
  virtual bool fileExists(const std::filesystem::path& path) const;
  // Makes the directory and any missing parents. Throws filesystem_error.
  virtual void createDirectories(const std::filesystem::path& path);
  // The names in a directory, one level, hidden ones included. Throws filesystem_error.
  virtual std::vector<std::string> contentsOfDirectory(const std::filesystem::path& path) const;
  // Every entry under `root`, depth first, without following symbolic links, and without the storage's own
  // names (kTemporaryFilePrefix, kIncomingFolderName), hidden folders and hidden names below `root`'s own level
  // (nor what lies under any of them). A hidden file directly in `root` is listed: with plain file names a key
  // may start with a dot. Throws filesystem_error when `root` cannot be opened.
  virtual std::vector<std::filesystem::path> enumerate(const std::filesystem::path& root) const;
  // The entry's status without following a symbolic link. Throws filesystem_error.
  virtual FileStatus status(const std::filesystem::path& path) const;
  // Opens the file, fills `status` from the open file, and reads the whole of it when `wanted(status)` says
  // so (none otherwise). The last-access attribute is not read (`lastAccess` is the access time): a read
  // needs only the expiry, and a read is what must stay one open, one status and one read; status() has it.
  // Throws FileReadError when the contents cannot be read, filesystem_error when the file cannot be opened
  // or its status read.
  virtual std::optional<foundation::Bytes> readFileIf(const std::filesystem::path& path, FileStatus& status,
                                                      const std::function<bool(const FileStatus&)>& wanted) const;
  // Writes a new file under a temporary hidden name in the directory's folder for incoming files (made when
  // missing; beside `path` when it cannot be had), sets its dates and renames it over `path`, so the name
  // never shows a half-written entry; honours `options` (WriteOptions). Throws DateSettingError when the
  // dates cannot be set, filesystem_error for any other failure (file_exists for a refused overwrite); on
  // failure `path` is untouched.
  virtual void writeFile(const std::filesystem::path& path, std::span<const std::uint8_t> data,
                         const FileDates& dates, std::uint64_t options);
  // Sets the dates of the file at `path` when it still is `expected` (any file when none is given).
  // Answers whether it did. Throws filesystem_error.
  virtual bool setDates(const std::filesystem::path& path, const FileDates& dates,
                        std::optional<FileIdentity> expected);
  // Removes a file, a symbolic link (never what it points to) or a directory with its contents; what vanishes
  // inside the directory while it is removed counts as removed. Throws filesystem_error
  // (no_such_file_or_directory when nothing is there).
  virtual void removeItem(const std::filesystem::path& path);
  // Removes the file at `path` only while it still is `expected`; answers false, leaving the name to the
  // newer file, when a store has replaced it. The check and the removal are one step as far as this
  // process's stores and removals are concerned (they wait for it); against other processes the name is first
  // renamed aside, and what was taken is put back when it is not `expected`.
  // Throws filesystem_error (no_such_file_or_directory when nothing is there).
  virtual bool removeItemIfUnchanged(const std::filesystem::path& path, const FileIdentity& expected);
  // Renames the directory at `path` to a new hidden name beside it, in one step, and answers that name; none
  // when it cannot be renamed (another file system, a mount point, no right to write beside it). Throws
  // filesystem_error (no_such_file_or_directory when nothing is there).
  virtual std::optional<std::filesystem::path> moveAside(const std::filesystem::path& path);
  // Removes temporary files that a crashed write left in `directory` or its folder for incoming files (a
  // write still in progress keeps its), and the trees that clears of `directory` moved aside and did not
  // live to delete.
  virtual void removeLeftoverTemporaryFiles(const std::filesystem::path& directory);
};

// Names of the temporary files writeFile makes start with this (listings and sweeps skip them).
inline constexpr std::string_view kTemporaryFilePrefix = ".vellum-tmp-";
// The folder inside a cache's directory where writeFile makes its files before renaming them into place
// (listings and sweeps skip it and what it holds).
inline constexpr std::string_view kIncomingFolderName = ".vellum-incoming";

}  // namespace vellum::DiskStorage
