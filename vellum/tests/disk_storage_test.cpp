// The disk storage on a real directory: naming, dates on disk, readiness, refused names, the start-up
// listing, temporary files, and failures provoked through a fault-injecting file manager (the tests may run
// as root, where taking permissions away provokes nothing).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <latch>
#include <thread>

#include "test_clock.hpp"
#include "vellum/cache_key.hpp"
#include "vellum/disk_storage.hpp"
#include "vellum/vellum_error.hpp"

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
  std::atomic<int> removalsBeforeFailure{-1};
  // When set, the listing says it got here and waits until `resumeListing` is ready. Waits are bounded, so
  // a failed test never leaves a pool thread stuck.
  std::promise<void>* listingReached = nullptr;
  std::shared_future<void> resumeListing;
  // When valid, each date update after a look-up waits until it is ready.
  std::shared_future<void> resumeDates;

  void writeFile(const fs::path& path, std::span<const std::uint8_t> data, const DiskStorage::FileDates& d) override {
    if (failWrites) throw fs::filesystem_error("injected", path, std::make_error_code(std::errc::no_space_on_device));
    if (failDates) {
      throw DiskStorage::DateSettingError("injected", path, std::make_error_code(std::errc::operation_not_permitted));
    }
    FileManager::writeFile(path, data, d);
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
    if (removalsBeforeFailure.load() == 0) {
      throw fs::filesystem_error("injected", path, std::make_error_code(std::errc::device_or_resource_busy));
    }
    if (removalsBeforeFailure.load() > 0) --removalsBeforeFailure;
    FileManager::removeItem(path);
  }
};

class DiskStorageTest : public test::FixedClockTest {
 protected:
  void SetUp() override {
    FixedClockTest::SetUp();
    char pattern[] = "/tmp/vellum-disk-XXXXXX";
    ASSERT_TRUE(::mkdtemp(pattern));
    base_ = pattern;
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(base_, ignored);
    FixedClockTest::TearDown();
  }
  Config config(std::uint64_t sizeLimit = 0, std::shared_ptr<DiskStorage::FileManager> fm = nullptr) {
    return Config("test", sizeLimit, fm ? fm : DiskStorage::FileManager::defaultManager(), base_);
  }
  std::unique_ptr<Backend> ready(Config c) {
    auto disk = std::make_unique<Backend>(std::move(c));
    EXPECT_TRUE(disk->waitForMaybeCachedSetup(10s));
    return disk;
  }
  void settle(Backend& disk) { ASSERT_EQ(disk.pendingDateUpdates().wait_for(10s), std::future_status::ready); }

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
  EXPECT_EQ(disk->cacheFileURL(key), disk->directoryURL() / sha256HexDigest(key));

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
  DiskStorage::Creation creation(Config("named", 0));
  EXPECT_EQ(creation.directoryURL, base_ / "com.marrowby.Vellum.ImageCache.named");
  EXPECT_EQ(creation.cacheName, "com.marrowby.Vellum.ImageCache.named");
  auto custom = Config("named", 0);
  custom.cachePathBlock = [](const fs::path& b, const std::string& name) { return b / "deeper" / name; };
  EXPECT_EQ(DiskStorage::Creation(custom).directoryURL, base_ / "deeper" / "com.marrowby.Vellum.ImageCache.named");
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
  EXPECT_EQ(fs::file_size(file), 100u);

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
  EXPECT_FALSE(disk->value("never-stored"));
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
  EXPECT_TRUE(fs::is_directory(disk->directoryURL()));
  EXPECT_FALSE(disk->value("a"));
  disk->removeAll(true);
  EXPECT_FALSE(fs::exists(disk->directoryURL()));
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
  auto disk = ready(config(0, faulty));
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

  // Nothing but entries in the directory: no temporary files left behind.
  std::size_t count = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator(disk->directoryURL())) ++count;
  EXPECT_EQ(count, 1u);
}

TEST_F(DiskStorageTest, RefusedNamesStayInsideTheCache) {
  auto c = config();
  c.usesHashedFileName = false;
  auto disk = ready(c);
  const fs::path outside = base_ / "x";
  for (const std::string& key : std::vector<std::string>{"../x", "a/../../x", "..", ".", std::string("a\0b", 3), ""}) {
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

TEST_F(DiskStorageTest, ListedNamesAnswerMissesWithoutTheFileSystem) {
  auto disk = ready(config());
  disk->store(bytes(1), "stored");
  // A file that appears from outside after the listing is not in the set: the look-up does not even look.
  std::ofstream(disk->cacheFileURL("outside")) << "x";
  const timespec times[2] = {{secondsUp(now()), 0}, {secondsUp(now() + 24h), 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, disk->cacheFileURL("outside").c_str(), times, 0), 0);
  EXPECT_FALSE(disk->isCached("outside"));
  EXPECT_TRUE(disk->isCached("stored"));

  // A later backend lists it.
  auto again = ready(config());
  EXPECT_TRUE(again->isCached("outside"));
}

TEST_F(DiskStorageTest, LeftoverTemporaryFilesAreRemovedAtStart) {
  const fs::path directory = base_ / "com.marrowby.Vellum.ImageCache.test";
  fs::create_directories(directory);
  const fs::path crashed = directory / (std::string(DiskStorage::kTemporaryFilePrefix) + "1-1");
  const fs::path inProgress = directory / (std::string(DiskStorage::kTemporaryFilePrefix) + "2-2");
  std::ofstream(crashed) << "half";
  std::ofstream(inProgress) << "writing";
  // A writer still at work holds its temporary file locked.
  const int held = ::open(inProgress.c_str(), O_RDONLY);
  ASSERT_GE(held, 0);
  ASSERT_EQ(::flock(held, LOCK_EX), 0);
  auto disk = ready(config());
  EXPECT_FALSE(fs::exists(crashed));
  EXPECT_TRUE(fs::exists(inProgress));
  ::close(held);
}

TEST_F(DiskStorageTest, LookupExtensionDoesNotRedateAReplacedEntry) {
  auto faulty = std::make_shared<FaultyFileManager>();
  auto disk = ready(config(0, faulty));
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

class DiskStorageConcurrency : public DiskStorageTest {};

TEST_F(DiskStorageConcurrency, StoreDuringStartupListingIsVisibleAfterwards) {
  auto faulty = std::make_shared<FaultyFileManager>();
  std::promise<void> reached, resume;
  faulty->listingReached = &reached;
  faulty->resumeListing = resume.get_future().share();
  Backend disk(config(0, faulty));
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

}  // namespace
}  // namespace vellum
