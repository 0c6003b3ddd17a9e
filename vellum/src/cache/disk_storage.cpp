#include "vellum/cache/disk_storage.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include <boost/asio/post.hpp>

#include "foundation/app_info.hpp"
#include "foundation/log.hpp"
#include "foundation/thread_pool.hpp"
#include "vellum/general/cache_key.hpp"
#include "vellum/general/queue_labels.hpp"
#include "vellum/general/vellum_error.hpp"

namespace vellum::DiskStorage {
namespace fs = std::filesystem;

namespace {

using Cache = VellumError::CacheErrorReason;

// A file-name part that cannot leave the storage directory or name the directory itself (an empty name would:
// removing it would remove the whole storage).
bool hasNoPathSyntax(std::string_view part) {
  return part != "." && part != ".." && part.find('/') == std::string_view::npos &&
         part.find('\0') == std::string_view::npos;
}
// Names the storage keeps for itself are no entry's either: a start would take such an entry for a write a crash
// left behind and delete it.
bool isSafeName(std::string_view name) {
  return !name.empty() && hasNoPathSyntax(name) && !name.starts_with(kTemporaryFilePrefix) &&
         name != kIncomingFolderName;
}

// The directory the entries are in: the storage's own, or the one it links to (a cache kept on another disk).
fs::path entriesDirectory(const fs::path& directory) {
  std::error_code error;
  if (!fs::is_symlink(directory, error)) return directory;
  fs::path resolved = fs::canonical(directory, error);
  return error ? directory : resolved;
}

std::string fileURLText(const fs::path& path) { return "file://" + path.string(); }

// Dates on disk are whole seconds, rounded up.
Date roundedUp(Date date) {
  if (date >= distantFuture()) return distantFuture();
  return std::chrono::ceil<std::chrono::seconds>(date);
}

std::string dateText(Date date) {
  const std::time_t t = std::chrono::system_clock::to_time_t(std::chrono::floor<std::chrono::seconds>(date));
  std::tm tm{};
  gmtime_r(&t, &tm);
  char text[40];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S +0000", &tm);
  return text;
}

std::map<std::string, std::string> attributesText(const FileDates& dates) {
  return {{"lastAccessDate", dateText(dates.lastAccess)}, {"modificationDate", dateText(dates.expiration)}};
}

fs::path defaultCachePath(const fs::path& base, const std::string& cacheName) { return base / cacheName; }

bool isMissing(const fs::filesystem_error& e) { return e.code() == std::errc::no_such_file_or_directory; }

// Whether the name holds a regular file, the only kind of item that is an entry (another program may put a
// FIFO, a link or a directory there). A status that cannot be read for another reason than absence counts
// as an entry, so that its failure is reported.
bool holdsEntry(const FileManager& fileManager, const fs::path& url) {
  try {
    return fileManager.status(url).isRegularFile;
  } catch (const fs::filesystem_error& e) {
    return !isMissing(e);
  }
}

std::exception_ptr invalidNameError(const fs::path& path) {
  return std::make_exception_ptr(fs::filesystem_error(
      "refused cache file name", path, std::make_error_code(std::errc::invalid_argument)));
}

}  // namespace

Config::Config(std::string name, std::uint64_t sizeLimit, std::shared_ptr<FileManager> fileManager,
               std::optional<Path> directory)
    : sizeLimit(sizeLimit),
      cachePathBlock(defaultCachePath),
      name(std::move(name)),
      fileManager(fileManager ? std::move(fileManager) : FileManager::defaultManager()),
      directory(std::move(directory)) {}

Creation::Creation(const Config& config) {
  if (!hasNoPathSyntax(config.name)) {
    // A programming error, like an empty cache name: the name would place the cache, and what clearing it
    // deletes, outside the base directory.
    foundation::log(foundation::LogLevel::error,
                    "[Vellum] The cache name is not permitted: it must not contain \"/\" or NUL, nor be \".\" or "
                    "\"..\".");
    std::abort();
  }
  fs::path base;
  if (config.directory) {
    base = *config.directory;
  } else {
    // An application that has said who it is keeps its caches in a folder of its own, so that two
    // applications' caches of one name never share (and sweep) each other's files. Without an identity, or
    // with one that is no folder name, the caches stay where they always were.
    base = config.fileManager->userCacheDirectory();
    const std::string identity = foundation::AppInfo::bundleIdentifier();
    if (isSafeName(identity)) base /= identity;
  }
  cacheName = "com.marrowby.Vellum.ImageCache." + config.name;
  directoryURL = config.cachePathBlock ? config.cachePathBlock(base, cacheName) : defaultCachePath(base, cacheName);
}

FileMeta::FileMeta(const Path& fileURL, unsigned keys, const FileManager& fileManager)
    : FileMeta(fileURL, keys, fileManager.status(fileURL)) {}

FileMeta::FileMeta(Path fileURL, unsigned keys, const FileStatus& status) : url(std::move(fileURL)) {
  identity = status.identity;
  if (keys & unsigned(ResourceKey::isDirectory)) isDirectory = status.isDirectory;
  if (keys & unsigned(ResourceKey::lastAccessDate)) lastAccessDate = status.lastAccess;
  if (keys & unsigned(ResourceKey::contentModificationDate)) estimatedExpirationDate = status.modification;
  if (keys & unsigned(ResourceKey::fileSize)) fileSize = status.size;
}

bool FileMeta::isPastExpiry(Date referenceDate) const {
  return !estimatedExpirationDate || isPast(*estimatedExpirationDate, referenceDate);
}

void FileMeta::extendExpiry(FileManager& fileManager, const ExpirationExtending& extending) const {
  extendExpiry(fileManager, extending, foundation::Clock::now());
}

void FileMeta::extendExpiry(FileManager& fileManager, const ExpirationExtending& extending, Date accessDate) const {
  if (!lastAccessDate || !estimatedExpirationDate) return;
  StorageExpiration expiration = StorageExpiration::never();
  switch (extending.kind()) {
    case ExpirationExtending::Kind::none:
      return;
    case ExpirationExtending::Kind::cacheTime:
      expiration = StorageExpiration::seconds(secondsBetween(*lastAccessDate, *estimatedExpirationDate));
      break;
    case ExpirationExtending::Kind::expirationTime:
      expiration = extending.expiration();
      break;
  }
  const FileDates dates{roundedUp(accessDate), roundedUp(expiration.estimatedExpiration(accessDate))};
  try {
    fileManager.setDates(url, dates, identity);
  } catch (const std::exception&) {
    // The entry keeps its old dates: it expires sooner, which costs a download at worst.
  }
}

struct Backend::PendingDateUpdate {
  FileMeta meta;
  ExpirationExtending extending;
  Date accessDate;
};

struct Backend::State {
  explicit State(Config c) : config(std::make_shared<const Config>(std::move(c))) {}

