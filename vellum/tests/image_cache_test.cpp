// The image cache front on a real directory: keys and processors, stores and removals in both levels, the
// look-ups (memory, disk, combined, the three-way outcomes and the source-task checker), background
// decoding, and keys or files that are hostile.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <thread>

#include "cache_test_support.hpp"
#include "foundation/app_info.hpp"
#include "foundation/log.hpp"
#include "test_clock.hpp"
#include "test_images.hpp"
#include "vellum/general/cache_key.hpp"
#include "vellum/image/image_codecs.hpp"
#include "vellum/image/image_processor.hpp"

namespace vellum {
namespace {

namespace fs = std::filesystem;
using Cache = VellumError::CacheErrorReason;
using Retrieved = foundation::Result<ImageCacheResult, VellumError>;
using Outcome = foundation::Result<DiskRetrievalOutcome, VellumError>;

class NamedProcessor final : public ImageProcessor {
 public:
  explicit NamedProcessor(std::string id) : id_(std::move(id)) {}
  std::string identifier() const override { return id_; }
  ImagePtr process(const ImageProcessItem& item, const VellumParsedOptionsInfo&) const override {
    return item.isImage() ? item.imageValue() : nullptr;
  }

 private:
  std::string id_;
};

class NoBytesSerializer final : public CacheSerializer {
 public:
  std::optional<foundation::Bytes> data(const ImagePtr&, const std::optional<foundation::Bytes>&) const override {
    return std::nullopt;
  }
  ImagePtr image(const foundation::Bytes&, const VellumParsedOptionsInfo&) const override { return nullptr; }
  std::string description() const override { return "no bytes"; }
};

class ImageCacheTest : public test::FixedClockTest {
 protected:
  void SetUp() override {
    FixedClockTest::SetUp();
    files = std::make_shared<test::CountingFileManager>();
    cache = test::makeCache(dir.path(), "test", files);
    options.callbackQueue = CallbackQueue::untouch();
  }

  CacheStoreResult store(const ImagePtr& image, const std::string& key, const VellumParsedOptionsInfo& o,
                         bool toDisk = true) {
    std::promise<CacheStoreResult> done;
    cache->store(image, std::nullopt, key, o, toDisk, [&](CacheStoreResult r) { done.set_value(std::move(r)); });
    return test::await(done.get_future());
  }
  Retrieved retrieve(const std::string& key, const VellumParsedOptionsInfo& o) {
    std::promise<Retrieved> done;
    cache->retrieveImage(key, o, CallbackQueue::untouch(), [&](Retrieved r) { done.set_value(std::move(r)); });
    return test::await(done.get_future());
  }
  Outcome outcome(const std::string& key, const VellumParsedOptionsInfo& o) {
    std::promise<Outcome> done;
    cache->retrieveImageInDiskCache(key, o, CallbackQueue::untouch(),
                                    ImageCache::DiskOutcomeHandler([&](Outcome r) { done.set_value(std::move(r)); }));
    return test::await(done.get_future());
  }
  fs::path fileOf(const std::string& key) { return cache->cachePath(key); }

