// Sources and their keys, resources, the simple providers and live-photo values: keys as they reach the disk
// cache, the identity of sources in containers, and local reads that fail fast instead of hanging.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <thread>
#include <unordered_map>
#include <unordered_set>

#include "foundation/serial_queue.hpp"
#include "test_files.hpp"
#include "test_images.hpp"
#include "test_media.hpp"
#include "test_providers.hpp"
#include "vellum/image/image_codecs.hpp"
#include "vellum/sources/av_asset_image_data_provider.hpp"
#include "vellum/sources/base64_image_data_provider.hpp"
#include "vellum/sources/live_photo_source.hpp"
#include "vellum/sources/local_file_image_data_provider.hpp"
#include "vellum/sources/photo_picker.hpp"
#include "vellum/sources/picker_image_data_providers.hpp"
#include "vellum/sources/raw_image_data_provider.hpp"
#include "vellum/sources/source.hpp"
#include "vellum/sources/thumbnail_image_data_provider.hpp"

namespace vellum {
namespace {

using namespace std::chrono_literals;
using foundation::Bytes;
using test::TempDirectory;

constexpr auto kDeadline = 10s;

URL url(const char* text) { return *URL::parse(text); }

TEST(SourceKeys, LocalFileKeysFollowPathComponentsUpToTheInnermostBundle) {
  EXPECT_EQ(cacheKey(url("file:///tmp/a/b.png")), "vellum.local.cacheKey///tmp/a/b.png");
  EXPECT_EQ(cacheKey(url("file:///Applications/Some.app/Contents/Resources/x.png")),
            "vellum.local.cacheKey/Some.app/Contents/Resources/x.png");
  EXPECT_EQ(cacheKey(url("file:///A/Host.app/Contents/PlugIns/Ext.appex/Contents/Resources/y.png")),
            "vellum.local.cacheKey/Ext.appex/Contents/Resources/y.png");
  // The suffix test is case-sensitive.
  EXPECT_EQ(cacheKey(url("file:///A/Some.APP/x.png")), "vellum.local.cacheKey///A/Some.APP/x.png");
  EXPECT_EQ(cacheKey(url("file:///tmp/a.png?v=2")), "vellum.local.cacheKey///tmp/a.png?v=2");
  // Components are decoded; a trailing slash adds none.
  EXPECT_EQ(cacheKey(url("file:///tmp/a%20b%C3%A9.png")), "vellum.local.cacheKey///tmp/a b\xC3\xA9.png");
  EXPECT_EQ(cacheKey(url("file:///tmp/dir/")), "vellum.local.cacheKey///tmp/dir");
  EXPECT_EQ(cacheKey(URL::fileURL("/tmp/a b?.png")), "vellum.local.cacheKey///tmp/a b?.png");
  // Network keys are the text as given.
  EXPECT_EQ(cacheKey(url("https://example.com/a.png?v=2#f")), "https://example.com/a.png?v=2#f");
  EXPECT_EQ(VL::ImageResource(url("https://example.com/a.png")).cacheKey(), cacheKey(url("https://example.com/a.png")));
  EXPECT_EQ(VL::ImageResource(url("file:///tmp/a.png")).cacheKey(), "vellum.local.cacheKey///tmp/a.png");
  EXPECT_FALSE(URL::parse("no scheme here"));
}

TEST(SourceKeys, ConversionMakesFileURLsLocalProvidersAndKeepsOverrideKeys) {
  const Source web = convertToSource(url("https://example.com/a.png"), "k");
  ASSERT_EQ(web.kind(), Source::Kind::network);
  EXPECT_EQ(web.cacheKey(), "k");
  EXPECT_EQ(web.resource()->downloadURL(), url("https://example.com/a.png"));
  EXPECT_EQ(web.url(), url("https://example.com/a.png"));

  const Source file = VL::ImageResource(url("file:///tmp/a.png")).convertToSource("k");
  ASSERT_EQ(file.kind(), Source::Kind::provider);
  EXPECT_NE(dynamic_cast<const LocalFileImageDataProvider*>(file.provider().get()), nullptr);
  EXPECT_EQ(file.provider()->cacheKey(), "k");
  EXPECT_EQ(file.provider()->contentURL(), url("file:///tmp/a.png"));

  const Source plain = convertToSource(url("file:///tmp/a.png"));
  EXPECT_EQ(plain.cacheKey(), "vellum.local.cacheKey///tmp/a.png");
}

TEST(SourceIdentity, EqualityAndHashFollowCaseKeyAndURL) {
  const Source network = convertToSource(url("https://example.com/a.png"), "same");
  const Source raw = RawImageDataProvider(Bytes{1}, "same").convertToSource();
  EXPECT_NE(network, raw);
  // Different provider types with the same key and no content URL are the same source.
  const Source base64 = Base64ImageDataProvider("AQ==", "same").convertToSource();
  EXPECT_EQ(raw, base64);
  EXPECT_EQ(std::hash<Source>{}(raw), std::hash<Source>{}(base64));
  // Same key, different content URL.
  const Source fileA = LocalFileImageDataProvider(url("file:///a.png"), "same").convertToSource();
  const Source fileB = LocalFileImageDataProvider(url("file:///b.png"), "same").convertToSource();
  EXPECT_NE(fileA, fileB);
  EXPECT_NE(fileA, raw);
  EXPECT_NE(network, convertToSource(url("https://example.com/b.png"), "same"));

  std::unordered_set<Source> set{network, raw, base64, fileA, fileB};
  EXPECT_EQ(set.size(), 4u);
}

TEST(SourceIdentity, ASourceOwnsItsProviderSoLaterChangesLeaveItsKeyAndHash) {
  LocalFileImageDataProvider provider(url("file:///tmp/a.png"));
  const Source source = provider.convertToSource();
  const std::size_t hash = std::hash<Source>{}(source);
  std::unordered_map<Source, int> map{{source, 7}};
  provider.setCacheKey("changed");
  EXPECT_EQ(source.cacheKey(), "vellum.local.cacheKey///tmp/a.png");
  EXPECT_EQ(source.provider()->cacheKey(), "vellum.local.cacheKey///tmp/a.png");
  EXPECT_EQ(std::hash<Source>{}(source), hash);
  EXPECT_EQ(map.at(source), 7);
  EXPECT_EQ(map.count(provider.convertToSource()), 0u);
}

TEST(SourceIdentifier, FirstIdentifierOfAProcessIsOne) {
  // The threadsafe style runs the statement in a freshly started copy of this program.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        const bool ok = Source::Identifier::current() == 0 && Source::Identifier::next() == 1 &&
                        Source::Identifier::next() == 2 && Source::Identifier::current() == 2;
        std::_Exit(ok ? 0 : 1);
      },
      testing::ExitedWithCode(0), "");
  const auto a = Source::Identifier::next();
  EXPECT_GT(Source::Identifier::next(), a);
}

