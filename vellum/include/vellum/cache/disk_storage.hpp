#pragma once
// DiskStorage::Backend: the disk half of the image cache, one file per key in one directory. Each entry's
// expiry lives in its file's modification time and its last access in an extended attribute of ours, with
// the access time as the fallback (see file_manager.hpp), both whole seconds rounded up; there is no index
// file. New files are made in a hidden folder inside the directory and renamed into place. A set of the
// names known to exist, listed once at start in the background, lets a look-up of a name outside it cost
// one status call rather than an open: other caches of the same name (in this process or another) store
// into the same directory, so a name outside the set is still asked of the file system.
//
// Example, given const foundation::Bytes& bytes:
//   vellum::DiskStorage::Config config("avatars", /*sizeLimit=*/50 << 20);
//   vellum::DiskStorage::Backend disk(config);           // throws VellumError when the directory cannot be made
//   disk.store(bytes, "https://example.com/a.png");
//   std::optional<foundation::Bytes> hit = disk.value("https://example.com/a.png");
//   auto swept = disk.removeExpiredValues();              // swept.removed, and swept.error when one failed
//
// Keys become file names (their SHA-256 by default). A name, extension or cache name holding "/" or NUL, or
// equal to "." or "..", is refused: such a store fails with cannotCreateCacheFile, a look-up finds nothing, a
// removal fails, and such a cache name stops the process as an empty cache name does.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "foundation/bytes.hpp"
#include "foundation/serial_queue.hpp"
#include "vellum/cache/file_manager.hpp"
#include "vellum/cache/storage_expiration.hpp"

namespace vellum::DiskStorage {

using Path = std::filesystem::path;

struct Config {
  Config(std::string name, std::uint64_t sizeLimit,
         std::shared_ptr<FileManager> fileManager = FileManager::defaultManager(),
         std::optional<Path> directory = std::nullopt);

  // Byte budget of the directory; 0 means no limit.
  std::uint64_t sizeLimit;
  StorageExpiration expiration = StorageExpiration::days(7);
  // Appended to every file name (without the dot).
  std::optional<std::string> pathExtension;
  bool usesHashedFileName = true;
  // With hashed names and no pathExtension, append the key's own extension.
  bool autoExtAfterHashedFileName = false;
  // Where the storage directory lies, from the base directory and the cache name.
  std::function<Path(const Path& base, const std::string& cacheName)> cachePathBlock;
  std::string name;
  std::shared_ptr<FileManager> fileManager;
  // Base directory; none means the user's cache directory, or, once the application has set its identity
  // (foundation::AppInfo), the folder named by that identity inside it.
  std::optional<Path> directory;
};

// The storage directory a configuration names.
struct Creation {
  explicit Creation(const Config& config);
  Path directoryURL;
  std::string cacheName;
};

// Which metadata a FileMeta is asked to carry.
enum class ResourceKey : unsigned {
  isDirectory = 1,
  lastAccessDate = 2,
  contentModificationDate = 4,
  fileSize = 8,
};
inline unsigned operator|(ResourceKey a, ResourceKey b) { return unsigned(a) | unsigned(b); }
inline unsigned operator|(unsigned a, ResourceKey b) { return a | unsigned(b); }

struct FileMeta {
  // Reads the metadata of the given keys (others take their defaults). Throws filesystem_error.
  FileMeta(const Path& fileURL, unsigned resourceKeys, const FileManager& fileManager);
  // From a status already read.
  FileMeta(Path fileURL, unsigned resourceKeys, const FileStatus& status);

  Path url;
  std::optional<Date> lastAccessDate;
  std::optional<Date> estimatedExpirationDate;
  bool isDirectory = false;
  std::int64_t fileSize = 0;
  FileIdentity identity;

  // No expiry date, or one not later than `referenceDate`.
  bool isPastExpiry(Date referenceDate) const;
  // Gives the file a new lifetime counted from now (the same lifetime again for cacheTime), unless the file
  // at `url` has been replaced since this metadata was read. Never fails.
  void extendExpiry(FileManager& fileManager, const ExpirationExtending& extending) const;
  // The same with the moment of the access given rather than read from the clock.
  void extendExpiry(FileManager& fileManager, const ExpirationExtending& extending, Date accessDate) const;
};

// What a sweep deleted, and the first deletion that failed, if one did.
struct SweepResult {
  std::vector<Path> removed;
  std::optional<std::filesystem::filesystem_error> error;
};

class Backend {
 public:
  // A ready backend: directory created, start-up listing started. Throws VellumError (cannotCreateDirectory).
  explicit Backend(Config config);
  // With `creatingDirectory`, creates the directory (a failure leaves the backend not ready) and starts the
  // listing; without, the caller runs createDirectoryIfNeeded() and loadMaybeCachedNames() itself.
  Backend(Config config, bool creatingDirectory);
  ~Backend();
  Backend(const Backend&) = delete;
  Backend& operator=(const Backend&) = delete;

