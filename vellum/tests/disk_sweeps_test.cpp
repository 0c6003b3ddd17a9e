// The sweeps over the storage directory: expired files, the size limit (least recently used first, down to
// half), total size, and what a sweep reports when a deletion fails part-way.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

#include "test_clock.hpp"
#include "vellum/disk_storage.hpp"
#include "vellum/vellum_error.hpp"

namespace vellum {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using DiskStorage::Backend;
using DiskStorage::Config;

class FailingRemovals : public DiskStorage::FileManager {
 public:
  // Removals that succeed before one fails; negative: never fail.
  std::atomic<int> allowed{-1};
  void removeItem(const fs::path& path) override {
    if (allowed.load() == 0) {
      throw fs::filesystem_error("injected", path, std::make_error_code(std::errc::device_or_resource_busy));
    }
    if (allowed.load() > 0) --allowed;
    FileManager::removeItem(path);
  }
};

class DiskSweeps : public test::FixedClockTest {
 protected:
  void SetUp() override {
    FixedClockTest::SetUp();
    char pattern[] = "/tmp/vellum-sweep-XXXXXX";
    ASSERT_TRUE(::mkdtemp(pattern));
    base_ = pattern;
    manager_ = std::make_shared<FailingRemovals>();
    Config c("sweeps", 0, manager_, base_);
    c.usesHashedFileName = false;
    disk_ = std::make_unique<Backend>(c);
    ASSERT_TRUE(disk_->waitForMaybeCachedSetup(10s));
  }
  void TearDown() override {
    disk_.reset();
    std::error_code ignored;
    fs::remove_all(base_, ignored);
    FixedClockTest::TearDown();
  }
  void setLimit(std::uint64_t limit) {
    auto c = disk_->config();
    c.sizeLimit = limit;
    disk_->setConfig(c);
  }
  fs::path file(const std::string& name) { return disk_->directoryURL() / name; }
  std::vector<std::string> names(const std::vector<fs::path>& paths) {
    std::vector<std::string> out;
    for (const auto& p : paths) out.push_back(p.filename().string());
    return out;
  }

