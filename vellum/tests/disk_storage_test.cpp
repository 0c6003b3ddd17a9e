// The disk storage on a real directory: naming, dates on disk, readiness, refused names, the start-up
// listing, temporary files, the sweeps (expired files; least recently used first down to half the size
// limit; what a sweep reports when a deletion fails part-way), and failures provoked through a
// fault-injecting file manager (the tests may run as root, where taking permissions away provokes nothing).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <latch>
#include <optional>
#include <thread>

#include "cache_test_support.hpp"
#include "test_clock.hpp"
#include "vellum/general/cache_key.hpp"
#include "vellum/cache/disk_storage.hpp"
#include "vellum/general/vellum_error.hpp"

namespace vellum {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using DiskStorage::Backend;
using DiskStorage::Config;
using Cache = VellumError::CacheErrorReason;

foundation::Bytes bytes(std::size_t size, std::uint8_t fill = 7) { return foundation::Bytes(size, fill); }

struct Dates {
  std::int64_t atime;
  std::int64_t mtime;
};

Dates datesOf(const fs::path& path) {
  struct stat st {};
  EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
  return {st.st_atim.tv_sec, st.st_mtim.tv_sec};
}

std::int64_t secondsUp(foundation::Date date) {
  return std::chrono::ceil<std::chrono::seconds>(date.time_since_epoch()).count();
}

// The reason carried by a VellumError thrown by `f`; fails the test when none is thrown.
template <class Reason, class F>
std::optional<Reason> reasonOf(F&& f) {
  try {
    f();
  } catch (const VellumError& e) {
    if (const auto* cache = e.cacheReason()) {
      if (const auto* r = std::get_if<Reason>(&cache->value)) return *r;
    }
    ADD_FAILURE() << "unexpected error: " << e.what();
    return std::nullopt;
  }
  ADD_FAILURE() << "no error thrown";
  return std::nullopt;
}

// A file manager that fails or pauses where a test asks.
class FaultyFileManager : public DiskStorage::FileManager {
 public:
  std::atomic<bool> failDates{false};
  std::atomic<bool> failWrites{false};
  std::atomic<int> removalsBeforeFailure{-1};  // negative: never fail
  fs::path undeletable;                         // every removal of this one fails
  // When set, the listing says it got here and waits until `resumeListing` is ready. Waits are bounded, so
  // a failed test never leaves a pool thread stuck.
  std::promise<void>* listingReached = nullptr;
  std::shared_future<void> resumeListing;
  // When valid, each date update after a look-up waits until it is ready.
  std::shared_future<void> resumeDates;

  void writeFile(const fs::path& path, std::span<const std::uint8_t> data, const DiskStorage::FileDates& d,
                 std::uint64_t options) override {
    if (failWrites) throw fs::filesystem_error("injected", path, std::make_error_code(std::errc::no_space_on_device));
    if (failDates) {
      throw DiskStorage::DateSettingError("injected", path, std::make_error_code(std::errc::operation_not_permitted));
    }
    FileManager::writeFile(path, data, d, options);
  }
  std::vector<std::string> contentsOfDirectory(const fs::path& path) const override {
    auto names = FileManager::contentsOfDirectory(path);
    if (listingReached) {
      listingReached->set_value();
      resumeListing.wait_for(30s);
    }
    return names;
  }
  bool setDates(const fs::path& path, const DiskStorage::FileDates& d,
                std::optional<DiskStorage::FileIdentity> expected) override {
    if (resumeDates.valid()) resumeDates.wait_for(30s);
    return FileManager::setDates(path, d, expected);
  }
  void removeItem(const fs::path& path) override {
    countRemoval(path);
    FileManager::removeItem(path);
  }
  bool removeItemIfUnchanged(const fs::path& path, const DiskStorage::FileIdentity& expected) override {
    countRemoval(path);
    return FileManager::removeItemIfUnchanged(path, expected);
  }
  void countRemoval(const fs::path& path) {
    if (!undeletable.empty() && path == undeletable) {
      throw fs::filesystem_error("injected", path, std::make_error_code(std::errc::operation_not_permitted));
    }
    if (removalsBeforeFailure.load() == 0) {
      throw fs::filesystem_error("injected", path, std::make_error_code(std::errc::device_or_resource_busy));
    }
    if (removalsBeforeFailure.load() > 0) --removalsBeforeFailure;
  }
};

class DiskStorageTest : public test::FixedClockTest {
 protected:
  void SetUp() override {
    FixedClockTest::SetUp();
    // The death test's child process runs this too: it takes the parent's directory.
    directory_.emplace();
    base_ = directory_->path();
  }
  void TearDown() override {
    directory_.reset();
    FixedClockTest::TearDown();
  }
  Config config(std::shared_ptr<DiskStorage::FileManager> fm = DiskStorage::FileManager::defaultManager()) {
    return Config("test", 0, fm, base_);
  }
  std::unique_ptr<Backend> ready(Config c) {
    auto disk = std::make_unique<Backend>(std::move(c));
    EXPECT_TRUE(disk->waitForMaybeCachedSetup(10s));
    return disk;
  }
  void settle(Backend& disk) { ASSERT_EQ(disk.pendingDateUpdates().wait_for(10s), std::future_status::ready); }

