// Video frames and thumbnails decode on workers of their own: requests queued there leave serial queues
// running, and a cancelled retrieval stops its decode. The decoding workers are held busy on purpose, so
// nothing here depends on how long a decode takes.
#include <gtest/gtest.h>

#include <atomic>
#include <future>

#include <boost/asio/post.hpp>

#include "cache_test_support.hpp"
#include "sources/decoding_pool.hpp"
#include "test_files.hpp"
#include "test_images.hpp"
#include "test_media.hpp"
#include "vellum/image/image_codecs.hpp"
#include "vellum/networking/image_downloader.hpp"
#include "vellum/retrieval/vellum_manager.hpp"
#include "vellum/sources/av_asset_image_data_provider.hpp"
#include "vellum/sources/thumbnail_image_data_provider.hpp"

namespace vellum {
namespace {

using test::await;
using Outcome = AssetImageGenerator::Outcome;

// Every decoding worker blocked until release() (or the object's end), so that work posted meanwhile waits.
class HeldDecodingWorkers {
 public:
  HeldDecodingWorkers() {
    for (unsigned i = 0; i < DecodingPool::threadCount(); ++i) {
      auto holding = std::make_shared<std::promise<void>>();
      boost::asio::post(DecodingPool::shared(), [holding, released = released_] {
        holding->set_value();
        released.wait_for(std::chrono::seconds(60));
      });
      await(holding->get_future());
    }
  }
  ~HeldDecodingWorkers() { release(); }
  void release() {
    if (!done_.exchange(true)) release_.set_value();
  }

 private:
  std::promise<void> release_;
  std::shared_future<void> released_ = release_.get_future().share();
  std::atomic<bool> done_{false};
};

TEST(DecodingConcurrency, FrameRequestsDeepIntoAClipLeaveSerialQueuesRunning) {
  test::TempDirectory dir;
  const auto clip = dir.path() / "clip.mp4";
  test::writeClip(clip, false);
  auto generator = std::make_shared<VideoFileImageGenerator>(URL::fileURL(clip.string()));

  HeldDecodingWorkers held;
  // Far more requests than the shared pool has threads: were they run there, a serial queue's task posted
  // after them would wait until most had answered.
  constexpr int kRequests = 64;
  auto answered = std::make_shared<std::atomic<int>>(0), succeeded = std::make_shared<std::atomic<int>>(0);
  auto allAnswered = std::make_shared<std::promise<void>>();
  for (int i = 0; i < kRequests; ++i) {
    generator->generateImage(MediaTime::fromSeconds(2.9), [=](Outcome outcome) {
      if (outcome.result == AssetImageGenerator::Result::succeeded) ++*succeeded;
      if (++*answered == kRequests) allAnswered->set_value();
    });
  }
  foundation::SerialQueue queue("decoding-concurrency");
  auto seen = std::make_shared<std::promise<int>>();
  queue.post([seen, answered] { seen->set_value(answered->load()); });
  EXPECT_EQ(await(seen->get_future()), 0) << "the serial queue ran only after frame requests had answered";

  held.release();
  await(allAnswered->get_future());
  EXPECT_EQ(succeeded->load(), kRequests);
}

// Forwards to a real provider and keeps what that provider answered, whatever the manager made of it.
struct RecordingProvider final : ImageDataProvider {
  struct Record {
    std::promise<void> asked;
    std::promise<DataResult> answer;
  };
  std::shared_ptr<const ImageDataProvider> inner;
  std::shared_ptr<Record> record = std::make_shared<Record>();

  explicit RecordingProvider(std::shared_ptr<const ImageDataProvider> provider) : inner(std::move(provider)) {}
  std::string cacheKey() const override { return inner->cacheKey(); }
  void data(Handler handler) const override { cancellableData({}, std::move(handler)); }
  void cancellableData(std::stop_token stop, Handler handler) const override {
    record->asked.set_value();
    inner->cancellableData(std::move(stop), [r = record, handler = std::move(handler)](DataResult result) {
      r->answer.set_value(result);
      handler(std::move(result));
    });
  }
  std::unique_ptr<ImageDataProvider> clone() const override { return std::make_unique<RecordingProvider>(*this); }
};

bool isDataProviderCancelled(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const VellumError& e) {
    const auto* reason = e.requestReason();
    return reason && std::holds_alternative<VellumError::RequestErrorReason::DataProviderCancelled>(reason->value);
  } catch (...) {
  }
  return false;
}

TEST(DecodingConcurrency, CancellingTheManagersTaskStopsTheDecode) {
  test::TempDirectory dir;
  const auto clip = dir.path() / "clip.mp4";
  test::writeClip(clip, false);
  test::TemporaryDirectory cacheDirectory;
  auto manager = VellumManager::make(ImageDownloader::make("decoding"), test::makeCache(cacheDirectory.path()));

  auto held = std::make_unique<HeldDecodingWorkers>();
  const RecordingProvider provider(std::make_shared<AVAssetImageDataProvider>(URL::fileURL(clip.string()), 2.9));
  auto retrieved = std::make_shared<std::promise<VellumManager::RetrieveResult>>();
  const VellumOptionsInfo options{VellumOptionsInfoItem::callbackQueue(CallbackQueue::untouch())};
  auto task = manager->retrieveImage(provider.convertToSource(), options, nullptr,
                                     [retrieved](const VellumManager::RetrieveResult& r) { retrieved->set_value(r); });
  // The decode is queued behind the held workers when the task is cancelled.
  await(provider.record->asked.get_future());
  ASSERT_TRUE(task);
  task->cancel();
  const auto result = await(retrieved->get_future());
  ASSERT_FALSE(result.ok());
  EXPECT_TRUE(isDataProviderCancelled(std::make_exception_ptr(result.error())));
  held->release();
  const auto answer = await(provider.record->answer.get_future());
  ASSERT_FALSE(answer.ok()) << "the decode was not stopped";
  try {
    std::rethrow_exception(answer.error());
  } catch (const AVAssetImageDataProvider::AVAssetImageDataProviderError& e) {
    EXPECT_EQ(e.code(), AVAssetImageDataProvider::AVAssetImageDataProviderError::Code::userCancelled);
  }

  // A thumbnail stopped before its decode answers the cancellation too.
  held = std::make_unique<HeldDecodingWorkers>();
  const auto photo = dir.write("photo.png", *encodePNG(test::gradient(64, 32)));
  std::stop_source stop;
  auto thumbnail = std::make_shared<std::promise<ImageDataProvider::DataResult>>();
  ThumbnailImageDataProvider(URL::fileURL(photo.string()), 16)
      .cancellableData(stop.get_token(), [thumbnail](ImageDataProvider::DataResult r) { thumbnail->set_value(r); });
  stop.request_stop();
  held->release();
  const auto stopped = await(thumbnail->get_future());
  ASSERT_FALSE(stopped.ok());
  EXPECT_TRUE(isDataProviderCancelled(stopped.error()));
}

}  // namespace
}  // namespace vellum