  fs::path base_;
  std::shared_ptr<FailingRemovals> manager_;
  std::unique_ptr<Backend> disk_;
};

TEST_F(DiskSweeps, EmptyDirectory) {
  EXPECT_EQ(disk_->totalSize(), 0u);
  EXPECT_TRUE(disk_->removeExpiredValues().removed.empty());
  setLimit(1);
  EXPECT_TRUE(disk_->removeSizeExceededValues().removed.empty());
}

TEST_F(DiskSweeps, ExpiredBoundaries) {
  // Dates on disk are whole seconds: a whole-second reference meets one exactly.
  const Date reference = std::chrono::ceil<std::chrono::seconds>(now() + 100s);
  disk_->store(foundation::Bytes(10), "at-reference", StorageExpiration::date(reference));
  disk_->store(foundation::Bytes(10), "after", StorageExpiration::date(reference + 1s));
  disk_->store(foundation::Bytes(10), "before", StorageExpiration::date(reference - 1s));
  // A directory past its expiry is never deleted; files inside it are swept; hidden files are not.
  fs::create_directories(file("sub"));
  std::ofstream(file("sub") / "old") << "x";
  std::ofstream(file(".hidden")) << "x";
  const timespec past[2] = {{0, 0}, {1, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, file("sub").c_str(), past, 0), 0);
  ASSERT_EQ(::utimensat(AT_FDCWD, file(".hidden").c_str(), past, 0), 0);

  auto swept = disk_->removeExpiredValues(reference);
  EXPECT_FALSE(swept.error);
  auto removed = names(swept.removed);
  std::sort(removed.begin(), removed.end());
  EXPECT_EQ(removed, (std::vector<std::string>{"at-reference", "before", "old"}));
  EXPECT_TRUE(fs::exists(file("after")));
  EXPECT_TRUE(fs::is_directory(file("sub")));
  EXPECT_TRUE(fs::exists(file(".hidden")));
}

TEST_F(DiskSweeps, SizeSweepLeastRecentlyUsedFirstDownToHalf) {
  // Four 100-byte entries, accessed a, b, c, d in that order (c read again last).
  for (const char* key : {"a", "b", "c", "d"}) {
    disk_->store(foundation::Bytes(100), key);
    advance(10s);
  }
  EXPECT_TRUE(disk_->value("c"));
  ASSERT_EQ(disk_->pendingDateUpdates().wait_for(10s), std::future_status::ready);
  // A directory and a hidden file take no part.
  fs::create_directories(file("dir"));
  std::ofstream(file(".hidden")) << std::string(1000, 'x');
  EXPECT_EQ(disk_->totalSize(), 400u);

  setLimit(0);
  EXPECT_TRUE(disk_->removeSizeExceededValues().removed.empty());
  setLimit(401);
  EXPECT_TRUE(disk_->removeSizeExceededValues().removed.empty());

  // A total equal to the limit sweeps, down to half the limit.
  setLimit(400);
  auto swept = disk_->removeSizeExceededValues();
  EXPECT_FALSE(swept.error);
  EXPECT_EQ(names(swept.removed), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(disk_->totalSize(), 200u);
  EXPECT_TRUE(fs::is_directory(file("dir")));
  EXPECT_TRUE(fs::exists(file(".hidden")));

  setLimit(199);  // an odd limit's half rounds down: target 99
  swept = disk_->removeSizeExceededValues();
  EXPECT_EQ(names(swept.removed), (std::vector<std::string>{"d", "c"}));  // c was read after d was stored
  EXPECT_EQ(disk_->totalSize(), 0u);
}

TEST_F(DiskSweeps, PartialFailureStillReportsWhatWasDeleted) {
  for (const char* key : {"a", "b", "c"}) {
    disk_->store(foundation::Bytes(100), key, StorageExpiration::seconds(5));
    advance(10s);
  }
  manager_->allowed = 1;
  auto expired = disk_->removeExpiredValues();
  ASSERT_EQ(expired.removed.size(), 1u);
  ASSERT_TRUE(expired.error);
  EXPECT_EQ(expired.error->code(), std::errc::device_or_resource_busy);
  EXPECT_FALSE(fs::exists(expired.removed[0]));

  manager_->allowed = -1;
  for (const char* key : {"d", "e", "f", "g"}) {
    disk_->store(foundation::Bytes(100), key);
    advance(1s);
  }
  disk_->removeExpiredValues();
  setLimit(400);
  manager_->allowed = 1;
  auto sized = disk_->removeSizeExceededValues();
  EXPECT_EQ(names(sized.removed), std::vector<std::string>{"d"});
  ASSERT_TRUE(sized.error);
}

TEST_F(DiskSweeps, FileAlreadyGoneCountsAsDeletedAndLinksAreNotFollowed) {
  // A link to a file outside the cache: a sweep may delete the link, never its target.
  const fs::path target = base_ / "precious";
  std::ofstream(target) << std::string(500, 'p');
  fs::create_symlink(target, file("link"));
  disk_->store(foundation::Bytes(300), "entry");
  setLimit(10);
  auto swept = disk_->removeSizeExceededValues();
  EXPECT_FALSE(swept.error);
  EXPECT_TRUE(fs::exists(target));
  EXPECT_EQ(fs::file_size(target), 500u);

  // Gone between the listing and the deletion: still reported, no error.
  disk_->store(foundation::Bytes(300), "vanishing");
  manager_->allowed = -1;
  struct Vanish : DiskStorage::FileManager {
    void removeItem(const fs::path& path) override {
      fs::remove(path);
      FileManager::removeItem(path);  // now missing
    }
  };
  auto c = disk_->config();
  c.fileManager = std::make_shared<Vanish>();
  disk_->setConfig(c);
  swept = disk_->removeSizeExceededValues();
  EXPECT_FALSE(swept.error);
  EXPECT_EQ(names(swept.removed), std::vector<std::string>{"vanishing"});
}

TEST_F(DiskSweeps, ListingFailureIsTyped) {
  fs::remove_all(disk_->directoryURL());
  try {
    disk_->totalSize();
    FAIL() << "no error";
  } catch (const VellumError& e) {
    EXPECT_EQ(e.errorCode(), 3001);
  }
  EXPECT_THROW(disk_->removeExpiredValues(), VellumError);
}

}  // namespace
}  // namespace vellum