  std::optional<test::DirectoryOfDeathTest> directory_;
  fs::path base_;
};

TEST_F(DiskStorageTest, DirectoryAndFileNaming) {
  auto disk = ready(config());
  EXPECT_EQ(disk->directoryURL(), base_ / "com.marrowby.Vellum.ImageCache.test");
  EXPECT_TRUE(fs::is_directory(disk->directoryURL()));

  const std::string key = "https://example.com/a/photo.png@2x";
  EXPECT_EQ(disk->fileName(key), sha256HexDigest(key));
  EXPECT_EQ(disk->fileName(key, "jpg"), sha256HexDigest(key) + ".jpg");
  EXPECT_EQ(disk->fileName(key, ""), sha256HexDigest(key) + ".");  // an empty extension still adds the dot

  auto c = disk->config();
  c.autoExtAfterHashedFileName = true;
  disk->setConfig(c);
  EXPECT_EQ(disk->fileName(key), sha256HexDigest(key) + ".png");  // the key's own
  c.pathExtension = "dat";
  disk->setConfig(c);
  EXPECT_EQ(disk->fileName(key), sha256HexDigest(key) + ".dat");   // path extension over the key's own
  EXPECT_EQ(disk->fileName(key, "gif"), sha256HexDigest(key) + ".gif");  // forced over both
  c.pathExtension.reset();
  c.usesHashedFileName = false;
  disk->setConfig(c);
  EXPECT_EQ(disk->fileName("avatar-42"), "avatar-42");  // no auto extension without hashing
  EXPECT_EQ(disk->fileName("avatar-42", "png"), "avatar-42.png");

  // One key, two forced extensions: two files.
  disk->store(bytes(3, 1), "avatar-42", std::nullopt, 0, "png");
  disk->store(bytes(4, 2), "avatar-42", std::nullopt, 0, "jpg");
  EXPECT_TRUE(fs::exists(disk->directoryURL() / "avatar-42.png"));
  EXPECT_TRUE(fs::exists(disk->directoryURL() / "avatar-42.jpg"));
  EXPECT_EQ(disk->value("avatar-42", "jpg"), bytes(4, 2));
  EXPECT_EQ(disk->value("avatar-42"), std::nullopt);
}

TEST_F(DiskStorageTest, DefaultBaseIsTheXDGCacheDirectory) {
  const char* previous = std::getenv("XDG_CACHE_HOME");
  const std::string saved = previous ? previous : "";
  ::setenv("XDG_CACHE_HOME", base_.c_str(), 1);
  EXPECT_EQ(DiskStorage::Creation(Config("named", 0)).directoryURL, base_ / "com.marrowby.Vellum.ImageCache.named");
  if (previous) {
    ::setenv("XDG_CACHE_HOME", saved.c_str(), 1);
  } else {
    ::unsetenv("XDG_CACHE_HOME");
  }
}

TEST_F(DiskStorageTest, DatesOnDiskAfterStoreAndExtendingReads) {
  auto disk = ready(config());
  const auto t0 = now();
  disk->store(bytes(100), "k");
  const auto file = disk->cacheFileURL("k");
  EXPECT_EQ(datesOf(file).atime, secondsUp(t0));
  EXPECT_EQ(datesOf(file).mtime, secondsUp(t0 + 7 * 24h));

  // Read 3 days later with cacheTime: 7 days again, counted from the read.
  advance(3 * 24h);
  const auto t1 = now();
  EXPECT_EQ(disk->value("k"), bytes(100));
  settle(*disk);
  EXPECT_EQ(datesOf(file).atime, secondsUp(t1));
  EXPECT_EQ(datesOf(file).mtime, secondsUp(t1) + 7 * 86400);

  // `none` leaves the dates as they were.
  advance(24h);
  EXPECT_TRUE(disk->value("k", std::nullopt, ExpirationExtending::none()));
  settle(*disk);
  EXPECT_EQ(datesOf(file).atime, secondsUp(t1));

  // expirationTime: the given lifetime from now.
  EXPECT_TRUE(disk->value("k", std::nullopt, ExpirationExtending::expirationTime(StorageExpiration::seconds(60))));
  settle(*disk);
  EXPECT_EQ(datesOf(file).mtime, secondsUp(now() + 60s));

  // An existence check reads no contents and touches no dates.
  const auto before = datesOf(file);
  advance(10s);
  EXPECT_TRUE(disk->isCached("k"));
  settle(*disk);
  EXPECT_EQ(datesOf(file).atime, before.atime);

  // never: the clock's far end, which the file system holds.
  disk->store(bytes(1), "forever", StorageExpiration::never());
  EXPECT_EQ(datesOf(disk->cacheFileURL("forever")).mtime, secondsUp(distantFuture()));
}

// The lifetime a cacheTime read renews is the one the cache gave the entry, counted from its own last access;
// an outside read that moved the file's access time changes nothing of it.
TEST_F(DiskStorageTest, CacheTimeReadRenewsTheLifetimeTheCacheGave) {
  auto disk = ready(config());
  disk->store(bytes(100), "k", StorageExpiration::days(2));
  const auto file = disk->cacheFileURL("k");
  advance(24h);
  const timespec touched[2] = {{secondsUp(now() + 1h), 0}, {0, UTIME_OMIT}};
  ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), touched, 0), 0);
  advance(12h);
  const auto t1 = now();
  EXPECT_EQ(disk->value("k"), bytes(100));
  settle(*disk);
  EXPECT_EQ(datesOf(file).mtime, secondsUp(t1) + 2 * 86400);
}

TEST_F(DiskStorageTest, ExpiryBoundariesAndExpiredStores) {
  auto disk = ready(config());
  disk->store(bytes(5), "k", StorageExpiration::seconds(100));
  const auto expiry = Date(std::chrono::seconds(datesOf(disk->cacheFileURL("k")).mtime));
  EXPECT_TRUE(disk->readValue("k", std::nullopt, expiry - 1s, true, ExpirationExtending::none()));
  EXPECT_FALSE(disk->readValue("k", std::nullopt, expiry, true, ExpirationExtending::none()));  // equal: expired
  EXPECT_FALSE(disk->isCached("k", expiry));
  EXPECT_TRUE(disk->isCached("k", expiry - 1s));

  // Already expired: nothing written, no error, the earlier entry untouched.
  disk->store(bytes(9), "k", StorageExpiration::seconds(0));
  disk->store(bytes(9), "k", StorageExpiration::date(now() - 1s));
  disk->store(bytes(9), "new", StorageExpiration::expired());
  EXPECT_EQ(disk->value("k"), bytes(5));
  EXPECT_FALSE(fs::exists(disk->cacheFileURL("new")));
}

TEST_F(DiskStorageTest, DirectoryRemovedFromOutsideIsRecreated) {
  auto disk = ready(config());
  fs::remove_all(disk->directoryURL());
  disk->store(bytes(8), "k");
  EXPECT_EQ(disk->value("k"), bytes(8));

  disk->remove("k");
  EXPECT_FALSE(disk->value("k"));
  EXPECT_THROW(disk->remove("k"), fs::filesystem_error);  // the file manager's error, unchanged

  disk->store(bytes(8), "a");
  disk->removeAll();
  EXPECT_FALSE(disk->value("a"));
}

// Another process that opens the same cache while this one clears it removes, in its start-up clean-up, the
// tree the clear has just set aside (as it removes one a crash left). The clear has done what it was asked:
// it says so, rather than failing for a tree that is already gone.
TEST_F(DiskStorageTest, AClearWhoseSetAsideTreeAnotherStartRemovedHasSucceeded) {
  class StartingMeanwhile final : public DiskStorage::FileManager {
   public:
    void createDirectories(const fs::path& path) override {
      FileManager::createDirectories(path);
      if (!started.exchange(true)) FileManager::removeLeftoverTemporaryFiles(path);
    }
    std::atomic<bool> started{false};
  };
  auto fileManager = std::make_shared<StartingMeanwhile>();
  auto disk = ready(config(fileManager));
  disk->store(bytes(3), "a");
  fileManager->started = false;  // the storage's own directory is made: the next one is the clear's
  EXPECT_NO_THROW(disk->removeAll());
  EXPECT_TRUE(fileManager->started.load());
  EXPECT_FALSE(disk->value("a"));
  for (const auto& entry : fs::directory_iterator(base_)) {
    EXPECT_EQ(entry.path(), disk->directoryURL()) << "left behind";
  }
  disk->store(bytes(4), "b");
  EXPECT_EQ(disk->value("b"), bytes(4));
}