  std::shared_ptr<const Config> snapshot() const {
    std::lock_guard lock(configMutex);
    return config;
  }

  mutable std::mutex configMutex;  // the property queue; a write replaces the whole configuration
  std::shared_ptr<const Config> config;

  mutable std::mutex maybeCachedMutex;  // the maybe-cached checking queue
  mutable std::condition_variable maybeCachedSettled;
  std::optional<std::unordered_set<std::string>> maybeCached;
  bool maybeCachedSetupCompleted = false;
  std::unordered_set<std::string> maybeCachedFilesStoredDuringSetup;

  std::atomic<bool> storageReady{true};

  std::mutex pendingMutex;
  std::unordered_map<std::string, PendingDateUpdate> pendingDateUpdates;
  bool dateUpdateScheduled = false;
};

Backend::Backend(Config config, bool creatingDirectory) {
  Creation creation(config);
  directoryURL_ = creation.directoryURL;
  cacheName_ = creation.cacheName;
  config.cachePathBlock = nullptr;
  state_ = std::make_shared<State>(std::move(config));
  metaChangingQueue_ = std::make_unique<foundation::SerialQueue>(cacheName_);
  if (creatingDirectory) {
    try {
      createDirectoryIfNeeded();
    } catch (const VellumError&) {
      // Not ready from now on; stores and look-ups say so.
    }
    loadMaybeCachedNames();
  }
}

Backend::Backend(Config config) : Backend(std::move(config), false) {
  createDirectoryIfNeeded();
  loadMaybeCachedNames();
}

Backend::~Backend() = default;

Config Backend::config() const { return *state_->snapshot(); }

void Backend::setConfig(Config config) {
  auto replacement = std::make_shared<const Config>(std::move(config));
  std::lock_guard lock(state_->configMutex);
  state_->config = std::move(replacement);
}

bool Backend::isStorageReady() const { return state_->storageReady.load(); }

void Backend::createDirectoryIfNeeded() { createDirectoryIfNeeded(directoryURL_); }

void Backend::createDirectoryIfNeeded(const Path& directory) {
  auto fileManager = state_->snapshot()->fileManager;
  if (fileManager->fileExists(directory)) return;
  try {
    fileManager->createDirectories(directory);
  } catch (const std::exception&) {
    state_->storageReady = false;
    throw VellumError::cacheError(Cache::CannotCreateDirectory{directory.string(), std::current_exception()});
  }
}

void Backend::loadMaybeCachedNames() {
  auto state = state_;
  auto fileManager = state_->snapshot()->fileManager;
  boost::asio::post(foundation::ThreadPool::shared(), [state, fileManager, directory = directoryURL_] {
    std::optional<std::unordered_set<std::string>> names;
    try {
      fileManager->removeLeftoverTemporaryFiles(directory);
      const auto listed = fileManager->contentsOfDirectory(directory);
      names.emplace(listed.begin(), listed.end());
    } catch (const std::exception&) {
      // Without the listing every look-up asks the file system.
    }
    {
      std::lock_guard lock(state->maybeCachedMutex);
      if (names) {
        names->insert(state->maybeCachedFilesStoredDuringSetup.begin(),
                      state->maybeCachedFilesStoredDuringSetup.end());
      }
      state->maybeCached = std::move(names);
      state->maybeCachedFilesStoredDuringSetup.clear();
      state->maybeCachedSetupCompleted = true;
    }
    state->maybeCachedSettled.notify_all();
  });
}

bool Backend::waitForMaybeCachedSetup(std::chrono::milliseconds timeout) const {
  std::unique_lock lock(state_->maybeCachedMutex);
  return state_->maybeCachedSettled.wait_for(lock, timeout, [this] { return state_->maybeCachedSetupCompleted; });
}

std::future<void> Backend::pendingDateUpdates() const {
  auto promise = std::make_shared<std::promise<void>>();
  auto future = promise->get_future();
  metaChangingQueue_->post([state = state_, promise] {
    applyDateUpdates(*state);
    promise->set_value();
  });
  return future;
}

// Date updates wait in a table, one per file (a later look-up's update supersedes an earlier one), and a
// task on the meta-changing queue applies whatever has gathered a moment later: a burst of hits costs one
// wake-up of the queue rather than one per hit. The dates are those of the look-up itself, so the delay
// changes nothing but when they land; pendingDateUpdates() applies the table at once.
void Backend::scheduleDateUpdate(FileMeta meta, const ExpirationExtending& extending) {
  const Date accessDate = foundation::Clock::now();
  {
    std::lock_guard lock(state_->pendingMutex);
    auto& pending = state_->pendingDateUpdates;
    // A file read again before its update ran mostly has its entry already: no new key then.
    if (auto it = pending.find(meta.url.native()); it != pending.end()) {
      it->second = PendingDateUpdate{std::move(meta), extending, accessDate};
    } else {
      std::string key = meta.url.native();
      pending.emplace(std::move(key), PendingDateUpdate{std::move(meta), extending, accessDate});
    }
    if (state_->dateUpdateScheduled) return;
    state_->dateUpdateScheduled = true;
  }
  metaChangingQueue_->postAfter(std::chrono::milliseconds(50), [state = state_] { applyDateUpdates(*state); });
}

void Backend::applyDateUpdates(State& state) {
  std::unordered_map<std::string, PendingDateUpdate> updates;
  {
    std::lock_guard lock(state.pendingMutex);
    updates.swap(state.pendingDateUpdates);
    state.dateUpdateScheduled = false;
  }
  if (updates.empty()) return;
  const auto fileManager = state.snapshot()->fileManager;
  for (auto& [path, update] : updates) {
    // A look-up reads no last-access attribute; the same lifetime again needs it, so it is read here, once
    // per batch, from the entry the look-up read (a replacement keeps its own dates).
    if (update.extending.kind() == ExpirationExtending::Kind::cacheTime) {
      try {
        const FileStatus current = fileManager->status(update.meta.url);
        if (current.identity != update.meta.identity) continue;
        update.meta.lastAccessDate = current.lastAccess;
        update.meta.estimatedExpirationDate = current.modification;
      } catch (const std::exception&) {
        continue;  // gone or unreadable: nothing to extend
      }
    }
    update.meta.extendExpiry(*fileManager, update.extending, update.accessDate);
  }
}

bool Backend::maybeCached(const std::string& name) const {
  std::lock_guard lock(state_->maybeCachedMutex);
  if (!state_->maybeCachedSetupCompleted || !state_->maybeCached) return true;
  return state_->maybeCached->count(name) != 0;
}

std::string Backend::fileName(const std::string& key, const std::optional<std::string>& forcedExtension) const {
  return fileName(*state_->snapshot(), key, forcedExtension);
}

std::string Backend::fileName(const Config& c, const std::string& key, const std::optional<std::string>& forcedExtension) {
  std::string name = c.usesHashedFileName ? sha256HexDigest(key) : key;
  std::optional<std::string> extension;
  if (forcedExtension) {
    extension = forcedExtension;
  } else if (c.pathExtension) {
    extension = c.pathExtension;
  } else if (c.usesHashedFileName && c.autoExtAfterHashedFileName) {
    extension = cacheFileExtension(key);
  }
  if (extension) name += "." + *extension;
  return name;
}

Path Backend::cacheFileURL(const std::string& key, const std::optional<std::string>& forcedExtension) const {
  return directoryURL_ / fileName(key, forcedExtension);
}

void Backend::store(const foundation::Bytes& value, const std::string& key,
                    std::optional<StorageExpiration> expiration, std::uint64_t writeOptions,
                    const std::optional<std::string>& forcedExtension) {
  if (!isStorageReady()) throw VellumError::cacheError(Cache::DiskStorageIsNotReady{fileURLText(directoryURL_)});
  const auto snapshot = state_->snapshot();
  const Config& c = *snapshot;
  const StorageExpiration used = expiration ? *expiration : c.expiration;
  if (used.isExpired()) return;

  const std::string name = fileName(c, key, forcedExtension);
  const Path url = directoryURL_ / name;
  const std::optional<std::string>& extension = forcedExtension ? forcedExtension : c.pathExtension;
  if (!isSafeName(name) || (extension && !hasNoPathSyntax(*extension))) {
    throw VellumError::cacheError(Cache::CannotCreateCacheFile{fileURLText(url), key, value, invalidNameError(url)});
  }

  const Date now = foundation::Clock::now();
  const FileDates dates{roundedUp(now), roundedUp(used.estimatedExpiration(now))};
  auto write = [&] { c.fileManager->writeFile(url, value, dates, writeOptions); };
  try {
    try {
      write();
    } catch (const DateSettingError&) {
      throw;
    } catch (const fs::filesystem_error& e) {
      if (!isMissing(e)) throw;
      // The directory went away under us (cleared from outside): make it again and write once more.
      try {
        createDirectoryIfNeeded();
      } catch (const VellumError& directoryError) {
        const auto* reason = directoryError.cacheReason();
        const auto* cannot = reason ? std::get_if<Cache::CannotCreateDirectory>(&reason->value) : nullptr;
        throw VellumError::cacheError(Cache::CannotCreateCacheFile{
            fileURLText(url), key, value, cannot ? cannot->error : std::current_exception()});
      }
      write();
    }
  } catch (const DateSettingError&) {
    throw VellumError::cacheError(
        Cache::CannotSetCacheFileAttribute{url.string(), attributesText(dates), std::current_exception()});
  } catch (const VellumError&) {
    throw;
  } catch (const std::exception&) {
    throw VellumError::cacheError(Cache::CannotCreateCacheFile{fileURLText(url), key, value, std::current_exception()});
  }

  rememberName(name);
}

void Backend::rememberName(const std::string& name) {
  std::lock_guard lock(state_->maybeCachedMutex);
  if (!state_->maybeCachedSetupCompleted) state_->maybeCachedFilesStoredDuringSetup.insert(name);
  if (state_->maybeCached) state_->maybeCached->insert(name);
}

std::optional<foundation::Bytes> Backend::readValue(const std::string& key,
                                                    const std::optional<std::string>& forcedExtension,
                                                    Date referenceDate, bool loadContents,
                                                    const ExpirationExtending& extending) {
  if (!isStorageReady()) throw VellumError::cacheError(Cache::DiskStorageIsNotReady{fileURLText(directoryURL_)});
  const auto snapshot = state_->snapshot();
  const Config& c = *snapshot;
  const std::string name = fileName(c, key, forcedExtension);
  const std::optional<std::string>& extension = forcedExtension ? forcedExtension : c.pathExtension;
  if (!isSafeName(name) || (extension && !hasNoPathSyntax(*extension))) return std::nullopt;
  Path url = directoryURL_ / name;
  // The set knows what this backend listed at start and stored since; another cache of the same name, in
  // this process or another, may have stored meanwhile. So a name outside it costs one look at the file
  // system (no open, no exception) before it is answered as absent.
  if (!maybeCached(name)) {
    if (!c.fileManager->fileExists(url)) return std::nullopt;
    rememberName(name);
  }

  const unsigned keys = ResourceKey::contentModificationDate | ResourceKey::lastAccessDate | ResourceKey::fileSize;
  // A name that is gone, or that holds no regular file, holds no entry: absent, not an error.
  auto unreadableMeta = [&](const fs::filesystem_error& e) -> std::optional<foundation::Bytes> {
    if (isMissing(e) || !holdsEntry(*c.fileManager, url)) return std::nullopt;
    throw VellumError::cacheError(Cache::InvalidURLResource{std::current_exception(), key, fileURLText(url)});
  };
  if (!loadContents) {
    try {
      const FileStatus status = c.fileManager->status(url);
      if (!status.isRegularFile || isPast(status.modification, referenceDate)) return std::nullopt;
      return foundation::Bytes{};
    } catch (const fs::filesystem_error& e) {
      return unreadableMeta(e);
    }
  }

  // One open serves the metadata and the contents; an expired file is not read. The expiry is the
  // modification time, which every status carries.
  FileStatus status;
  std::optional<foundation::Bytes> data;
  try {
    data = c.fileManager->readFileIf(url, status,
                                     [referenceDate](const FileStatus& s) { return !isPast(s.modification, referenceDate); });
  } catch (const FileReadError&) {
    throw VellumError::cacheError(Cache::CannotLoadDataFromDisk{fileURLText(url), std::current_exception()});
  } catch (const fs::filesystem_error& e) {
    return unreadableMeta(e);
  }
  if (!data) return std::nullopt;
  if (extending.kind() != ExpirationExtending::Kind::none) {
    scheduleDateUpdate(FileMeta(std::move(url), keys, status), extending);
  }
  return data;
}

std::optional<foundation::Bytes> Backend::value(const std::string& key,
                                                const std::optional<std::string>& forcedExtension,
                                                const ExpirationExtending& extending) {
  return readValue(key, forcedExtension, foundation::Clock::now(), true, extending);
}

bool Backend::isCached(const std::string& key, Date referenceDate, const std::optional<std::string>& forcedExtension) {
  try {
    return readValue(key, forcedExtension, referenceDate, false, ExpirationExtending::none()).has_value();
  } catch (...) {
    return false;  // whatever the file manager threw: a question with a yes-or-no answer never fails
  }
}

bool Backend::isCached(const std::string& key, const std::optional<std::string>& forcedExtension) {
  return isCached(key, foundation::Clock::now(), forcedExtension);
}

void Backend::deleteFile(const Path& url) { state_->snapshot()->fileManager->removeItem(url); }

void Backend::remove(const std::string& key, const std::optional<std::string>& forcedExtension) {
  const auto snapshot = state_->snapshot();
  const Config& c = *snapshot;
  const std::string name = fileName(c, key, forcedExtension);
  const std::optional<std::string>& extension = forcedExtension ? forcedExtension : c.pathExtension;
  const Path url = directoryURL_ / name;
  if (!isSafeName(name) || (extension && !hasNoPathSyntax(*extension))) {
    throw fs::filesystem_error("refused cache file name", url, std::make_error_code(std::errc::invalid_argument));
  }
  deleteFile(url);
}

void Backend::removeAll(bool skipRecreatingDirectory) {
  // Forgotten before the removal, so a store racing it keeps its name; a look-up afterwards of what was here
  // costs one status call, not an open and its exception.
  {
    std::lock_guard lock(state_->maybeCachedMutex);
    if (state_->maybeCachedSetupCompleted && state_->maybeCached) state_->maybeCached->clear();
  }
  // Other caches of the same name, here or in other processes, may store, sweep or clear in the directory
  // at the same time: entries vanish and appear under a walk over it. So the whole tree is first moved aside
  // in one step (every entry stored before this call goes with it), the directory is made anew for the
  // writers, and only then is the moved tree deleted, where nobody else looks.
  // A storage directory that is a link is cleared where it points, and made anew there: moved aside, the link
  // itself would take none of the entries with it, and a directory made in its place would hide them for good.
  const Path entries = entriesDirectory(directoryURL_);
  const auto fileManager = state_->snapshot()->fileManager;
  const std::optional<Path> aside = fileManager->moveAside(entries);
  if (!aside) {
    fileManager->removeItem(entries);  // could not be moved (another file system, say): in place
    if (!skipRecreatingDirectory) createDirectoryIfNeeded(entries);
    return;
  }
  if (!skipRecreatingDirectory) createDirectoryIfNeeded(entries);
  try {
    fileManager->removeItem(*aside);
  } catch (const fs::filesystem_error& e) {
    // Another cache of the same name starting meanwhile removes set-aside trees as it removes a crash's: gone
    // already is what this step is for.
    if (!isMissing(e)) throw;
  }
}

std::vector<Path> Backend::listFileURLs() const {
  try {
    return state_->snapshot()->fileManager->enumerate(directoryURL_);
  } catch (...) {  // a file manager of the application's may throw anything
    throw VellumError::cacheError(Cache::FileEnumeratorCreationFailed{fileURLText(directoryURL_)});
  }
}

// Stores and sweeps may run at once (two processes can share a cache): a sweep deletes a file only while it
// is still the one whose metadata it judged, so an entry stored again since is left alone.
namespace {

// Removes `url` when it still is `identity` (any file when none); false when a newer file holds the name.
// A file already gone counts as removed. Throws filesystem_error for any other failure.
bool removeJudged(FileManager& fileManager, const Path& url, const std::optional<FileIdentity>& identity) {
  try {
    if (identity) return fileManager.removeItemIfUnchanged(url, *identity);
    fileManager.removeItem(url);
  } catch (const fs::filesystem_error& e) {
    if (!isMissing(e)) throw;
  }
  return true;
}

}  // namespace

SweepResult Backend::removeExpiredValues(Date referenceDate) {
  const auto fileManager = state_->snapshot()->fileManager;
  SweepResult result;
  std::vector<std::pair<Path, std::optional<FileIdentity>>> expired;
  for (const auto& url : listFileURLs()) {
    try {
      const FileMeta meta(url, ResourceKey::isDirectory | ResourceKey::contentModificationDate, *fileManager);
      if (!meta.isDirectory && meta.isPastExpiry(referenceDate)) expired.emplace_back(url, meta.identity);
    } catch (const fs::filesystem_error& e) {
      // Gone since the listing: nothing to judge, and the name may already hold a new entry.
      if (isMissing(e)) continue;
      expired.emplace_back(url, std::nullopt);  // unreadable metadata: nothing says the file is still good
    }
  }
  for (const auto& [url, identity] : expired) {
    try {
      if (!removeJudged(*fileManager, url, identity)) continue;
    } catch (const fs::filesystem_error& e) {
      // One file that cannot go must not keep the others: each later sweep would stop at it again.
      if (!result.error) result.error = e;
      continue;
    }
    result.removed.push_back(url);
  }
  return result;
}

SweepResult Backend::removeExpiredValues() { return removeExpiredValues(foundation::Clock::now()); }

SweepResult Backend::removeSizeExceededValues() {
  const auto snapshot = state_->snapshot();
  const Config& c = *snapshot;
  SweepResult result;
  if (c.sizeLimit == 0) return result;
  std::uint64_t total = totalSize();
  if (total < c.sizeLimit) return result;

  std::vector<FileMeta> files;
  for (const auto& url : listFileURLs()) {
    try {
      FileMeta meta(url, ResourceKey::isDirectory | ResourceKey::lastAccessDate | ResourceKey::fileSize,
                    *c.fileManager);
      // Directories are not entries: deleting one would take files the total never counted.
      if (!meta.isDirectory) files.push_back(std::move(meta));
    } catch (const fs::filesystem_error&) {
    }
  }
  std::sort(files.begin(), files.end(), [](const FileMeta& a, const FileMeta& b) {
    return a.lastAccessDate.value_or(distantPast()) > b.lastAccessDate.value_or(distantPast());
  });
  const std::uint64_t target = c.sizeLimit / 2;
  while (total > target && !files.empty()) {
    const FileMeta meta = std::move(files.back());
    files.pop_back();
    try {
      if (!removeJudged(*c.fileManager, meta.url, meta.identity)) continue;
    } catch (const fs::filesystem_error& e) {
      // The next least recently used goes in its place, or the directory would stay over its limit for good.
      if (!result.error) result.error = e;
      continue;
    }
    total -= std::min<std::uint64_t>(total, static_cast<std::uint64_t>(std::max<std::int64_t>(meta.fileSize, 0)));
    result.removed.push_back(meta.url);
  }
  return result;
}

std::uint64_t Backend::totalSize() const {
  const auto fileManager = state_->snapshot()->fileManager;
  std::uint64_t total = 0;
  for (const auto& url : listFileURLs()) {
    try {
      const FileMeta meta(url, ResourceKey::isDirectory | ResourceKey::fileSize, *fileManager);
      if (!meta.isDirectory) total += static_cast<std::uint64_t>(std::max<std::int64_t>(meta.fileSize, 0));
    } catch (...) {
      // Unreadable metadata adds nothing, whatever the file manager threw.
    }
  }
  return total;
}

}  // namespace vellum::DiskStorage
