#pragma once
// UserDefaults: small persistent settings, one JSON object in a file, rewritten atomically (temporary file,
// fsync, rename) on every change so a crash leaves the old or the new file, never a broken one. The temporary
// file ("<file>.tmp.XXXXXX") that a writer killed before its rename leaves behind goes with the next change.
// `standard()` lives at $XDG_CONFIG_HOME/<bundle identifier or "tolvaran">/defaults.json ($HOME/.config when
// that is unset, empty or relative, the account's home without HOME), as they are at the call: once the
// application sets its identity (AppInfo) or its folder, later calls give that file's object.
//
// A file that is a symbolic link stays one: writes replace the file it leads to, keeping its permissions.
// Several objects may share a file, in one process or several: a change is made to what the file holds at
// that moment (under a lock on its folder, so that two writers take turns), so each changes only its own
// keys and loses none of the others', and a read sees what another object wrote since.
//
// The file must be a regular file (directly or through links) of at most kMaximumFileSize bytes. Anything else
// (a FIFO, a device, a folder, a larger file) is refused: the constructor, value(), set() and remove() throw
// std::system_error naming the path, and nothing is read from it or written over it.
#include <sys/types.h>

#include <cstddef>
#include <ctime>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace foundation {

class UserDefaults {
 public:
  // The largest file that is read, and so the largest that a change may write.
  static constexpr std::size_t kMaximumFileSize = 4 * 1024 * 1024;
  // The deepest nesting of objects and arrays that is read, the file's own object counting as one; a file
  // nested deeper is ignored like any file that does not hold settings.
  static constexpr std::size_t kMaximumDepth = 64;

  explicit UserDefaults(std::filesystem::path file);
  // The object of the file the current identity and folder name; the same object for the same file, never
  // destroyed, so a reference taken earlier stays valid and keeps its file.
  static UserDefaults& standard();

  std::optional<nlohmann::json> value(const std::string& key) const;
  // Both write the whole file before they return. A change that cannot be persisted (a string that is not
  // UTF-8, an unwritable folder, another writer holding the file for more than a few seconds, a file that
  // would grow past kMaximumFileSize, a file that is there but cannot be opened or read) throws and changes
  // nothing, in memory or on disk. So does, with
  // std::invalid_argument, a value that could not be read back as given: nested deeper than kMaximumDepth
  // allows, or holding NaN, infinity, binary data or a discarded value (a failed parse's result).
  void set(const std::string& key, nlohmann::json value);
  void remove(const std::string& key);
  // Reads and changes the value under `key` in one step: `edit` is given what the file holds under it now (none
  // when absent) and may change it (none removes it); when it returns false nothing is written. Other objects
  // and processes changing the file take their turn after it, so a check and the change it leads to are never
  // split. Throws as set() does. `edit` runs under the file's lock: it must not call this object.
  void update(const std::string& key, const std::function<bool(std::optional<nlohmann::json>&)>& edit);
  const std::filesystem::path& file() const { return file_; }

 private:
  // Which file the path held when it was last read or written: another one means someone wrote since. The
  // status-change time is there for a write that keeps the rest (in place, same size, time set back).
  struct Identity {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    timespec modified{};
    timespec changed{};
    bool operator==(const Identity& other) const;
  };
  // Reads the file again if it is not the one last seen. Called with `mutex_` held.
  void refresh() const;
  // Applies `edit` to what the file holds now and writes the result, unless `edit` says it changed nothing.
  void change(const std::function<bool(nlohmann::json&)>& edit);
  std::filesystem::path file_;
  mutable std::mutex mutex_;
  mutable nlohmann::json values_ = nlohmann::json::object();
  mutable std::optional<Identity> seen_;
};

}  // namespace foundation