// Making a file holds its folder's lock while the inode is allocated, and a look-up of a name the folder
// does not hold (every cache miss) waits for that lock: entries are made in the incoming folder and only
// renamed into place. Whatever happens to that folder, stores keep working.
TEST_F(DiskStorageTest, EntriesAreMadeInTheIncomingFolderAndRenamedIntoPlace) {
  auto disk = ready(config());
  const fs::path incoming = disk->directoryURL() / DiskStorage::kIncomingFolderName;
  const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(watch, 0);
  ASSERT_GE(::inotify_add_watch(watch, disk->directoryURL().c_str(), IN_CREATE | IN_MOVED_TO), 0);
  for (int i = 0; i < 3; ++i) disk->store(bytes(4, std::uint8_t(i)), "k" + std::to_string(i));
  std::vector<std::string> created, movedIn;
  alignas(inotify_event) char buffer[8192];
  for (ssize_t n; (n = ::read(watch, buffer, sizeof buffer)) > 0;) {
    for (char* p = buffer; p < buffer + n;) {
      const auto* event = reinterpret_cast<const inotify_event*>(p);
      (event->mask & IN_CREATE ? created : movedIn).emplace_back(event->len ? event->name : "");
      p += sizeof(inotify_event) + event->len;
    }
  }
  ::close(watch);
  EXPECT_EQ(created, std::vector<std::string>{std::string(DiskStorage::kIncomingFolderName)});
  EXPECT_EQ(movedIn, (std::vector<std::string>{disk->fileName("k0"), disk->fileName("k1"), disk->fileName("k2")}));
  EXPECT_TRUE(fs::is_empty(incoming));

  // Something else under the folder's name: the file is made beside the entry instead.
  fs::remove(incoming);
  std::ofstream(incoming) << "not a folder";
  disk->store(bytes(5), "beside");
  EXPECT_EQ(disk->value("beside"), bytes(5));
  EXPECT_EQ(std::distance(fs::directory_iterator(disk->directoryURL()), fs::directory_iterator()), 5);

  // A clear takes the folder with everything else; the next store makes it again.
  disk->removeAll();
  disk->store(bytes(6), "after");
  EXPECT_EQ(disk->value("after"), bytes(6));
  EXPECT_TRUE(fs::is_directory(incoming) && fs::is_empty(incoming));
}

// Something may put a link where the incoming folder belongs (a tool that moved the cache's contents, a
// restore from a backup). Writing through it makes files outside the storage, and where the link leads to
// another file system the rename into place fails for every store: the disk cache would store nothing again.
TEST_F(DiskStorageTest, AnIncomingFolderThatIsALinkIsNotWrittenThrough) {
  auto disk = ready(config());
  disk->store(bytes(1), "first");
  const fs::path incoming = disk->directoryURL() / DiskStorage::kIncomingFolderName;
  ASSERT_TRUE(fs::is_directory(fs::symlink_status(incoming)));

  const fs::path outside = base_ / "outside";
  fs::create_directories(outside);
  fs::remove_all(incoming);
  fs::create_directory_symlink(outside, incoming);
  const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(watch, 0);
  ASSERT_GE(::inotify_add_watch(watch, outside.c_str(), IN_CREATE | IN_MOVED_TO), 0);
  disk->store(bytes(2), "same-disk");
  alignas(inotify_event) char buffer[4096];
  EXPECT_LT(::read(watch, buffer, sizeof buffer), 0) << "a file was made outside the storage";
  ::close(watch);
  EXPECT_EQ(disk->value("same-disk"), bytes(2));
  EXPECT_TRUE(fs::is_symlink(incoming));  // not ours to remove

  // Another file system: shared memory, where the machine has it apart from the test's directory.
  char pattern[] = "/dev/shm/vellum-incoming-XXXXXX";
  struct stat here {}, there {};
  if (::stat(base_.c_str(), &here) != 0 || !::mkdtemp(pattern)) {
    GTEST_SKIP() << "no second file system to link to";
  }
  const fs::path elsewhere = pattern;
  const bool apart = ::stat(elsewhere.c_str(), &there) == 0 && there.st_dev != here.st_dev;
  if (apart) {
    fs::remove(incoming);
    fs::create_directory_symlink(elsewhere, incoming);
    try {
      disk->store(bytes(3), "other-disk");
    } catch (const VellumError& error) {
      ADD_FAILURE() << error.what();
    }
    EXPECT_EQ(disk->value("other-disk"), bytes(3));
    EXPECT_TRUE(fs::is_empty(elsewhere));
  }
  fs::remove_all(elsewhere);
  if (!apart) GTEST_SKIP() << "/dev/shm is on the test directory's file system";
}

TEST_F(DiskStorageTest, DirectoryThatCannotBeCreatedLeavesStorageNotReady) {
  // A regular file where a directory should be: no permissions needed to make creation fail.
  std::ofstream(base_ / "plain") << "x";
  Config c("test", 0, DiskStorage::FileManager::defaultManager(), base_ / "plain");
  auto created = reasonOf<Cache::CannotCreateDirectory>([&] { Backend disk(c); });
  ASSERT_TRUE(created);
  EXPECT_EQ(created->path, (base_ / "plain" / "com.marrowby.Vellum.ImageCache.test").string());

  Backend disk(c, true);
  EXPECT_FALSE(disk.isStorageReady());
  EXPECT_TRUE(reasonOf<Cache::DiskStorageIsNotReady>([&] { disk.store(bytes(1), "k"); }));
  EXPECT_TRUE(reasonOf<Cache::DiskStorageIsNotReady>([&] { disk.value("k"); }));
  EXPECT_FALSE(disk.isCached("k"));
  // Even once the directory exists, the backend stays not ready.
  fs::remove(base_ / "plain");
  fs::create_directories(disk.directoryURL());
  EXPECT_FALSE(disk.isCached("k"));
  EXPECT_TRUE(reasonOf<Cache::DiskStorageIsNotReady>([&] { disk.store(bytes(1), "k"); }));
}

TEST_F(DiskStorageTest, WriteAndDateFailuresLeaveNoHalfEntry) {
  auto faulty = std::make_shared<FaultyFileManager>();
  auto disk = ready(config(faulty));
  disk->store(bytes(10, 1), "k");

  faulty->failDates = true;
  auto dates = reasonOf<Cache::CannotSetCacheFileAttribute>([&] { disk->store(bytes(20, 2), "k"); });
  ASSERT_TRUE(dates);
  EXPECT_EQ(dates->filePath, disk->cacheFileURL("k").string());
  EXPECT_EQ(dates->attributes.size(), 2u);
  faulty->failDates = false;
  EXPECT_EQ(disk->value("k"), bytes(10, 1));  // the earlier entry is intact

  faulty->failWrites = true;
  auto write = reasonOf<Cache::CannotCreateCacheFile>([&] { disk->store(bytes(30, 3), "k"); });
  ASSERT_TRUE(write);
  EXPECT_EQ(write->key, "k");
  EXPECT_EQ(write->data.size(), 30u);
  faulty->failWrites = false;
  EXPECT_EQ(disk->value("k"), bytes(10, 1));

  // Nothing but the entry and the (empty) folder for incoming files: no temporary files left behind.
  const fs::path incoming = disk->directoryURL() / DiskStorage::kIncomingFolderName;
  EXPECT_EQ(std::distance(fs::directory_iterator(disk->directoryURL()), fs::directory_iterator()), 2);
  EXPECT_TRUE(fs::is_directory(incoming) && fs::is_empty(incoming));
}