  test::TemporaryDirectory dir;
  std::shared_ptr<test::CountingFileManager> files;
  std::shared_ptr<ImageCache> cache;
  VellumParsedOptionsInfo options;
  ImagePtr photo = Image::make(test::gradient(20, 10));
};

TEST_F(ImageCacheTest, ProcessorIdentifierIsPartOfTheKey) {
  EXPECT_EQ(ImageCache::computedKey("k", ""), "k");
  EXPECT_EQ(ImageCache::computedKey("k", "round(4)"), "k@round(4)");

  VellumParsedOptionsInfo processed = options;
  processed.processor = std::make_shared<NamedProcessor>("round(4)");
  ASSERT_TRUE(store(photo, "k", processed).diskCacheResult);

  EXPECT_EQ(cache->retrieveImageInMemoryCache("k", options), nullptr);
  EXPECT_EQ(cache->retrieveImageInMemoryCache("k", processed), photo);
  EXPECT_EQ(retrieve("k", options).value().cacheType(), CacheType::none);  // neither level under the bare key
  EXPECT_EQ(cache->imageCachedType("k"), CacheType::none);
  EXPECT_EQ(cache->imageCachedType("k", "round(4)"), CacheType::memory);
  EXPECT_FALSE(cache->isCached("k", "other"));
  EXPECT_EQ(cache->hash("k", "round(4)"), sha256HexDigest("k@round(4)"));
  EXPECT_TRUE(fs::exists(dir.path() / "com.marrowby.Vellum.ImageCache.test" / sha256HexDigest("k@round(4)")));
}

TEST_F(ImageCacheTest, StoreReportsAndWritesWhatItWasAskedTo) {
  // Memory only, under an expiration already past: nothing is kept, yet both halves report success.
  VellumParsedOptionsInfo expired = options;
  expired.memoryCacheExpiration = StorageExpiration::expired();
  const auto memoryOnly = store(photo, "gone", expired, false);
  EXPECT_TRUE(memoryOnly.memoryCacheResult);
  EXPECT_TRUE(memoryOnly.diskCacheResult);
  EXPECT_EQ(cache->imageCachedType("gone"), CacheType::none);
  EXPECT_FALSE(fs::exists(fileOf("gone")));

  // A serializer with nothing to write: cannotSerializeImage, no file.
  VellumParsedOptionsInfo noBytes = options;
  noBytes.cacheSerializer = std::make_shared<NoBytesSerializer>();
  const auto unserialized = store(photo, "k", noBytes);
  ASSERT_FALSE(unserialized.diskCacheResult);
  const auto* reason = unserialized.diskCacheResult.error().cacheReason();
  ASSERT_TRUE(reason && std::holds_alternative<Cache::CannotSerializeImage>(reason->value));
  EXPECT_FALSE(fs::exists(fileOf("k")));
  EXPECT_EQ(cache->imageCachedType("k"), CacheType::memory);

  // The file holds the PNG the serializer made, which decodes to the very pixels stored.
  ASSERT_TRUE(store(photo, "png", options).diskCacheResult);
  std::ifstream in(fileOf("png"), std::ios::binary);
  const foundation::Bytes written((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const auto decoded = decodePNG(written);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded.value().pixels, photo->bitmap()->pixels);

  // A failed write reaches the handler; the memory level keeps the image.
  files->failWrites = true;
  const auto failed = store(photo, "unwritable", options);
  ASSERT_FALSE(failed.diskCacheResult);
  EXPECT_TRUE(failed.diskCacheResult.error().cacheReason());
  EXPECT_EQ(cache->retrieveImageInMemoryCache("unwritable", options), photo);
}

TEST_F(ImageCacheTest, StoreToDiskAndTheIdentifierForm) {
  const foundation::Bytes raw = {1, 2, 3, 4, 5};
  std::promise<CacheStoreResult> done;
  cache->storeToDisk(raw, "raw", "p", "bin", std::nullopt, CallbackQueue::untouch(),
                     [&](CacheStoreResult r) { done.set_value(r); });
  EXPECT_TRUE(test::await(done.get_future()).diskCacheResult);
  EXPECT_FALSE(cache->memoryStorage()->isCached("raw@p"));
  EXPECT_TRUE(fs::exists(cache->cachePath("raw", "p", "bin")));
  EXPECT_EQ(cache->hash("raw", "p", "bin"), sha256HexDigest("raw@p") + ".bin");
  EXPECT_EQ(cache->cacheFileURLIfOnDisk("raw", "p", "bin"), fs::path(cache->cachePath("raw", "p", "bin")));

  std::promise<CacheStoreResult> second;
  cache->store(photo, std::nullopt, "id", "p", "png", DefaultCacheSerializer::defaultSerializer(), true,
               CallbackQueue::untouch(), [&](CacheStoreResult r) { second.set_value(r); });
  EXPECT_TRUE(test::await(second.get_future()).diskCacheResult);
  EXPECT_EQ(cache->imageCachedType("id", "p", "png"), CacheType::memory);
  cache->clearMemoryCache();
  EXPECT_EQ(cache->imageCachedType("id", "p", "png"), CacheType::disk);
  EXPECT_EQ(cache->imageCachedType("id", "p"), CacheType::none);  // another extension is another file
}

TEST_F(ImageCacheTest, RemoveImageCallsBackOnceWhateverThereIsToRemove) {
  ASSERT_TRUE(store(photo, "k", options).diskCacheResult);
  struct Case {
    const char* key;
    bool fromMemory, fromDisk;
  };
  for (const Case& c : {Case{"k", false, false}, Case{"missing", true, true}, Case{"k", true, true}}) {
    std::atomic<int> calls{0};
    std::promise<void> done;
    cache->removeImage(c.key, "", std::nullopt, c.fromMemory, c.fromDisk, CallbackQueue::untouch(), [&] {
      if (++calls == 1) done.set_value();
    });
    test::await(done.get_future());
    test::flush(*cache->ioQueue());
    EXPECT_EQ(calls, 1) << c.key;
  }
  EXPECT_EQ(cache->imageCachedType("k"), CacheType::none);
  EXPECT_FALSE(fs::exists(fileOf("k")));
}

TEST_F(ImageCacheTest, CostOfImagesInMemory) {
  const auto frame = Image::make(test::gradient(100, 50));
  auto framed = [](std::vector<ImagePtr> frames) {
    AnimationInfo info;
    info.frames = std::move(frames);
    return Image::make(test::gradient(100, 50), 1.0, info);
  };
  const std::pair<ImagePtr, std::int64_t> table[] = {
      {Image::withoutBitmap({100, 50}), 20'000},
      {Image::make(test::gradient(100, 50)), 20'000},
      {framed({frame, frame, photo}), 2 * (20'000 + Image::kFrameOverheadBytes)},
      {framed({}), 0},
  };
  EXPECT_EQ(cache->memoryStorageCacheCost(), 0);
  std::int64_t total = 0;
  int i = 0;
  for (const auto& [image, cost] : table) {
    store(image, "cost" + std::to_string(i++), options, false);
    total += cost;
    EXPECT_EQ(cache->memoryStorageCacheCost(), total);
  }
}

TEST_F(ImageCacheTest, CachesOfOneNameShareTheDirectoryNotTheQueue) {
  auto first = ImageCache::makeChecked("shared", dir.path());
  auto second = ImageCache::makeUnchecked("shared", dir.path());
  EXPECT_EQ(first->diskStorage()->directoryURL(), dir.path() / "com.marrowby.Vellum.ImageCache.shared");
  EXPECT_EQ(first->diskStorage()->directoryURL(), second->diskStorage()->directoryURL());
  const std::string prefix = "com.marrowby.Vellum.ImageCache.ioQueue.";
  for (const auto& c : {first, second}) {
    const std::string& label = c->ioQueue()->label();
    ASSERT_EQ(label.size(), prefix.size() + 36);
    EXPECT_EQ(label.substr(0, prefix.size()), prefix);
    EXPECT_EQ(label.find_first_not_of("0123456789ABCDEF-", prefix.size()), std::string::npos) << label;
  }
  EXPECT_NE(first->ioQueue()->label(), second->ioQueue()->label());

  // What one stores lies where the other looks (a cache made later lists it at start).
  std::promise<CacheStoreResult> done;
  first->store(photo, std::nullopt, "k", options, true, [&](CacheStoreResult r) { done.set_value(r); });
  ASSERT_TRUE(test::await(done.get_future()).diskCacheResult);
  EXPECT_EQ(second->cachePath("k"), first->cachePath("k"));
  EXPECT_TRUE(fs::exists(second->cachePath("k")));

  // A directory that cannot be made: the checked factory throws, the unchecked one reports on each store.
  const fs::path blocked = dir.path() / "file";
  std::ofstream(blocked) << "not a directory";
  EXPECT_THROW(ImageCache::makeChecked("x", blocked), VellumError);
  auto unready = ImageCache::makeUnchecked("x", blocked);
  std::promise<CacheStoreResult> refused;
  unready->store(photo, std::nullopt, "k", options, true, [&](CacheStoreResult r) { refused.set_value(r); });
  const auto result = test::await(refused.get_future());
  ASSERT_FALSE(result.diskCacheResult);
  ASSERT_TRUE(result.diskCacheResult.error().cacheReason());
  EXPECT_TRUE(std::holds_alternative<Cache::DiskStorageIsNotReady>(result.diskCacheResult.error().cacheReason()->value));
}

// A disk store that fails is never silent: with no completion to hear it, the log does.
TEST_F(ImageCacheTest, AFailedDiskStoreReachesTheLog) {
  std::mutex mutex;
  std::vector<std::string> lines;
  auto previous = foundation::setLogSink([&](foundation::LogLevel, std::string_view line) {
    std::lock_guard lock(mutex);
    lines.emplace_back(line);
  });
  VellumParsedOptionsInfo refusing = options;
  refusing.cacheSerializer = std::make_shared<NoBytesSerializer>();
  cache->store(photo, std::nullopt, "k", refusing, true);
  files->failWrites = true;
  cache->store(photo, std::nullopt, "w", options, true);
  test::flush(*cache->ioQueue());
  foundation::setLogSink(previous);
  std::lock_guard lock(mutex);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[0].find("Cannot serialize an image due to the cache serializer returning `nil`."), std::string::npos)
      << lines[0];
  EXPECT_NE(lines[1].find("Cannot create cache file at url: "), std::string::npos) << lines[1];
}

// Two caches of one name on one folder: an entry one stores after the other has listed the folder is found
// by the other, by every query, as a cache started later finds it.
TEST_F(ImageCacheTest, CachesOfOneNameSeeEachOthersNewEntries) {
  auto writer = test::makeCache(dir.path(), "together");
  auto reader = test::makeCache(dir.path(), "together");
  EXPECT_EQ(reader->imageCachedType("k"), CacheType::none);
  std::promise<CacheStoreResult> done;
  writer->store(photo, std::nullopt, "k", options, true, [&](CacheStoreResult r) { done.set_value(r); });
  ASSERT_TRUE(test::await(done.get_future()).diskCacheResult);

  EXPECT_EQ(reader->imageCachedType("k"), CacheType::disk);
  EXPECT_EQ(reader->cacheFileURLIfOnDisk("k"), fs::path(writer->cachePath("k")));
  std::promise<Retrieved> found;
  reader->retrieveImage("k", options, CallbackQueue::untouch(), [&](Retrieved r) { found.set_value(std::move(r)); });
  const auto result = test::await(found.get_future());
  ASSERT_TRUE(result);
  ASSERT_EQ(result.value().cacheType(), CacheType::disk);
  EXPECT_EQ(result.value().image()->bitmap()->pixels, photo->bitmap()->pixels);

  // Removed by the writer, it is absent for the reader again.
  writer->removeImage("k");
  test::flush(*writer->ioQueue());
  reader->clearMemoryCache();
  EXPECT_EQ(reader->imageCachedType("k"), CacheType::none);
}

// Where an application has said who it is, its caches live in a folder of its own under the user's cache
// folder; without an identity they stay where they always were.
TEST_F(ImageCacheTest, AnApplicationsCachesLiveUnderItsIdentity) {
  const std::string previousIdentity = foundation::AppInfo::bundleIdentifier();
  const char* previousHome = std::getenv("XDG_CACHE_HOME");
  const std::optional<std::string> savedHome = previousHome ? std::optional<std::string>(previousHome) : std::nullopt;
  ::setenv("XDG_CACHE_HOME", dir.path().c_str(), 1);

  foundation::AppInfo::setBundleIdentifier("com.example.photos");
  const auto own = ImageCache::makeUnchecked("avatars");
  foundation::AppInfo::setBundleIdentifier("");
  const auto shared = ImageCache::makeUnchecked("avatars");
  foundation::AppInfo::setBundleIdentifier("../escape");
  const auto refused = ImageCache::makeUnchecked("avatars");

  foundation::AppInfo::setBundleIdentifier(previousIdentity);
  if (savedHome) {
    ::setenv("XDG_CACHE_HOME", savedHome->c_str(), 1);
  } else {
    ::unsetenv("XDG_CACHE_HOME");
  }
  EXPECT_EQ(own->diskStorage()->directoryURL(), dir.path() / "com.example.photos" / "com.marrowby.Vellum.ImageCache.avatars");
  EXPECT_TRUE(fs::is_directory(own->diskStorage()->directoryURL()));
  EXPECT_EQ(shared->diskStorage()->directoryURL(), dir.path() / "com.marrowby.Vellum.ImageCache.avatars");
  // An identity that is no folder name keeps the shared place rather than leave the cache folder.
  EXPECT_EQ(refused->diskStorage()->directoryURL(), dir.path() / "com.marrowby.Vellum.ImageCache.avatars");
}

// A decode ahead of use keeps every pixel and the scale asked for, and memory keeps the same.
TEST_F(ImageCacheTest, BackgroundDecodingKeepsPixelsAndScale) {
  VellumParsedOptionsInfo doubled = options;
  doubled.backgroundDecode = true;
  doubled.scaleFactor = 2;
  const ImagePtr wide = Image::make(test::gradient(200, 100), 2.0);
  ASSERT_TRUE(store(wide, "wide", doubled).diskCacheResult);
  cache->clearMemoryCache();
  const auto fromDisk = retrieve("wide", doubled);
  ASSERT_EQ(fromDisk.value().cacheType(), CacheType::disk);
  const ImagePtr image = fromDisk.value().image();
  EXPECT_EQ(image->pixelSize(), (Size{200, 100}));
  EXPECT_EQ(image->scale(), 2.0);
  EXPECT_EQ(image->size(), (Size{100, 50}));
  EXPECT_EQ(image->bitmap()->pixels, wide->bitmap()->pixels);
  const auto fromMemory = retrieve("wide", doubled);
  ASSERT_EQ(fromMemory.value().cacheType(), CacheType::memory);
  EXPECT_EQ(fromMemory.value().image()->pixelSize(), (Size{200, 100}));
  EXPECT_EQ(fromMemory.value().image()->scale(), 2.0);
}

TEST_F(ImageCacheTest, DiskHitComesBackIntoMemory) {
  ASSERT_TRUE(store(photo, "k", options).diskCacheResult);
  cache->clearMemoryCache();
  files->reads = 0;

  // Only from memory: the file on disk is not consulted.
  VellumParsedOptionsInfo memoryOnly = options;
  memoryOnly.fromMemoryCacheOrRefresh = true;
  EXPECT_EQ(retrieve("k", memoryOnly).value().cacheType(), CacheType::none);
  EXPECT_EQ(files->reads, 0);

  const auto first = retrieve("k", options);
  ASSERT_EQ(first.value().cacheType(), CacheType::disk);
  EXPECT_EQ(first.value().image()->bitmap()->pixels, photo->bitmap()->pixels);
  EXPECT_EQ(files->reads, 1);
  const auto second = retrieve("k", options);
  ASSERT_EQ(second.value().cacheType(), CacheType::memory);
  EXPECT_EQ(second.value().image(), first.value().image());
  EXPECT_EQ(files->reads, 1);

  // The completion on another queue still finds the image in memory already.
  cache->clearMemoryCache();
  auto elsewhere = std::make_shared<foundation::SerialQueue>("elsewhere");
  std::promise<bool> inMemory;
  cache->retrieveImage("k", options, CallbackQueue::dispatch(elsewhere), [&](Retrieved r) {
    inMemory.set_value(elsewhere->isCurrent() && r.value().cacheType() == CacheType::disk &&
                       cache->imageCachedType("k") == CacheType::memory);
  });
  EXPECT_TRUE(test::await(inMemory.get_future()));

  // The disk-only look-up leaves memory alone.
  cache->clearMemoryCache();
  std::promise<foundation::Result<ImagePtr, VellumError>> disk;
  cache->retrieveImageInDiskCache("k", options, CallbackQueue::untouch(),
                                  ImageCache::DiskImageHandler([&](auto r) { disk.set_value(r); }));
  EXPECT_TRUE(test::await(disk.get_future()).value());
  EXPECT_EQ(cache->imageCachedType("k"), CacheType::disk);
}

// Decodes as the default serializer does, once the test lets it: a test acts while a disk hit decodes.
class HeldSerializer final : public CacheSerializer {
 public:
  std::optional<foundation::Bytes> data(const ImagePtr& image, const std::optional<foundation::Bytes>& o) const override {
    return DefaultCacheSerializer::defaultSerializer()->data(image, o);
  }
  ImagePtr image(const foundation::Bytes& bytes, const VellumParsedOptionsInfo& o) const override {
    reached.set_value();
    release.wait_for(test::kDeadline);
    return DefaultCacheSerializer::defaultSerializer()->image(bytes, o);
  }
  std::string description() const override { return "held"; }
  mutable std::promise<void> reached;
  std::promise<void> letGo;
  std::shared_future<void> release = letGo.get_future().share();
};

TEST_F(ImageCacheTest, ADiskHitNeverUndoesAStoreOrRemovalMadeWhileItDecoded) {
  const ImagePtr newer = Image::make(test::gradient(7, 3));
  // Each change is made while the disk hit of the older picture decodes.
  const std::vector<std::pair<std::string, std::function<void()>>> changes = {
      {"store", [&] { store(newer, "k", options, /*toDisk=*/false); }},
      {"remove", [&] { cache->removeImage("k", "", std::nullopt, true, false, CallbackQueue::untouch(), nullptr); }},
      {"clear", [&] { cache->clearMemoryCache(); }},
  };
  for (const auto& [name, change] : changes) {
    ASSERT_TRUE(store(photo, "k", options).diskCacheResult);
    cache->clearMemoryCache();
    VellumParsedOptionsInfo held = options;
    auto serializer = std::make_shared<HeldSerializer>();
    held.cacheSerializer = serializer;
    std::promise<Retrieved> done;
    cache->retrieveImage("k", held, CallbackQueue::untouch(), [&](Retrieved r) { done.set_value(std::move(r)); });
    ASSERT_EQ(serializer->reached.get_future().wait_for(test::kDeadline), std::future_status::ready) << name;
    change();
    serializer->letGo.set_value();
    // The caller still hears what the disk held when it looked.
    EXPECT_EQ(test::await(done.get_future()).value().cacheType(), CacheType::disk) << name;
    const ImagePtr inMemory = cache->retrieveImageInMemoryCache("k", options);
    if (name == "store") {
      ASSERT_TRUE(inMemory) << name;
      EXPECT_EQ(inMemory->bitmap()->pixels, newer->bitmap()->pixels) << "the older picture replaced the newer";
    } else {
      EXPECT_FALSE(inMemory) << name << ": the removed picture came back into memory";
    }
  }
}

// A removal may land at any moment of the put-back, also after the look-up has checked for removals and
// before its image is back in memory. Here it lands while the processor names the entry for the put-back
// (the one call the look-up makes in between, on the thread where it finished), made by another thread
// as a caller's removal would be. Whenever it lands, once it is over the removed picture stays gone.
TEST_F(ImageCacheTest, ARemovalDuringThePutBackOfADiskHitIsNotUndone) {
  struct RemovedWhileNaming final : ImageProcessor {
    std::string identifier() const override {
      if (std::this_thread::get_id() != testThread && armed.exchange(false)) {
        reached.set_value();
        removed.wait_for(test::kDeadline);
      }
      return "p";
    }
    ImagePtr process(const ImageProcessItem& item, const VellumParsedOptionsInfo&) const override {
      return item.isImage() ? item.imageValue() : nullptr;
    }
    std::thread::id testThread = std::this_thread::get_id();
    mutable std::atomic<bool> armed{false};
    mutable std::promise<void> reached;
    std::promise<void> removal;
    std::shared_future<void> removed = removal.get_future().share();
  };
  auto processor = std::make_shared<RemovedWhileNaming>();
  VellumParsedOptionsInfo named = options;
  named.processor = processor;
  ASSERT_TRUE(store(photo, "k", named).diskCacheResult);
  cache->clearMemoryCache();
  processor->armed = true;

  std::promise<Retrieved> done;
  auto elsewhere = std::make_shared<foundation::SerialQueue>("elsewhere");
  cache->retrieveImage("k", named, CallbackQueue::dispatch(elsewhere), [&](Retrieved r) { done.set_value(std::move(r)); });
  ASSERT_EQ(processor->reached.get_future().wait_for(test::kDeadline), std::future_status::ready);
  cache->removeImage("k", "p", std::nullopt, true, false, CallbackQueue::untouch(), nullptr);
  processor->removal.set_value();
  EXPECT_EQ(test::await(done.get_future()).value().cacheType(), CacheType::disk);
  EXPECT_EQ(cache->retrieveImageInMemoryCache("k", named), nullptr) << "the removed picture came back into memory";
  EXPECT_TRUE(cache->memoryStorage()->keys().empty());
}

TEST_F(ImageCacheTest, AClearedDiskIsNotSearchedForWhatItHeld) {
  ASSERT_TRUE(store(photo, "k", options).diskCacheResult);
  cache->clearMemoryCache();
  test::await(cache->clearDiskCacheAsync());
  files->reads = 0;
  EXPECT_EQ(retrieve("k", options).value().cacheType(), CacheType::none);
  EXPECT_EQ(files->reads, 0);

  // Stored again, it is found again.
  ASSERT_TRUE(store(photo, "k", options).diskCacheResult);
  cache->clearMemoryCache();
  EXPECT_EQ(retrieve("k", options).value().cacheType(), CacheType::disk);
  EXPECT_EQ(files->reads, 1);
}

TEST_F(ImageCacheTest, RetrieveWithoutHandlerTouchesNothing) {
  VellumParsedOptionsInfo twoMinutes = options;
  twoMinutes.memoryCacheExpiration = StorageExpiration::seconds(120);
  store(photo, "mem", twoMinutes, false);
  ASSERT_TRUE(store(photo, "disk", options).diskCacheResult);
  cache->memoryStorage()->remove("disk");
  const auto before = cache->memoryStorage()->object("mem")->estimatedExpiration();
  files->reads = 0;

  advance(std::chrono::seconds(60));
  cache->retrieveImage("mem", options, CallbackQueue::untouch(), nullptr);
  cache->retrieveImage("disk", options, CallbackQueue::untouch(), nullptr);
  test::flush(*cache->ioQueue());
  EXPECT_EQ(cache->memoryStorage()->object("mem")->estimatedExpiration(), before);
  EXPECT_EQ(files->reads, 0);
  EXPECT_EQ(cache->imageCachedType("disk"), CacheType::disk);  // not brought into memory either

  // With a handler the hit pushes the entry's expiry forward.
  EXPECT_EQ(retrieve("mem", options).value().cacheType(), CacheType::memory);
  EXPECT_EQ(cache->memoryStorage()->object("mem")->estimatedExpiration(), before + std::chrono::seconds(60));
}

TEST_F(ImageCacheTest, SourceTaskCheckerAtItsThreePoints) {
  ASSERT_TRUE(store(photo, "k", options).diskCacheResult);
  cache->clearMemoryCache();

  // The check answers in turn; the step after the last true answer is where the look-up ends as stale.
  struct Case {
    int trueAnswers;
    int reads;
  };
  for (const Case c : {Case{0, 0}, Case{1, 1}, Case{2, 1}}) {
    files->reads = 0;
    auto asked = std::make_shared<std::atomic<int>>(0);
    VellumParsedOptionsInfo checked = options;
    checked.sourceTaskIdentifierChecker = [asked, c] { return (*asked)++ < c.trueAnswers; };
    const auto result = outcome("k", checked);
    EXPECT_EQ(result.value().kind(), DiskRetrievalOutcome::Kind::stale) << c.trueAnswers;
    EXPECT_EQ(*asked, c.trueAnswers + 1);
    EXPECT_EQ(files->reads, c.reads);

    std::promise<foundation::Result<DiskDataRetrievalOutcome, VellumError>> data;
    asked->store(0);
    cache->retrieveDataInDiskCache("k", checked, CallbackQueue::untouch(), [&](auto r) { data.set_value(r); });
    const auto dataOutcome = test::await(data.get_future());
    EXPECT_EQ(dataOutcome.value().kind(), c.trueAnswers < 2 ? DiskDataRetrievalOutcome::Kind::stale
                                                             : DiskDataRetrievalOutcome::Kind::found);
  }
  VellumParsedOptionsInfo never = options;
  never.sourceTaskIdentifierChecker = [] { return false; };
  EXPECT_EQ(retrieve("k", never).value().cacheType(), CacheType::none);
  VellumParsedOptionsInfo always = options;
  always.sourceTaskIdentifierChecker = [] { return true; };
  EXPECT_EQ(outcome("k", always).value().kind(), DiskRetrievalOutcome::Kind::found);
}

TEST_F(ImageCacheTest, BackgroundDecodingRedrawsOnlyStillImages) {
  VellumParsedOptionsInfo decoding = options;
  decoding.backgroundDecode = true;
  decoding.loadDiskFileSynchronously = true;  // on this thread, so the serializer's object can be watched

  class Recording final : public CacheSerializer {
   public:
    std::optional<foundation::Bytes> data(const ImagePtr& image, const std::optional<foundation::Bytes>& o) const override {
      return DefaultCacheSerializer::defaultSerializer()->data(image, o);
    }
    ImagePtr image(const foundation::Bytes& d, const VellumParsedOptionsInfo& o) const override {
      made = DefaultCacheSerializer::defaultSerializer()->image(d, o);
      return made;
    }
    std::string description() const override { return "recording"; }
    mutable ImagePtr made;
  };
  auto serializer = std::make_shared<Recording>();
  decoding.cacheSerializer = serializer;

  ASSERT_TRUE(store(photo, "still", decoding).diskCacheResult);
  const auto still = outcome("still", decoding).value();
  ASSERT_EQ(still.kind(), DiskRetrievalOutcome::Kind::found);
  EXPECT_NE(still.value(), serializer->made);
  EXPECT_EQ(still.value()->bitmap()->pixels, photo->bitmap()->pixels);

  const auto gif = test::makeGIF(3, 2, {{0, 0, 3, 2, std::vector<std::uint8_t>(6, 1), DISPOSAL_UNSPECIFIED,
                                         NO_TRANSPARENT_COLOR, 10},
                                        {0, 0, 3, 2, std::vector<std::uint8_t>(6, 2), DISPOSAL_UNSPECIFIED,
                                         NO_TRANSPARENT_COLOR, 10}});
  std::promise<CacheStoreResult> stored;
  cache->storeToDisk(gif, "animated", "", std::nullopt, std::nullopt, CallbackQueue::untouch(),
                     [&](CacheStoreResult r) { stored.set_value(r); });
  ASSERT_TRUE(test::await(stored.get_future()).diskCacheResult);
  const auto animated = outcome("animated", decoding).value();
  ASSERT_EQ(animated.kind(), DiskRetrievalOutcome::Kind::found);
  ASSERT_TRUE(animated.value()->frameSource());  // decoded as it plays: no preloading was asked for
  EXPECT_EQ(animated.value(), serializer->made);
}

TEST_F(ImageCacheTest, FilesThatDoNotReadOrDecode) {
  ASSERT_TRUE(store(photo, "truncated", options).diskCacheResult);
  ASSERT_TRUE(store(photo, "garbage", options).diskCacheResult);
  ASSERT_TRUE(store(photo, "vanished", options).diskCacheResult);
  cache->clearMemoryCache();

  fs::resize_file(fileOf("truncated"), 20);
  std::ofstream(fileOf("garbage"), std::ios::binary | std::ios::trunc) << "definitely not an image";
  fs::remove(fileOf("vanished"));  // gone behind the cache's back, after it listed the name

  for (const char* key : {"truncated", "garbage", "vanished"}) {
    EXPECT_EQ(outcome(key, options).value().kind(), DiskRetrievalOutcome::Kind::notFound) << key;
    EXPECT_EQ(retrieve(key, options).value().cacheType(), CacheType::none) << key;
  }
  // Files that do not decode stay where they are.
  EXPECT_TRUE(fs::exists(fileOf("truncated")));
  EXPECT_TRUE(fs::exists(fileOf("garbage")));

  // A file that cannot be read is an error, passed on unchanged by the combined look-up.
  ASSERT_TRUE(store(photo, "unreadable", options).diskCacheResult);
  cache->clearMemoryCache();
  files->failReads = true;
  const auto unreadable = retrieve("unreadable", options);
  ASSERT_FALSE(unreadable);
  const auto* reason = unreadable.error().cacheReason();
  ASSERT_TRUE(reason);
  EXPECT_TRUE(std::holds_alternative<Cache::CannotLoadDataFromDisk>(reason->value));
}

// A FIFO without a writer blocks a plain open() for good, and with it every later disk task of the cache.
TEST_F(ImageCacheTest, FilesThatAreNoRegularFilesNeverStallTheDisk) {
  ASSERT_TRUE(store(photo, "pipe", options).diskCacheResult);
  cache->clearMemoryCache();
  fs::remove(fileOf("pipe"));
  ASSERT_EQ(::mkfifo(fileOf("pipe").c_str(), 0600), 0);
  // With an expiry date ahead it is still no entry.
  const auto ahead = std::chrono::ceil<std::chrono::seconds>((now() + std::chrono::hours(1)).time_since_epoch()).count();
  const timespec dates[2] = {{ahead, 0}, {ahead, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, fileOf("pipe").c_str(), dates, 0), 0);
  const fs::path directory = fileOf("pipe").parent_path();
  ASSERT_EQ(::mkfifo((directory / (std::string(DiskStorage::kTemporaryFilePrefix) + "9-9")).c_str(), 0600), 0);

  // A cache opened over the directory lists it (and clears leftover temporary files) first.
  auto reopened = test::makeCache(dir.path(), "test", files);
  for (const auto& c : {cache, reopened}) {
    std::promise<Retrieved> done;
    c->retrieveImage("pipe", options, CallbackQueue::untouch(), [&](Retrieved r) { done.set_value(std::move(r)); });
    const auto found = test::await(done.get_future());
    ASSERT_TRUE(found);
    EXPECT_EQ(found.value().cacheType(), CacheType::none);
    EXPECT_FALSE(c->isCached("pipe"));
    EXPECT_FALSE(c->cacheFileURLIfOnDisk("pipe"));
    EXPECT_NO_THROW(test::await(c->diskStorageSizeAsync()));
    test::await(c->cleanExpiredDiskCacheAsync());
  }
  test::await(reopened->clearDiskCacheAsync());
  EXPECT_TRUE(fs::is_empty(directory));
  ASSERT_TRUE(store(photo, "after", options).diskCacheResult);
  cache->clearMemoryCache();
  EXPECT_EQ(retrieve("after", options).value().cacheType(), CacheType::disk);
}

// Application code that throws, a std::exception or anything else: a serializer, or a file manager the
// application gave the disk storage. Each operation still answers, with the failure its caller would have
// had without that code; a caller waiting for the answer is never left waiting.
class Thrower {
 public:
  explicit Thrower(bool nonStd) : nonStd_(nonStd) {}
  [[noreturn]] void raise() const {
    if (nonStd_) throw 42;
    throw std::runtime_error("application code failed");
  }

 private:
  bool nonStd_;
};

class ThrowingSerializer final : public CacheSerializer, Thrower {
 public:
  using Thrower::Thrower;
  std::optional<foundation::Bytes> data(const ImagePtr&, const std::optional<foundation::Bytes>&) const override {
    raise();
  }
  ImagePtr image(const foundation::Bytes&, const VellumParsedOptionsInfo&) const override { raise(); }
  std::string description() const override { return "throwing"; }
};

class ThrowingFileManager final : public DiskStorage::FileManager, Thrower {
 public:
  using Thrower::Thrower;
  std::atomic<bool> armed{false};
  void check() const {
    if (armed) raise();
  }
  bool fileExists(const fs::path& p) const override { return check(), FileManager::fileExists(p); }
  std::vector<fs::path> enumerate(const fs::path& root) const override {
    return check(), FileManager::enumerate(root);
  }
  DiskStorage::FileStatus status(const fs::path& p) const override { return check(), FileManager::status(p); }
  std::optional<foundation::Bytes> readFileIf(const fs::path& p, DiskStorage::FileStatus& s,
                                              const std::function<bool(const DiskStorage::FileStatus&)>& w)
      const override {
    return check(), FileManager::readFileIf(p, s, w);
  }
  void writeFile(const fs::path& p, std::span<const std::uint8_t> d, const DiskStorage::FileDates& dates,
                 std::uint64_t o) override {
    check();
    FileManager::writeFile(p, d, dates, o);
  }
  void removeItem(const fs::path& p) override {
    check();
    FileManager::removeItem(p);
  }
  std::optional<fs::path> moveAside(const fs::path& p) override { return check(), FileManager::moveAside(p); }
};

TEST_F(ImageCacheTest, ThrowingSerializersFailOnlyTheirOwnCall) {
  ASSERT_TRUE(store(photo, "stored", options).diskCacheResult);
  cache->clearMemoryCache();
  for (bool nonStd : {false, true}) {
    VellumParsedOptionsInfo throwing = options;
    throwing.cacheSerializer = std::make_shared<ThrowingSerializer>(nonStd);
    const auto stored = store(photo, "thrown", throwing);
    ASSERT_FALSE(stored.diskCacheResult) << nonStd;
    const auto* reason = stored.diskCacheResult.error().cacheReason();
    ASSERT_TRUE(reason);
    EXPECT_TRUE(std::holds_alternative<Cache::CannotSerializeImage>(reason->value));
    EXPECT_FALSE(fs::exists(fileOf("thrown")));
    EXPECT_THROW(test::await(cache->storeAsync(photo, std::nullopt, "thrown", throwing, true)), VellumError);

    // Bytes the serializer cannot turn back into an image are as good as nothing stored; the file stays.
    EXPECT_EQ(outcome("stored", throwing).value().kind(), DiskRetrievalOutcome::Kind::notFound) << nonStd;
    EXPECT_EQ(retrieve("stored", throwing).value().cacheType(), CacheType::none) << nonStd;
    EXPECT_TRUE(fs::exists(fileOf("stored")));
  }
  EXPECT_EQ(retrieve("stored", options).value().cacheType(), CacheType::disk);
}

TEST_F(ImageCacheTest, ThrowingFileManagersStillAnswerEveryOperation) {
  for (bool nonStd : {false, true}) {
    auto manager = std::make_shared<ThrowingFileManager>(nonStd);
    auto c = test::makeCache(dir.path(), "throwing", manager);
    std::promise<CacheStoreResult> first;
    c->store(photo, std::nullopt, "kept", options, true, [&](CacheStoreResult r) { first.set_value(r); });
    ASSERT_TRUE(test::await(first.get_future()).diskCacheResult);
    c->clearMemoryCache();
    manager->armed = true;

    std::promise<CacheStoreResult> stored;
    c->store(photo, std::nullopt, "new", options, true, [&](CacheStoreResult r) { stored.set_value(r); });
    EXPECT_FALSE(test::await(stored.get_future()).diskCacheResult) << nonStd;
    std::promise<Retrieved> found;
    c->retrieveImage("kept", options, CallbackQueue::untouch(), [&](Retrieved r) { found.set_value(r); });
    EXPECT_FALSE(test::await(found.get_future())) << nonStd;
    EXPECT_FALSE(c->isCached("kept"));
    EXPECT_EQ(test::await(c->imageCachedTypeAsync("kept", "", std::nullopt)), CacheType::none);
    EXPECT_THROW(test::await(c->diskStorageSizeAsync()), VellumError);
    EXPECT_ANY_THROW(test::await(c->removeImageAsync("kept")));
    test::await(c->cleanExpiredDiskCacheAsync());
    test::await(c->clearDiskCacheAsync());

    // Once the file manager works again, so does the cache, and nothing was lost meanwhile.
    manager->armed = false;
    EXPECT_EQ(test::await(c->imageCachedTypeAsync("kept", "", std::nullopt)), CacheType::disk);
    test::await(c->clearDiskCacheAsync());
  }
}

// A processor's identifier names the entries of what it makes, and is the application's code. Through one
// that throws there is no entry: each call with a completion answers it once with the processing failure,
// a memory look-up is a miss, nothing is stored anywhere, and nothing throws into the caller. Other calls
// on the cache, with processors that name themselves, go on as before.
TEST_F(ImageCacheTest, AProcessorWhoseIdentifierThrowsFailsOnlyItsOwnCalls) {
  struct Unnamed final : ImageProcessor {
    std::string identifier() const override { throw std::runtime_error("no name"); }
    ImagePtr process(const ImageProcessItem& item, const VellumParsedOptionsInfo&) const override {
      return item.isImage() ? item.imageValue() : nullptr;
    }
  };
  using Failed = VellumError::ProcessorErrorReason::ProcessingFailed;
  auto isProcessingFailure = [](const VellumError& error) {
    const auto* reason = error.processorReason();
    return reason && std::holds_alternative<Failed>(reason->value);
  };
  ASSERT_TRUE(store(photo, "k", options).diskCacheResult);
  VellumParsedOptionsInfo unnamed = options;
  unnamed.processor = std::make_shared<Unnamed>();

  for (const bool toDisk : {false, true}) {
    std::optional<CacheStoreResult> stored;
    ASSERT_NO_THROW(stored = store(photo, "unnamed", unnamed, toDisk)) << toDisk;
    EXPECT_FALSE(stored->memoryCacheResult) << toDisk;
    ASSERT_FALSE(stored->diskCacheResult) << toDisk;
    EXPECT_TRUE(isProcessingFailure(stored->diskCacheResult.error())) << stored->diskCacheResult.error().what();
    std::future<void> awaited;
    ASSERT_NO_THROW(awaited = cache->storeAsync(photo, std::nullopt, "unnamed", unnamed, toDisk));
    EXPECT_THROW(test::await(std::move(awaited)), VellumError) << "a store that kept nothing is no success";
  }
  EXPECT_EQ(cache->memoryStorage()->keys(), std::vector<std::string>{"k"});

  EXPECT_EQ(cache->retrieveImageInMemoryCache("k", unnamed), nullptr);
  std::optional<Retrieved> found;
  ASSERT_NO_THROW(found = retrieve("k", unnamed));
  ASSERT_FALSE(*found);
  EXPECT_TRUE(isProcessingFailure(found->error())) << found->error().what();
  std::optional<Outcome> looked;
  ASSERT_NO_THROW(looked = outcome("k", unnamed));
  ASSERT_FALSE(*looked);
  EXPECT_TRUE(isProcessingFailure(looked->error()));
  std::promise<bool> data;
  ASSERT_NO_THROW(cache->retrieveDataInDiskCache("k", unnamed, CallbackQueue::untouch(),
                                                 [&](foundation::Result<DiskDataRetrievalOutcome, VellumError> r) {
                                                   data.set_value(!r && isProcessingFailure(r.error()));
                                                 }));
  EXPECT_TRUE(test::await(data.get_future()));

  // The cache still serves everyone else.
  EXPECT_EQ(cache->retrieveImageInMemoryCache("k", options), photo);
  cache->clearMemoryCache();
  EXPECT_EQ(retrieve("k", options).value().cacheType(), CacheType::disk);
}

// A system whose OpenSSL offers no SHA-256 (a FIPS-restricted configuration) cannot name hashed cache
// files. Every operation with a completion still answers it, once, with an error: a disk look-up whose
// file could not be named reported nothing at all, and its caller waited for good.
bool everyDiskOperationAnswersWithoutHashing(const fs::path& base, const ImagePtr& photo) {
  auto cache = test::makeCache(base, "unhashable");
  VellumParsedOptionsInfo options;
  options.callbackQueue = CallbackQueue::untouch();
  bool ok = true;
  auto expect = [&ok](bool holds, const char* what) {
    if (!holds) std::fprintf(stderr, "failed: %s\n", what);
    ok = ok && holds;
  };
  // Each answer is counted: a second one would be as wrong as none.
  auto answers = std::make_shared<std::atomic<int>>(0);
  auto within = [](const auto& future) { return future.wait_for(std::chrono::seconds(5)) == std::future_status::ready; };

  auto stored = std::make_shared<std::promise<CacheStoreResult>>();
  cache->store(photo, std::nullopt, "k", options, true, [stored, answers](CacheStoreResult r) {
    ++*answers;
    stored->set_value(std::move(r));
  });
  auto storedFuture = stored->get_future();
  expect(within(storedFuture) && !storedFuture.get().diskCacheResult, "store reports the failed write");
  cache->clearMemoryCache();

  auto found = std::make_shared<std::promise<Retrieved>>();
  cache->retrieveImage("k", options, CallbackQueue::untouch(), [found, answers](Retrieved r) {
    ++*answers;
    found->set_value(std::move(r));
  });
  auto foundFuture = found->get_future();
  expect(within(foundFuture), "retrieveImage answers");
  if (foundFuture.valid() && foundFuture.wait_for(std::chrono::seconds(0)) == std::future_status::ready) {
    expect(!foundFuture.get(), "retrieveImage answers with an error");
  }

  auto outcome = std::make_shared<std::promise<Outcome>>();
  cache->retrieveImageInDiskCache("k", options, CallbackQueue::untouch(),
                                  ImageCache::DiskOutcomeHandler([outcome, answers](Outcome r) {
                                    ++*answers;
                                    outcome->set_value(std::move(r));
                                  }));
  auto outcomeFuture = outcome->get_future();
  expect(within(outcomeFuture), "the disk look-up answers");

  auto data = std::make_shared<std::promise<bool>>();
  cache->retrieveDataInDiskCache("k", options, CallbackQueue::untouch(),
                                 [data, answers](foundation::Result<DiskDataRetrievalOutcome, VellumError> r) {
                                   ++*answers;
                                   data->set_value(!r);
                                 });
  auto dataFuture = data->get_future();
  expect(within(dataFuture) && dataFuture.get(), "the data look-up answers with an error");

  auto removed = std::make_shared<std::promise<void>>();
  cache->removeImage("k", "", std::nullopt, true, true, CallbackQueue::untouch(), [removed, answers] {
    ++*answers;
    removed->set_value();
  });
  expect(within(removed->get_future()), "the removal answers");
  auto type = std::make_shared<std::promise<CacheType>>();
  cache->imageCachedTypeAsync("k", "", std::nullopt, CallbackQueue::untouch(), [type, answers](CacheType t) {
    ++*answers;
    type->set_value(t);
  });
  auto typeFuture = type->get_future();
  expect(within(typeFuture) && typeFuture.get() == CacheType::none, "the cached type answers none");
  // Whatever is still queued has run: no operation answers a second time.
  test::flush(*cache->ioQueue());
  expect(answers->load() == 6, "each operation answered once");
  return ok;
}

TEST_F(ImageCacheTest, WithoutSha256EveryDiskOperationStillAnswersOnce) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  test::DirectoryOfDeathTest base;
  // Only algorithms marked for FIPS use may be fetched, and no provider offers any: hashing fails, while
  // the random source (which names the cache's queue) is fetched without that restriction.
  const fs::path config = base.path() / "no-sha.cnf";
  std::ofstream(config) << "openssl_conf = init\n[init]\nalg_section = algorithms\nrandom = random\n"
                           "[algorithms]\ndefault_properties = fips=yes\n[random]\nproperties = fips=no\n";
  const char* previous = std::getenv("OPENSSL_CONF");
  const std::string kept = previous ? previous : "";
  ::setenv("OPENSSL_CONF", config.c_str(), 1);
  // The child is a new run of this program: OpenSSL reads the configuration there, before main.
  EXPECT_EXIT(
      {
        ::alarm(60);
        std::_Exit(everyDiskOperationAnswersWithoutHashing(base.path(), photo) ? 0 : 1);
      },
      testing::ExitedWithCode(0), "");
  previous ? ::setenv("OPENSSL_CONF", kept.c_str(), 1) : ::unsetenv("OPENSSL_CONF");
}

TEST_F(ImageCacheTest, HostileKeysStayInsideTheDirectory) {
  const std::string longKey(10 * 1024, 'k');
  const std::string keys[] = {"../x", "", longKey, std::string("a\0b", 3), "/etc/passwd", ".."};
  auto plainNames = [&] {
    auto memory = std::make_shared<ImageCache::MemoryBackend>(MemoryStorage::Config(0, 120));
    DiskStorage::Config config("plain", 0, nullptr, dir.path());
    config.usesHashedFileName = false;
    auto disk = std::make_shared<ImageCache::DiskBackend>(config);
    EXPECT_TRUE(disk->waitForMaybeCachedSetup(test::kDeadline));
    return ImageCache::make(memory, disk);
  }();
  for (const auto& c : {cache, plainNames}) {
    for (const auto& key : keys) {
      std::promise<CacheStoreResult> stored;
      c->store(photo, std::nullopt, key, options, true, [&](CacheStoreResult r) { stored.set_value(r); });
      const auto result = test::await(stored.get_future());
      c->clearMemoryCache();
      const auto found = [&] {
        std::promise<Retrieved> done;
        c->retrieveImage(key, options, CallbackQueue::untouch(), [&](Retrieved r) { done.set_value(r); });
        return test::await(done.get_future());
      }();
      // Hashed names take every key; plain names refuse those that are no file name.
      if (result.diskCacheResult) {
        EXPECT_EQ(found.value().cacheType(), CacheType::disk) << key.size();
      }
      std::promise<void> removed;
      c->removeImage(key, "", std::nullopt, true, true, CallbackQueue::untouch(), [&] { removed.set_value(); });
      test::await(removed.get_future());
      EXPECT_EQ(c->imageCachedType(key), CacheType::none);
    }
  }
  // Only the two cache directories were ever written to.
  std::vector<fs::path> top;
  for (const auto& entry : fs::directory_iterator(dir.path())) top.push_back(entry.path().filename());
  std::sort(top.begin(), top.end());
  EXPECT_EQ(top, (std::vector<fs::path>{"com.marrowby.Vellum.ImageCache.plain", "com.marrowby.Vellum.ImageCache.test"}));
  EXPECT_FALSE(fs::exists(dir.path() / "x"));
}

}  // namespace
}  // namespace vellum