// What a data(handler) call delivered, and where.
struct Delivery {
  std::promise<ImageDataProvider::DataResult> promise;
  std::thread::id thread;
  ImageDataProvider::Handler handler() {
    return [this](ImageDataProvider::DataResult result) {
      thread = std::this_thread::get_id();
      promise.set_value(std::move(result));
    };
  }
  ImageDataProvider::DataResult wait() {
    auto future = promise.get_future();
    if (future.wait_for(kDeadline) != std::future_status::ready) throw std::runtime_error("no answer in time");
    return future.get();
  }
};

int errnoOf(const ImageDataProvider::DataResult& result, std::string* path = nullptr) {
  try {
    std::rethrow_exception(result.error());
  } catch (const std::filesystem::filesystem_error& e) {
    if (path) *path = e.path1().string();
    return e.code().value();
  } catch (...) {
    return -1;
  }
}

TEST(LocalFileProvider, ReadsTheWholeFileOnTheChosenQueue) {
  TempDirectory dir;
  Bytes content(300'000);
  for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<std::uint8_t>(i * 7);
  const auto path = dir.write("a.png", content);

  // untouch: answered on this thread before data() returns.
  Delivery immediate;
  bool answered = false;
  LocalFileImageDataProvider(URL::fileURL(path.string()), std::nullopt, CallbackQueue::untouch())
      .data([&](ImageDataProvider::DataResult result) {
        answered = true;
        immediate.handler()(std::move(result));
      });
  EXPECT_TRUE(answered);
  EXPECT_EQ(immediate.thread, std::this_thread::get_id());
  EXPECT_EQ(immediate.wait().value(), content);

  // dispatch: later, on that queue. The queue is held busy until data() has returned.
  auto queue = std::make_shared<foundation::SerialQueue>("test.loading");
  std::promise<void> release;
  queue->post([held = release.get_future().share()] { held.wait_for(kDeadline); });
  Delivery later;
  std::atomic<bool> onQueue{false};
  LocalFileImageDataProvider(URL::fileURL(path.string()), "k", CallbackQueue::dispatch(queue))
      .data([&, handler = later.handler()](ImageDataProvider::DataResult result) {
        onQueue = queue->isCurrent();
        handler(std::move(result));
      });
  release.set_value();
  EXPECT_EQ(later.wait().value(), content);
  EXPECT_TRUE(onQueue);
  EXPECT_NE(later.thread, std::this_thread::get_id());

  // The converted form reads on the shared pool and through the future.
  auto future = convertToSource(URL::fileURL(path.string())).provider()->dataAsync();
  ASSERT_EQ(future.wait_for(kDeadline), std::future_status::ready);
  EXPECT_EQ(future.get(), content);
}

TEST(LocalFileProvider, FailuresAreSystemErrorsAndNothingButRegularFilesIsRead) {
  TempDirectory dir;
  const auto readErrno = [](const std::filesystem::path& path, std::string* failedPath = nullptr) {
    Delivery delivery;
    LocalFileImageDataProvider(URL::fileURL(path.string())).data(delivery.handler());
    return errnoOf(delivery.wait(), failedPath);
  };
  std::string failedPath;
  EXPECT_EQ(readErrno(dir.path() / "missing.png", &failedPath), ENOENT);
  EXPECT_EQ(failedPath, (dir.path() / "missing.png").string());
  EXPECT_EQ(readErrno(dir.path()), EINVAL);
  // A FIFO without a writer would block open() and a read for ever; /dev/zero never ends.
  const auto fifo = dir.path() / "pipe.png";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(readErrno(fifo), EINVAL);
  EXPECT_EQ(readErrno("/dev/zero"), EINVAL);
  Delivery web;
  LocalFileImageDataProvider(url("https://x.test/etc/hostname")).data(web.handler());
  EXPECT_EQ(errnoOf(web.wait()), EINVAL);
  // The future form rethrows the same error.
  auto future = LocalFileImageDataProvider(URL::fileURL((dir.path() / "missing.png").string())).dataAsync();
  ASSERT_EQ(future.wait_for(kDeadline), std::future_status::ready);
  EXPECT_THROW(future.get(), std::filesystem::filesystem_error);
  // An empty file is an empty answer, not an error.
  Delivery empty;
  LocalFileImageDataProvider(URL::fileURL(dir.write("empty", {}).string())).data(empty.handler());
  EXPECT_TRUE(empty.wait().value().empty());
}

// open() reads a path up to its first NUL: "secret.png%00.jpg" would read secret.png.
TEST(LocalReaders, APathHoldingANulIsRefusedByEveryReader) {
  TempDirectory dir;
  dir.write("secret.png", *encodePNG(test::gradient(8, 8)));
  test::writeClip(dir.path() / "secret.mp4", false);
  const auto cut = [&](const char* name) { return url(("file://" + dir.path().string() + "/" + name + "%00.jpg").c_str()); };
  ASSERT_EQ(cut("secret.png").path(), (dir.path() / "secret.png").string() + std::string(1, '\0') + ".jpg");

  Delivery local;
  LocalFileImageDataProvider(cut("secret.png")).data(local.handler());
  EXPECT_EQ(errnoOf(local.wait()), EINVAL);
  EXPECT_FALSE(test::readProvider(ThumbnailImageDataProvider(cut("secret.png"), 4)).ok());
  EXPECT_FALSE(test::readProvider(AVAssetImageDataProvider(cut("secret.mp4"), 0.5)).ok());
  EXPECT_FALSE(test::readProvider(PHPickerResultImageDataProvider(
                                      PickerResult{std::nullopt, std::make_shared<FileItemProvider>(cut("secret.png"))},
                                      UniformType::image()))
                   .ok());
  EXPECT_FALSE(
      test::readProvider(PhotosPickerItemImageDataProvider(std::make_shared<FilePhotosPickerItem>(cut("secret.png"))))
          .ok());
  // The same readers without the cut read the file.
  EXPECT_TRUE(test::readProvider(ThumbnailImageDataProvider(URL::fileURL((dir.path() / "secret.png").string()), 4)).ok());
  EXPECT_TRUE(test::readProvider(AVAssetImageDataProvider(URL::fileURL((dir.path() / "secret.mp4").string()), 0.5)).ok());
}

TEST(InMemoryProviders, AnswerSynchronouslyWithTheirBytesOrATypedError) {
  bool answered = false;
  RawImageDataProvider({1, 2, 3}, "raw").data([&](ImageDataProvider::DataResult r) {
    answered = true;
    EXPECT_EQ(r.value(), (Bytes{1, 2, 3}));
  });
  EXPECT_TRUE(answered);

  answered = false;
  Base64ImageDataProvider("iVBORw0KGgo=", "b64").data([&](ImageDataProvider::DataResult r) {
    answered = true;
    EXPECT_EQ(r.value(), (Bytes{0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'}));
  });
  EXPECT_TRUE(answered);

  for (const char* text : {"iVBORw0K\nGgo=", "iVBORw0KGgo", "not base64!", "iVBORw0KGgo=="}) {
    answered = false;
    Base64ImageDataProvider(text, "b64").data([&](ImageDataProvider::DataResult r) {
      answered = true;
      ASSERT_FALSE(r.ok()) << text;
      EXPECT_THROW(std::rethrow_exception(r.error()), Base64ImageDataProvider::InvalidBase64);
    });
    EXPECT_TRUE(answered) << text;
  }
}

TEST(SourcesConcurrency, ConvertedFileURLsReadInParallelOnThePool) {
  // A block that waits for a later one can only finish when the two run at once.
  std::promise<void> secondRan;
  std::promise<bool> firstSawSecond;
  const CallbackQueue pool = CallbackQueue::dispatchConcurrent();
  pool.execute([&] { firstSawSecond.set_value(secondRan.get_future().wait_for(kDeadline) == std::future_status::ready); });
  pool.execute([&] { secondRan.set_value(); });
  auto parallel = firstSawSecond.get_future();
  ASSERT_EQ(parallel.wait_for(kDeadline * 2), std::future_status::ready);
  EXPECT_TRUE(parallel.get());

  TempDirectory dir;
  std::vector<std::future<Bytes>> reads;
  for (int i = 0; i < 32; ++i) {
    const auto path = dir.write("f" + std::to_string(i), Bytes(1000 + i, static_cast<std::uint8_t>(i)));
    reads.push_back(convertToSource(URL::fileURL(path.string())).provider()->dataAsync());
  }
  for (int i = 0; i < 32; ++i) {
    ASSERT_EQ(reads[i].wait_for(kDeadline), std::future_status::ready);
    EXPECT_EQ(reads[i].get(), Bytes(1000 + i, static_cast<std::uint8_t>(i)));
  }
}

TEST(SourcesConcurrency, IdentifiersFromManyThreadsAreUnique) {
  std::vector<std::vector<std::uint64_t>> taken(8);
  {
    std::vector<std::jthread> threads;
    for (auto& ids : taken) {
      threads.emplace_back([&ids] {
        for (int i = 0; i < 1000; ++i) ids.push_back(Source::Identifier::next());
      });
    }
  }
  std::unordered_set<std::uint64_t> all;
  for (const auto& ids : taken) all.insert(ids.begin(), ids.end());
  EXPECT_EQ(all.size(), 8000u);
  EXPECT_FALSE(all.count(0));
}

using FileType = LivePhotoResource::FileType;

TEST(LivePhotoValues, KindsAreGuessedFromURLsAndReadFromFileHeaders) {
  EXPECT_EQ(FileType::guess(url("https://x.test/a/IMG.MOV")), FileType::mov());
  EXPECT_EQ(FileType::guess(url("https://x.test/a/IMG.HEIC?x=1")), FileType::heic());
  EXPECT_EQ(FileType::guess(url("https://x.test/a/IMG.JPG")), FileType::other("jpg"));
  EXPECT_EQ(FileType::guess(url("https://x.test/a/IMG")), FileType::other(""));
  EXPECT_NE(FileType::other("mov"), FileType::mov());

  const auto header = [](const char* text) { return Bytes(text, text + 12); };
  EXPECT_EQ(FileType::other("").fileExtension(header("\0\0\0\x18" "ftypheic")), "heic");
  EXPECT_EQ(FileType::other("").fileExtension(header("\0\0\0\x14" "ftypqt  ")), "mov");
  EXPECT_EQ(FileType::other("").fileExtension(header("\0\0\0\x18" "ftypmif1")), std::nullopt);
  EXPECT_EQ(FileType::other("").fileExtension(header("\0\0\0\x18" "moovheic")), std::nullopt);
  const Bytes heic = header("\0\0\0\x18" "ftypheic");
  EXPECT_EQ(FileType::other("").fileExtension(std::span(heic).first(11)), std::nullopt);
  EXPECT_EQ(FileType::other("jpg").fileExtension({}), "jpg");
  EXPECT_EQ(FileType::mov().fileExtension({}), "mov");
}

TEST(LivePhotoValues, ResourcesStayNetworkSourcesAndExplicitKindsWin) {
  const LivePhotoSource source(std::vector<URL>{URL::fileURL("/tmp/p.HEIC"), url("https://x.test/p.mov")});
  ASSERT_EQ(source.resources.size(), 2u);
  EXPECT_EQ(source.resources[0].dataSource.kind(), Source::Kind::network);
  EXPECT_EQ(source.resources[0].dataSource.cacheKey(), "vellum.local.cacheKey///tmp/p.HEIC");
  EXPECT_EQ(source.resources[0].referenceFileType, FileType::heic());
  EXPECT_EQ(source.resources[1].referenceFileType, FileType::mov());

  EXPECT_EQ(LivePhotoResource(url("https://x.test/p.mov"), "k", FileType::heic()).referenceFileType, FileType::heic());
  EXPECT_EQ(LivePhotoResource(url("https://x.test/p.mov"), "k").dataSource.cacheKey(), "k");
  EXPECT_EQ(LivePhotoResource(RawImageDataProvider({}, "k").convertToSource()).referenceFileType, FileType::other(""));
  EXPECT_EQ(LivePhotoResource(convertToSource(URL::fileURL("/tmp/v.mov"))).referenceFileType, FileType::mov());

  // Null resource pointers are skipped, as the prefetcher skips them.
  const VL::ImageResource still(url("https://x.test/p.heic"));
  const LivePhotoSource sparse(std::vector<const Resource*>{nullptr, &still, nullptr});
  ASSERT_EQ(sparse.resources.size(), 1u);
  EXPECT_EQ(sparse.resources[0].referenceFileType, FileType::heic());
}

}  // namespace
}  // namespace vellum