TEST_F(DiskStorageTest, RefusedNamesStayInsideTheCache) {
  auto c = config();
  c.usesHashedFileName = false;
  auto disk = ready(c);
  const fs::path outside = base_ / "x";
  // The storage's own names too: a start takes a file under them for a write a crash left, and deletes it.
  const std::string reserved = std::string(DiskStorage::kTemporaryFilePrefix) + "avatar";
  for (const std::string& key : std::vector<std::string>{"../x", "a/../../x", "..", ".", std::string("a\0b", 3), "",
                                                         reserved, std::string(DiskStorage::kIncomingFolderName)}) {
    EXPECT_TRUE(reasonOf<Cache::CannotCreateCacheFile>([&] { disk->store(bytes(1), key); })) << key;
    EXPECT_FALSE(disk->value(key)) << key;
    EXPECT_FALSE(disk->isCached(key)) << key;
    EXPECT_THROW(disk->remove(key), fs::filesystem_error) << key;
  }
  EXPECT_FALSE(fs::exists(outside));
  EXPECT_TRUE(fs::is_directory(disk->directoryURL()));  // "" must not name (and remove) the directory

  // A URL key contains "/" and is refused with hashing off, as such a write always failed.
  EXPECT_TRUE(reasonOf<Cache::CannotCreateCacheFile>([&] { disk->store(bytes(1), "https://x.test/a.png"); }));

  // With hashing on, the extension is the way out: refused as well.
  auto hashed = ready(config());
  EXPECT_TRUE(reasonOf<Cache::CannotCreateCacheFile>(
      [&] { hashed->store(bytes(1), "k", std::nullopt, 0, std::string("/../../x")); }));
  EXPECT_TRUE(reasonOf<Cache::CannotCreateCacheFile>([&] { hashed->store(bytes(1), "k", std::nullopt, 0, ".."); }));
  EXPECT_FALSE(hashed->value("k", std::string("/../../x")));
  EXPECT_THROW(hashed->remove("k", std::string("a/b")), fs::filesystem_error);
  auto withBadPath = hashed->config();
  withBadPath.pathExtension = "x/../../y";
  hashed->setConfig(withBadPath);
  EXPECT_TRUE(reasonOf<Cache::CannotCreateCacheFile>([&] { hashed->store(bytes(1), "k"); }));
  EXPECT_FALSE(fs::exists(base_ / "y"));
}

TEST_F(DiskStorageTest, RefusedCacheNameStopsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  for (const std::string& name : std::vector<std::string>{"../evil", "a/b", "..", "."}) {
    Config c(name, 0, DiskStorage::FileManager::defaultManager(), base_);
    EXPECT_DEATH(DiskStorage::Creation{c}, "cache name is not permitted") << name;
  }
}

TEST_F(DiskStorageTest, StartListsEntriesAndRemovesLeftoverTemporaryFiles) {
  ready(config())->store(bytes(1), "stored");
  const fs::path directory = base_ / "com.marrowby.Vellum.ImageCache.test";
  const fs::path crashed = directory / (std::string(DiskStorage::kTemporaryFilePrefix) + "1-1");
  const fs::path inProgress = directory / (std::string(DiskStorage::kTemporaryFilePrefix) + "2-2");
  const fs::path incoming = directory / DiskStorage::kIncomingFolderName;
  const fs::path crashedIncoming = incoming / (std::string(DiskStorage::kTemporaryFilePrefix) + "3-3");
  const fs::path inProgressIncoming = incoming / (std::string(DiskStorage::kTemporaryFilePrefix) + "4-4");
  std::ofstream(crashed) << "half";
  std::ofstream(inProgress) << "writing";
  std::ofstream(crashedIncoming) << "half";
  std::ofstream(inProgressIncoming) << "writing";
  // A writer still at work holds its temporary file locked.
  const int held = ::open(inProgress.c_str(), O_RDONLY);
  const int heldIncoming = ::open(inProgressIncoming.c_str(), O_RDONLY);
  ASSERT_GE(held, 0);
  ASSERT_GE(heldIncoming, 0);
  ASSERT_EQ(::flock(held, LOCK_EX), 0);
  ASSERT_EQ(::flock(heldIncoming, LOCK_EX), 0);
  auto disk = ready(config());
  EXPECT_FALSE(fs::exists(crashed));
  EXPECT_TRUE(fs::exists(inProgress));
  EXPECT_FALSE(fs::exists(crashedIncoming));
  EXPECT_TRUE(fs::exists(inProgressIncoming));
  ::close(held);
  ::close(heldIncoming);
  EXPECT_TRUE(disk->isCached("stored"));
  EXPECT_EQ(disk->value("stored"), bytes(1));
}

// The storage directory may be a link (the cache kept on another disk), and its incoming folder may be one that
// something else made: clearing empties the directory the link names and keeps the link, and a start cleans no
// folder it reaches through a link.
TEST_F(DiskStorageTest, LinksAreClearedWhereTheyPointAndNeverCleanedThrough) {
  const fs::path elsewhere = base_ / "elsewhere";
  fs::create_directories(elsewhere);
  const fs::path link = base_ / "com.marrowby.Vellum.ImageCache.test";
  fs::create_directory_symlink(elsewhere, link);
  auto disk = ready(config());
  disk->store(bytes(3), "a");
  disk->store(bytes(4), "b");
  ASSERT_TRUE(fs::exists(elsewhere / disk->cacheFileURL("a").filename()));
  disk->removeAll();
  EXPECT_TRUE(fs::is_symlink(link));
  std::vector<fs::path> left;
  for (const auto& entry : fs::directory_iterator(elsewhere)) left.push_back(entry.path().filename());
  EXPECT_TRUE(left.empty() || (left.size() == 1 && left[0] == DiskStorage::kIncomingFolderName)) << left.size();
  EXPECT_FALSE(disk->value("a"));
  disk->store(bytes(5), "c");
  EXPECT_EQ(disk->value("c"), bytes(5));
  EXPECT_TRUE(fs::exists(elsewhere / disk->cacheFileURL("c").filename()));
  for (const auto& entry : fs::directory_iterator(base_)) {
    EXPECT_TRUE(entry.path() == link || entry.path() == elsewhere) << entry.path();  // no aside left behind
  }

  const fs::path outside = base_ / "outside";
  fs::create_directories(outside);
  const fs::path foreign = outside / (std::string(DiskStorage::kTemporaryFilePrefix) + "notes");
  std::ofstream(foreign) << "not the cache's";
  const Config other("other", 0, DiskStorage::FileManager::defaultManager(), base_);
  ready(other)->store(bytes(6), "d");
  const fs::path otherDirectory = base_ / "com.marrowby.Vellum.ImageCache.other";
  fs::remove_all(otherDirectory / DiskStorage::kIncomingFolderName);
  fs::create_directory_symlink(outside, otherDirectory / DiskStorage::kIncomingFolderName);
  auto again = ready(other);
  EXPECT_TRUE(fs::exists(foreign));
  EXPECT_EQ(again->value("d"), bytes(6));
}