  Config config() const;
  void setConfig(Config config);
  const Path& directoryURL() const { return directoryURL_; }
  bool isStorageReady() const;

  // Throws VellumError (cannotCreateDirectory) and marks the backend not ready for good.
  void createDirectoryIfNeeded();
  // Starts the background listing of the names already stored (and removes leftover temporary files).
  void loadMaybeCachedNames();

  // Throws VellumError. An already expired expiration writes nothing and reports nothing. `writeOptions` are
  // WriteOptions bits (file_manager.hpp): withoutOverwriting makes a store onto an existing entry fail with
  // cannotCreateCacheFile, synchronous flushes before returning; the rest are ignored.
  void store(const foundation::Bytes& value, const std::string& key,
             std::optional<StorageExpiration> expiration = std::nullopt, std::uint64_t writeOptions = 0,
             const std::optional<std::string>& forcedExtension = std::nullopt);
  // None when not stored or expired at `referenceDate`; `loadContents` false answers empty bytes without
  // reading the file or touching its dates. A hit extends the entry in the background. Throws VellumError.
  std::optional<foundation::Bytes> readValue(const std::string& key, const std::optional<std::string>& forcedExtension,
                                             Date referenceDate, bool loadContents,
                                             const ExpirationExtending& extending);
  std::optional<foundation::Bytes> value(const std::string& key,
                                         const std::optional<std::string>& forcedExtension = std::nullopt,
                                         const ExpirationExtending& extending = ExpirationExtending::cacheTime());
  bool isCached(const std::string& key, Date referenceDate,
                const std::optional<std::string>& forcedExtension = std::nullopt);
  bool isCached(const std::string& key, const std::optional<std::string>& forcedExtension = std::nullopt);

  std::string fileName(const std::string& key, const std::optional<std::string>& forcedExtension = std::nullopt) const;
  // directoryURL / fileName. For a refused name this is only a computed path; no operation uses it.
  Path cacheFileURL(const std::string& key, const std::optional<std::string>& forcedExtension = std::nullopt) const;

  // Throws filesystem_error, unchanged from the file manager.
  void deleteFile(const Path& url);
  void remove(const std::string& key, const std::optional<std::string>& forcedExtension = std::nullopt);
  // Everything stored before the call is gone when it returns, whatever other caches of the same name store,
  // sweep or clear meanwhile. Throws filesystem_error (no_such_file_or_directory when the directory is gone;
  // it is not made again then).
  void removeAll(bool skipRecreatingDirectory = false);

  // Every stored file and directory below the storage directory (the storage's own names skipped).
  // Throws VellumError (fileEnumeratorCreationFailed).
  std::vector<Path> listFileURLs() const;
  // Deletes files (never directories) past their expiry at `referenceDate`, and files whose metadata cannot
  // be read (files gone since the listing are skipped). A file replaced by a store since it was judged is
  // left alone and not reported. A deletion that fails stops nothing: the other files are still deleted, and
  // the first failure is reported. Throws VellumError only when the listing fails.
  SweepResult removeExpiredValues(Date referenceDate);
  SweepResult removeExpiredValues();
  // When the total reaches the limit, deletes the least recently accessed files until it is at most half the
  // limit. Directories and symbolic links' targets are never deleted; a file already gone counts as deleted,
  // one replaced by a store since it was judged is left alone. A file that cannot be deleted is passed over
  // for the next one, and the first such failure is reported.
  SweepResult removeSizeExceededValues();
  // Sum of the sizes of the stored files. Throws VellumError when the listing fails.
  std::uint64_t totalSize() const;

  // Waits until the start-up listing has finished (either way); false when `timeout` passed first.
  bool waitForMaybeCachedSetup(std::chrono::milliseconds timeout) const;
  // Applies the date updates that look-ups have queued so far (they otherwise run in batches a moment after
  // the look-ups) and is ready once they have run.
  std::future<void> pendingDateUpdates() const;

  struct State;

 private:
  struct PendingDateUpdate;
  void scheduleDateUpdate(FileMeta meta, const ExpirationExtending& extending);
  static void applyDateUpdates(State& state);
  bool maybeCached(const std::string& name) const;
  void rememberName(const std::string& name);
  static std::string fileName(const Config& config, const std::string& key,
                              const std::optional<std::string>& forcedExtension);
  void createDirectoryIfNeeded(const Path& directory);

  std::shared_ptr<State> state_;
  Path directoryURL_;
  std::string cacheName_;
  std::unique_ptr<foundation::SerialQueue> metaChangingQueue_;
};

}  // namespace vellum::DiskStorage
