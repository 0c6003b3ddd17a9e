#pragma once
// What the image cache tests share: bounded waits on futures and queues, a temporary cache directory, and a
// file manager that counts reads and fails writes or deletions on request.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <future>
#include <optional>

#include "foundation/main_queue.hpp"
#include "foundation/serial_queue.hpp"
#include "vellum/cache/disk_storage.hpp"
#include "vellum/cache/file_manager.hpp"
#include "vellum/cache/image_cache.hpp"

namespace vellum::test {

inline constexpr std::chrono::seconds kDeadline{20};

// The value of `future`, failing the test (instead of hanging) when it is not ready by the deadline.
template <class T>
T await(std::future<T>&& future) {
  if (future.wait_for(kDeadline) != std::future_status::ready) {
    ADD_FAILURE() << "no answer before the deadline";
    throw std::runtime_error("deadline passed");
  }
  return future.get();
}

// Waits until everything queued on the main queue (or on `queue`) before this call has run.
inline void flushMain() {
  auto done = std::make_shared<std::promise<void>>();
  foundation::MainQueue::post([done] { done->set_value(); });
  await(done->get_future());
}
inline void flush(const foundation::SerialQueue& queue) {
  auto done = std::make_shared<std::promise<void>>();
  queue.post([done] { done->set_value(); });
  await(done->get_future());
}

class CountingFileManager : public DiskStorage::FileManager {
 public:
  mutable std::atomic<int> reads{0};
  std::atomic<bool> failWrites{false};
  std::atomic<bool> failReads{false};  // the file opens but its contents cannot be read
  std::atomic<int> removalsBeforeFailure{-1};  // negative: never fail
  std::atomic<bool> removedByOthers{false};     // another cache deletes each file just before this one does
  std::string undeletableName;                  // every removal of a file of this name fails; set before sweeping

  std::optional<foundation::Bytes> readFileIf(const std::filesystem::path& path, DiskStorage::FileStatus& status,
                                              const std::function<bool(const DiskStorage::FileStatus&)>& wanted)
      const override {
    ++reads;
    if (failReads) {
      throw DiskStorage::FileReadError("injected", path, std::make_error_code(std::errc::io_error));
    }
    return FileManager::readFileIf(path, status, wanted);
  }
  void writeFile(const std::filesystem::path& path, std::span<const std::uint8_t> data,
                 const DiskStorage::FileDates& dates, std::uint64_t options) override {
    if (failWrites) {
      throw std::filesystem::filesystem_error("injected", path, std::make_error_code(std::errc::no_space_on_device));
    }
    FileManager::writeFile(path, data, dates, options);
  }
  void removeItem(const std::filesystem::path& path) override {
    countRemoval(path);
    if (removedByOthers) FileManager::removeItem(path);
    FileManager::removeItem(path);
  }
  // Sweeps delete through this one; the same failures apply.
  bool removeItemIfUnchanged(const std::filesystem::path& path, const DiskStorage::FileIdentity& expected) override {
    countRemoval(path);
    if (removedByOthers) FileManager::removeItem(path);
    return FileManager::removeItemIfUnchanged(path, expected);
  }
  void countRemoval(const std::filesystem::path& path) {
    if (!undeletableName.empty() && path.filename() == undeletableName) {
      throw std::filesystem::filesystem_error("injected", path, std::make_error_code(std::errc::operation_not_permitted));
    }
    if (removalsBeforeFailure.load() == 0) {
      throw std::filesystem::filesystem_error("injected", path, std::make_error_code(std::errc::device_or_resource_busy));
    }
    if (removalsBeforeFailure.load() > 0) --removalsBeforeFailure;
  }
};

// A fresh base directory per test, removed afterwards.
class TemporaryDirectory {
 public:
  TemporaryDirectory() {
    char pattern[] = "/tmp/vellum-cache-XXXXXX";
    if (!::mkdtemp(pattern)) throw std::runtime_error("mkdtemp");
    path_ = pattern;
  }
  ~TemporaryDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// A temporary directory for a test whose child process (a death test's fresh copy of this program) also
// makes one: the child takes the parent's from the environment, so what it leaves behind at exit is removed
// with the parent's, instead of staying in /tmp for good.
class DirectoryOfDeathTest {
 public:
  DirectoryOfDeathTest() {
    if (const char* inherited = std::getenv(kVariable)) {
      path_ = inherited;
      return;
    }
    own_.emplace();
    path_ = own_->path();
    ::setenv(kVariable, path_.c_str(), 1);
  }
  ~DirectoryOfDeathTest() {
    if (own_) ::unsetenv(kVariable);
  }
  DirectoryOfDeathTest(const DirectoryOfDeathTest&) = delete;
  DirectoryOfDeathTest& operator=(const DirectoryOfDeathTest&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  static constexpr const char* kVariable = "VELLUM_TEST_DIRECTORY_OF_DEATH_TEST";
  std::optional<TemporaryDirectory> own_;
  std::filesystem::path path_;
};

// A cache named `name` under `base` over `fileManager`, its start-up listing finished.
inline std::shared_ptr<ImageCache> makeCache(const std::filesystem::path& base, const std::string& name = "test",
                                             std::shared_ptr<DiskStorage::FileManager> fileManager = nullptr,
                                             std::uint64_t sizeLimit = 0) {
  auto memory = std::make_shared<ImageCache::MemoryBackend>(MemoryStorage::Config(0, 120));
  auto disk = std::make_shared<ImageCache::DiskBackend>(DiskStorage::Config(name, sizeLimit, fileManager, base));
  EXPECT_TRUE(disk->waitForMaybeCachedSetup(kDeadline));
  return ImageCache::make(memory, disk);
}

}  // namespace vellum::test