// Another program may put anything under an entry's name. Only a regular file is an entry: a FIFO, a
// directory or a link (even with an expiry date ahead, as a copy tool may leave) is answered as absent by
// every look-up, loaded or not, rather than as a hit that then cannot be read.
TEST_F(DiskStorageTest, OnlyARegularFileUnderTheNameIsAnEntry) {
  auto disk = ready(config());
  const fs::path outside = base_ / "outside";
  std::ofstream(outside) << "not an entry";
  const std::function<void(const fs::path&)> makers[] = {
      [](const fs::path& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0); },
      [](const fs::path& p) {
        fs::create_directory(p);
        std::ofstream(p / "inside") << "x";
      },
      [](const fs::path& p) { fs::create_symlink("/dev/zero", p); },
      [&](const fs::path& p) { fs::create_symlink(outside, p); },
  };
  const timespec ahead[2] = {{secondsUp(now() + 1h), 0}, {secondsUp(now() + 1h), 0}};
  int kind = 0;
  for (const auto& make : makers) {
    const std::string key = "kind-" + std::to_string(kind++);
    make(disk->cacheFileURL(key));
    ASSERT_EQ(::utimensat(AT_FDCWD, disk->cacheFileURL(key).c_str(), ahead, AT_SYMLINK_NOFOLLOW), 0);
    EXPECT_FALSE(disk->isCached(key)) << key;
    EXPECT_EQ(disk->readValue(key, std::nullopt, now(), false, ExpirationExtending::none()), std::nullopt) << key;
    EXPECT_EQ(disk->value(key), std::nullopt) << key;
    // A store takes the name back where the item can be replaced (not over a directory).
    if (!fs::is_directory(fs::symlink_status(disk->cacheFileURL(key)))) {
      disk->store(bytes(2), key);
      EXPECT_EQ(disk->value(key), bytes(2)) << key;
    }
  }
  EXPECT_EQ(fs::file_size(outside), 12u);
  // An empty regular file is an entry of no bytes.
  disk->store(bytes(0), "empty");
  EXPECT_TRUE(disk->isCached("empty"));
  EXPECT_EQ(disk->value("empty"), foundation::Bytes{});
}

// A file under an entry larger than the memory of any machine (sparse: it costs no disk) is answered with
// the typed error of an unreadable entry, at once, instead of an allocation failing, or the whole file being
// read, inside the look-up. A file that just fits is still read whole.
TEST_F(DiskStorageTest, AnEntryTooLargeForMemoryIsRefusedBeforeItIsRead) {
  auto disk = ready(config());
  disk->store(bytes(3), "huge");
  const fs::path file = disk->cacheFileURL("huge");
  struct stat stored {};
  ASSERT_EQ(::stat(file.c_str(), &stored), 0);
  // Resized with the dates the cache gave it (its expiry is the modification time).
  auto resize = [&](off_t size) {
    if (::truncate(file.c_str(), size) != 0) return false;
    const timespec dates[2] = {stored.st_atim, stored.st_mtim};
    return ::utimensat(AT_FDCWD, file.c_str(), dates, 0) == 0;
  };
  if (!resize(off_t{1} << 43)) GTEST_SKIP() << "this file system has no 8 TiB sparse files (errno " << errno << ")";
  try {
    disk->value("huge");
    ADD_FAILURE() << "an 8 TiB entry was answered";
  } catch (const VellumError& error) {
    const auto* reason = error.cacheReason();
    ASSERT_TRUE(reason) << error.what();
    EXPECT_TRUE(std::holds_alternative<Cache::CannotLoadDataFromDisk>(reason->value)) << error.what();
  }
  EXPECT_TRUE(disk->isCached("huge"));  // still there: whether to remove it is the application's choice
  ASSERT_TRUE(resize(5 << 20));
  const auto whole = disk->value("huge");
  ASSERT_TRUE(whole);
  EXPECT_EQ(whole->size(), std::size_t{5} << 20);
}

TEST_F(DiskStorageTest, LookupExtensionDoesNotRedateAReplacedEntry) {
  auto faulty = std::make_shared<FaultyFileManager>();
  auto disk = ready(config(faulty));
  disk->store(bytes(10, 1), "k");
  std::promise<void> resume;
  faulty->resumeDates = resume.get_future().share();
  // The hit queues a date update (to 60 s from now) that waits until the entry has been replaced.
  EXPECT_TRUE(disk->value("k", std::nullopt, ExpirationExtending::expirationTime(StorageExpiration::seconds(60))));
  advance(5s);
  disk->store(bytes(20, 2), "k");
  const auto stored = datesOf(disk->cacheFileURL("k"));
  resume.set_value();
  settle(*disk);
  EXPECT_EQ(datesOf(disk->cacheFileURL("k")).mtime, stored.mtime);
  EXPECT_EQ(stored.mtime, secondsUp(now() + 7 * 24h));
  EXPECT_EQ(disk->value("k"), bytes(20, 2));
}

// The file system hands a freed inode number to the next new file, so a replacement often has the same
// device and inode as the entry a look-up read.
TEST_F(DiskStorageTest, LookupExtensionDoesNotRedateAReplacementOnTheSameInode) {
  auto faulty = std::make_shared<FaultyFileManager>();
  auto disk = ready(config(faulty));
  int reused = 0;
  for (int round = 0; round < 100; ++round) {
    disk->store(bytes(10, 1), "k");
    struct stat before {};
    ASSERT_EQ(::stat(disk->cacheFileURL("k").c_str(), &before), 0);
    std::promise<void> resume;
    faulty->resumeDates = resume.get_future().share();
    ASSERT_TRUE(disk->value("k", std::nullopt, ExpirationExtending::expirationTime(StorageExpiration::seconds(60))));
    disk->remove("k");
    disk->store(bytes(20, 2), "k");
    struct stat after {};
    ASSERT_EQ(::stat(disk->cacheFileURL("k").c_str(), &after), 0);
    reused += after.st_ino == before.st_ino;
    resume.set_value();
    settle(*disk);
    ASSERT_EQ(datesOf(disk->cacheFileURL("k")).mtime, secondsUp(now() + 7 * 24h)) << "round " << round;
  }
  RecordProperty("roundsWithTheInodeReused", reused);
}

TEST_F(DiskStorageTest, WriteOptionsRefuseOverwritingAndFlush) {
  auto disk = ready(config());
  using DiskStorage::WriteOptions::synchronous;
  using DiskStorage::WriteOptions::withoutOverwriting;
  disk->store(bytes(10, 1), "k", std::nullopt, withoutOverwriting | synchronous);
  EXPECT_TRUE(reasonOf<Cache::CannotCreateCacheFile>(
      [&] { disk->store(bytes(20, 2), "k", std::nullopt, withoutOverwriting); }));
  EXPECT_EQ(disk->value("k"), bytes(10, 1));
  // No temporary file is left behind by the refused write.
  EXPECT_EQ(disk->listFileURLs().size(), 1u);
  std::size_t files = 0;
  for (const auto& entry : fs::recursive_directory_iterator(disk->directoryURL())) files += !entry.is_directory();
  EXPECT_EQ(files, 1u);
  // Without the option a store replaces; file protection bits are ignored.
  disk->store(bytes(30, 3), "k", std::nullopt, synchronous | 0x20000000);
  EXPECT_EQ(disk->value("k"), bytes(30, 3));
}

class DiskSweeps : public DiskStorageTest {
 protected:
  void SetUp() override {
    DiskStorageTest::SetUp();
    auto c = config(manager_);
    c.usesHashedFileName = false;
    disk_ = ready(c);
  }
  void TearDown() override {
    disk_.reset();
    DiskStorageTest::TearDown();
  }
  void setLimit(std::uint64_t limit) {
    auto c = disk_->config();
    c.sizeLimit = limit;
    disk_->setConfig(c);
  }
  fs::path file(const std::string& name) { return disk_->directoryURL() / name; }
  static std::vector<std::string> names(const std::vector<fs::path>& paths) {
    std::vector<std::string> out;
    for (const auto& p : paths) out.push_back(p.filename().string());
    return out;
  }

  std::shared_ptr<FaultyFileManager> manager_ = std::make_shared<FaultyFileManager>();
  std::unique_ptr<Backend> disk_;
};

TEST_F(DiskSweeps, ExpiredBoundaries) {
  // Dates on disk are whole seconds: a whole-second reference meets one exactly.
  const Date reference = std::chrono::ceil<std::chrono::seconds>(now() + 100s);
  disk_->store(bytes(10), "at-reference", StorageExpiration::date(reference));
  disk_->store(bytes(10), "after", StorageExpiration::date(reference + 1s));
  disk_->store(bytes(10), "before", StorageExpiration::date(reference - 1s));
  // A directory past its expiry is never deleted; files inside it are swept; the storage's own files are not.
  fs::create_directories(file("sub"));
  std::ofstream(file("sub") / "old") << "x";
  const std::string own = std::string(DiskStorage::kTemporaryFilePrefix) + "left";
  std::ofstream(file(own)) << "x";
  const timespec past[2] = {{0, 0}, {1, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, file("sub").c_str(), past, 0), 0);
  ASSERT_EQ(::utimensat(AT_FDCWD, file(own).c_str(), past, 0), 0);

  auto swept = disk_->removeExpiredValues(reference);
  EXPECT_FALSE(swept.error);
  auto removed = names(swept.removed);
  std::sort(removed.begin(), removed.end());
  EXPECT_EQ(removed, (std::vector<std::string>{"at-reference", "before", "old"}));
  EXPECT_TRUE(fs::exists(file("after")));
  EXPECT_TRUE(fs::is_directory(file("sub")));
  EXPECT_TRUE(fs::exists(file(own)));
}

TEST_F(DiskSweeps, SizeSweepLeastRecentlyUsedFirstDownToHalf) {
  // Four 100-byte entries, accessed a, b, c, d in that order (c read again last).
  for (const char* key : {"a", "b", "c", "d"}) {
    disk_->store(bytes(100), key);
    advance(10s);
  }
  EXPECT_TRUE(disk_->value("c"));
  settle(*disk_);
  // A directory and the storage's own files take no part.
  fs::create_directories(file("dir"));
  const std::string own = std::string(DiskStorage::kTemporaryFilePrefix) + "left";
  std::ofstream(file(own)) << std::string(1000, 'x');
  EXPECT_EQ(disk_->totalSize(), 400u);

  for (std::uint64_t unswept : {0, 401}) {
    setLimit(unswept);
    EXPECT_TRUE(disk_->removeSizeExceededValues().removed.empty()) << unswept;
  }
  // A total equal to the limit sweeps, down to half the limit.
  setLimit(400);
  auto swept = disk_->removeSizeExceededValues();
  EXPECT_FALSE(swept.error);
  EXPECT_EQ(names(swept.removed), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(disk_->totalSize(), 200u);
  EXPECT_TRUE(fs::is_directory(file("dir")));
  EXPECT_TRUE(fs::exists(file(own)));

  setLimit(199);  // an odd limit's half rounds down: target 99
  swept = disk_->removeSizeExceededValues();
  EXPECT_EQ(names(swept.removed), (std::vector<std::string>{"d", "c"}));  // c was read after d was stored
  EXPECT_EQ(disk_->totalSize(), 0u);
}

// With plain file names a key may start with a dot. Its entry is an entry like any other: it counts towards
// the limit and is swept by both sweeps, or the directory outgrows its limit for good. Only the storage's own
// names (files on their way in, the folder they are made in) are left to the storage, and hidden folders (no
// key makes one) to whoever made them.
TEST_F(DiskSweeps, KeysStartingWithADotAreSweptButTheStoragesOwnNamesAreNot) {
  disk_->store(bytes(100), ".stale", StorageExpiration::seconds(5));
  disk_->store(bytes(100), "fresh");
  const fs::path leftover = file(std::string(DiskStorage::kTemporaryFilePrefix) + "crashed");
  const fs::path incoming = file(std::string(DiskStorage::kIncomingFolderName)) / "in-progress";
  fs::create_directories(file(".kept"));
  const fs::path kept = file(".kept") / "old";
  std::ofstream(leftover) << std::string(1000, 'x');
  std::ofstream(incoming) << std::string(1000, 'x');
  std::ofstream(kept) << std::string(1000, 'x');
  const timespec past[2] = {{0, 0}, {1, 0}};
  for (const auto& path : {leftover, incoming, kept}) ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), past, 0), 0);
  EXPECT_EQ(disk_->totalSize(), 200u);

  advance(10s);
  auto expired = disk_->removeExpiredValues();
  EXPECT_FALSE(expired.error);
  EXPECT_EQ(names(expired.removed), std::vector<std::string>{".stale"});
  EXPECT_FALSE(disk_->isCached(".stale"));

  disk_->store(bytes(300), ".large");
  advance(10s);
  EXPECT_TRUE(disk_->value("fresh"));
  settle(*disk_);
  setLimit(400);
  auto sized = disk_->removeSizeExceededValues();
  EXPECT_FALSE(sized.error);
  EXPECT_EQ(names(sized.removed), std::vector<std::string>{".large"});
  EXPECT_EQ(disk_->totalSize(), 100u);
  EXPECT_TRUE(fs::exists(leftover));
  EXPECT_TRUE(fs::exists(incoming));
  EXPECT_TRUE(fs::exists(kept));
}

TEST_F(DiskSweeps, PartialFailureStillReportsWhatWasDeleted) {
  for (const char* key : {"a", "b", "c"}) {
    disk_->store(bytes(100), key, StorageExpiration::seconds(5));
    advance(10s);
  }
  manager_->removalsBeforeFailure = 1;
  auto expired = disk_->removeExpiredValues();
  ASSERT_EQ(expired.removed.size(), 1u);
  ASSERT_TRUE(expired.error);
  EXPECT_EQ(expired.error->code(), std::errc::device_or_resource_busy);
  EXPECT_FALSE(fs::exists(expired.removed[0]));

  manager_->removalsBeforeFailure = -1;
  for (const char* key : {"d", "e", "f", "g"}) {
    disk_->store(bytes(100), key);
    advance(1s);
  }
  disk_->removeExpiredValues();
  setLimit(400);
  manager_->removalsBeforeFailure = 1;
  auto sized = disk_->removeSizeExceededValues();
  EXPECT_EQ(names(sized.removed), std::vector<std::string>{"d"});
  ASSERT_TRUE(sized.error);
}

// A file this process cannot delete (made immutable, held busy, in a folder another user owns) must not stop
// the sweeps at it: each later sweep would stop there again, and the cache would outgrow its limit for good.
TEST_F(DiskSweeps, AFileThatCannotBeDeletedDoesNotStopTheSweeps) {
  for (const char* key : {"stuck", "b", "c"}) {
    disk_->store(bytes(100), key, StorageExpiration::seconds(5));
    advance(1s);
  }
  manager_->undeletable = file("stuck");
  advance(10s);
  auto expired = disk_->removeExpiredValues();
  ASSERT_TRUE(expired.error);
  EXPECT_EQ(expired.error->path1(), file("stuck"));
  auto removed = names(expired.removed);
  std::sort(removed.begin(), removed.end());
  EXPECT_EQ(removed, (std::vector<std::string>{"b", "c"}));

  for (const char* key : {"d", "e", "f"}) {
    disk_->store(bytes(100), key);
    advance(1s);
  }
  setLimit(400);  // "stuck" is the least recently used of the four
  auto sized = disk_->removeSizeExceededValues();
  ASSERT_TRUE(sized.error);
  EXPECT_EQ(sized.error->path1(), file("stuck"));
  EXPECT_EQ(names(sized.removed), (std::vector<std::string>{"d", "e"}));
  EXPECT_TRUE(fs::exists(file("stuck")));
  EXPECT_TRUE(fs::exists(file("f")));
}

TEST_F(DiskSweeps, FileAlreadyGoneCountsAsDeletedAndLinksAreNotFollowed) {
  // A link to a file outside the cache: a sweep may delete the link, never its target.
  const fs::path target = base_ / "precious";
  std::ofstream(target) << std::string(500, 'p');
  fs::create_symlink(target, file("link"));
  disk_->store(bytes(300), "entry");
  setLimit(10);
  auto swept = disk_->removeSizeExceededValues();
  EXPECT_FALSE(swept.error);
  EXPECT_EQ(fs::file_size(target), 500u);

  // Gone between the listing and the deletion: still reported, no error.
  disk_->store(bytes(300), "vanishing");
  struct Vanish : DiskStorage::FileManager {
    bool removeItemIfUnchanged(const fs::path& path, const DiskStorage::FileIdentity& expected) override {
      fs::remove(path);
      return FileManager::removeItemIfUnchanged(path, expected);  // now missing
    }
  };
  auto c = disk_->config();
  c.fileManager = std::make_shared<Vanish>();
  disk_->setConfig(c);
  swept = disk_->removeSizeExceededValues();
  EXPECT_FALSE(swept.error);
  EXPECT_EQ(names(swept.removed), std::vector<std::string>{"vanishing"});
}

TEST_F(DiskSweeps, OutsideAccessDoesNotReorderTheSizeSweep) {
  disk_->store(bytes(100), "old");
  advance(10s);
  disk_->store(bytes(100), "new");
  advance(10s);
  // A backup or an indexer reads "old", which moves its access time past everything the cache wrote.
  std::string content;
  std::ifstream(file("old")) >> content;
  const timespec touched[2] = {{secondsUp(now() + 1h), 0}, {0, UTIME_OMIT}};
  ASSERT_EQ(::utimensat(AT_FDCWD, file("old").c_str(), touched, 0), 0);
  EXPECT_EQ(DiskStorage::FileMeta(file("old"), unsigned(DiskStorage::ResourceKey::lastAccessDate),
                                  DiskStorage::FileManager())
                .lastAccessDate,
            Date(std::chrono::seconds(secondsUp(now() - 20s))));
  setLimit(200);
  EXPECT_EQ(names(disk_->removeSizeExceededValues().removed), std::vector<std::string>{"old"});

  // Files without the attribute (written before it was used, or where the file system has none) go by
  // their access time.
  disk_->store(bytes(100), "older");
  ASSERT_EQ(::removexattr(file("older").c_str(), "user.vellum.lastAccess"), 0);
  ASSERT_EQ(::removexattr(file("new").c_str(), "user.vellum.lastAccess"), 0);
  const timespec later[2] = {{secondsUp(now() + 2h), 0}, {0, UTIME_OMIT}};
  ASSERT_EQ(::utimensat(AT_FDCWD, file("older").c_str(), later, 0), 0);
  EXPECT_EQ(names(disk_->removeSizeExceededValues().removed), std::vector<std::string>{"new"});
}

TEST_F(DiskSweeps, ListingFailureIsTyped) {
  fs::remove_all(disk_->directoryURL());
  EXPECT_TRUE(reasonOf<Cache::FileEnumeratorCreationFailed>([&] { disk_->totalSize(); }));
  EXPECT_THROW(disk_->removeExpiredValues(), VellumError);
}

class DiskStorageConcurrency : public DiskStorageTest {};

TEST_F(DiskStorageConcurrency, StoreDuringStartupListingIsVisibleAfterwards) {
  auto faulty = std::make_shared<FaultyFileManager>();
  std::promise<void> reached, resume;
  faulty->listingReached = &reached;
  faulty->resumeListing = resume.get_future().share();
  Backend disk(config(faulty));
  // The listing has read the directory (without our file) and is about to publish the set.
  ASSERT_EQ(reached.get_future().wait_for(10s), std::future_status::ready);
  disk.store(bytes(4), "during");
  resume.set_value();
  ASSERT_TRUE(disk.waitForMaybeCachedSetup(10s));
  EXPECT_TRUE(disk.isCached("during"));
  EXPECT_EQ(disk.value("during"), bytes(4));
}

TEST_F(DiskStorageConcurrency, ParallelStoresAndReads) {
  auto disk = ready(config());
  std::latch go(4);
  std::vector<std::jthread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      go.arrive_and_wait();
      for (int i = 0; i < 50; ++i) {
        const std::string key = "k" + std::to_string(i % 10);
        if ((i + t) % 2) {
          disk->store(bytes(100 + i % 10, static_cast<std::uint8_t>(i % 10)), key);
        } else if (auto hit = disk->value(key)) {
          // Never a half-written entry: the size always matches the content's marker.
          EXPECT_EQ(hit->size(), 100u + (*hit)[0]);
        }
      }
    });
  }
  threads.clear();
  settle(*disk);
}

// Stores and expired sweeps at once: a key stored again while a sweep has judged its old, expired file
// keeps its new one. Each round stores every key stale, then fresh, while the sweeper deletes what is stale.
TEST_F(DiskStorageConcurrency, ExpiredSweepsRacingStoresLoseNoFreshEntry) {
  auto c = config();
  c.usesHashedFileName = false;
  auto disk = ready(c);
  const Date reference = now() + 20s;
  const auto stale = StorageExpiration::date(now() + 10s), fresh = StorageExpiration::date(now() + 1000s);

  std::mutex mutex;
  std::condition_variable swept;
  std::uint64_t sweeps = 0;
  std::jthread sweeper([&](std::stop_token stop) {
    while (!stop.stop_requested()) {
      disk->removeExpiredValues(reference);
      std::lock_guard lock(mutex);
      ++sweeps;
      swept.notify_all();
    }
  });
  // A fresh file the sweeper has just taken aside by mistake is back once that sweep ends.
  auto afterNextSweep = [&] {
    std::unique_lock lock(mutex);
    const auto seen = sweeps;
    return swept.wait_for(lock, 10s, [&] { return sweeps > seen + 1; });
  };

  const auto deadline = std::chrono::steady_clock::now() + 3s;
  int lost = 0, rounds = 0;
  while (std::chrono::steady_clock::now() < deadline && rounds < 400) {
    for (int i = 0; i < 20; ++i) disk->store(bytes(10), "k" + std::to_string(i), stale);
    for (int i = 0; i < 20; ++i) disk->store(bytes(10), "k" + std::to_string(i), fresh);
    for (int i = 0; i < 20; ++i) {
      const std::string key = "k" + std::to_string(i);
      if (!disk->isCached(key, reference) && (!afterNextSweep() || !disk->isCached(key, reference))) ++lost;
    }
    ++rounds;
  }
  sweeper.request_stop();
  sweeper.join();
  EXPECT_EQ(lost, 0) << "in " << rounds << " rounds";
  EXPECT_GT(sweeps, 0u);
}

// The same race seen by a look-up and a removal in this process. A sweep that has judged a stale entry and
// finds a fresh one stored over it must leave the fresh one where it is: a look-up right after the store
// finds it, and a removal after that finds it and takes it for good (a sweep that had moved it aside would
// put it back when it ends). The sweeper says when it is about to remove the stale file, and the fresh store
// starts then; each round the sweeper looks at the file a few more times first, so that over the rounds its
// removal meets the store's rename at every point.
TEST_F(DiskStorageConcurrency, SweepsNeitherHideNorBringBackWhatThisProcessStoresOrRemoves) {
  struct Meeting : DiskStorage::FileManager {
    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    mutable bool armed = false, reached = false;
    mutable int looks = 0;
    int lookFirst = 0;
    // The sweep judging the stale file: the fresh store may start.
    void reach(bool judging) const {
      std::lock_guard lock(mutex);
      if (!armed) return;
      armed = false;
      reached = true;
      looks = judging ? lookFirst : 0;
      changed.notify_all();
    }
    DiskStorage::FileStatus status(const fs::path& path) const override {
      reach(true);
      return FileManager::status(path);
    }
    bool removeItemIfUnchanged(const fs::path& path, const DiskStorage::FileIdentity& expected) override {
      int first = 0;
      {
        std::lock_guard lock(mutex);
        std::swap(first, looks);
      }
      for (int i = 0; i < first; ++i) {
        try {
          FileManager::status(path);
        } catch (const fs::filesystem_error&) {
        }
      }
      const bool removed = FileManager::removeItemIfUnchanged(path, expected);
      // An earlier sweep's judgement may take the stale file before this one looks at it (a kernel that
      // stamps change times at its tick can give a new file the identity of the one it replaced): no race
      // to meet this round, and none to wait for.
      reach(false);
      return removed;
    }
  };
  auto files = std::make_shared<Meeting>();
  auto c = config(files);
  c.usesHashedFileName = false;
  auto disk = ready(c);
  const Date reference = now() + 20s;
  const auto stale = StorageExpiration::date(now() + 10s), fresh = StorageExpiration::date(now() + 1000s);

  std::mutex sweptMutex;
  std::condition_variable swept;
  std::uint64_t sweeps = 0;
  std::jthread sweeper([&](std::stop_token stop) {
    while (!stop.stop_requested()) {
      disk->removeExpiredValues(reference);
      std::lock_guard lock(sweptMutex);
      ++sweeps;
      swept.notify_all();
    }
  });
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  int hidden = 0, notFound = 0, rounds = 0;
  while (std::chrono::steady_clock::now() < deadline && rounds < 5000 && hidden + notFound == 0) {
    {
      std::lock_guard lock(files->mutex);
      files->armed = true;
      files->reached = false;
      files->lookFirst = rounds % 64;
    }
    disk->store(bytes(10), "k", stale);
    {
      std::unique_lock lock(files->mutex);
      ASSERT_TRUE(files->changed.wait_for(lock, 10s, [&] { return files->reached; }));
    }
    disk->store(bytes(10), "k", fresh);
    if (!disk->isCached("k", reference)) ++hidden;
    try {
      disk->remove("k");
    } catch (const fs::filesystem_error&) {
      ++notFound;
    }
    ++rounds;
  }
  // A sweep that had the entry aside during the removal puts it back when it ends.
  {
    std::unique_lock lock(sweptMutex);
    const auto seen = sweeps;
    EXPECT_TRUE(swept.wait_for(lock, 10s, [&] { return sweeps > seen + 1; }));
  }
  sweeper.request_stop();
  sweeper.join();
  EXPECT_EQ(hidden, 0) << "a fresh entry missed, in round " << rounds;
  EXPECT_EQ(notFound, 0) << "a removal found nothing, in round " << rounds;
  EXPECT_FALSE(fs::exists(disk->cacheFileURL("k"))) << "a removed entry came back, in round " << rounds;
}

}  // namespace
}  // namespace vellum
