// Video frames and thumbnails decode on workers of their own: requests queued there leave serial queues
// running, and a cancelled retrieval stops its decode. The decoding workers are held busy on purpose, so
// nothing here depends on how long a decode takes.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>

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

using namespace std::chrono_literals;
using test::await;
using ProviderError = AVAssetImageDataProvider::AVAssetImageDataProviderError;

// Every decoding worker blocked until release() (or the object's end), so that work posted meanwhile waits.
class HeldDecodingWorkers {
 public:
  HeldDecodingWorkers() {
    const unsigned workers = DecodingPool::threadCount();
    for (unsigned i = 0; i < workers; ++i) {
      boost::asio::post(DecodingPool::shared(), [state = state_] {
        {
          std::lock_guard lock(state->mutex);
          ++state->holding;
        }
        state->changed.notify_all();
        std::unique_lock lock(state->mutex);
        state->changed.wait_for(lock, 60s, [&] { return state->released; });
      });
    }
    std::unique_lock lock(state_->mutex);
    if (!state_->changed.wait_for(lock, test::kDeadline, [&] { return state_->holding == workers; })) {
      throw std::runtime_error("the decoding workers were not all held in time");
    }
  }
  ~HeldDecodingWorkers() { release(); }
  void release() {
    {
      std::lock_guard lock(state_->mutex);
      state_->released = true;
    }
    state_->changed.notify_all();
  }

 private:
  struct State {
    std::mutex mutex;
    std::condition_variable changed;
    unsigned holding = 0;
    bool released = false;
  };
  std::shared_ptr<State> state_ = std::make_shared<State>();
};

TEST(DecodingConcurrency, FrameRequestsDeepIntoAClipLeaveSerialQueuesRunning) {
  test::TempDirectory dir;
  const auto clip = dir.path() / "clip.mp4";
  test::writeClip(clip, false);
  const auto photo = dir.write("photo.png", *encodePNG(test::gradient(64, 32)));
  auto generator = std::make_shared<VideoFileImageGenerator>(URL::fileURL(clip.string()));

  HeldDecodingWorkers held;
  // Far more requests than the shared pool has threads: were they run there, a serial queue's task posted
  // after them would wait until most had answered.
  constexpr int kRequests = 64;
  auto answered = std::make_shared<std::atomic<int>>(0);
  auto succeeded = std::make_shared<std::atomic<int>>(0);
  auto allAnswered = std::make_shared<std::promise<void>>();
  for (int i = 0; i < kRequests; ++i) {
    generator->generateImage(MediaTime::fromSeconds(2.9), [=](AssetImageGenerator::Outcome outcome) {
      if (outcome.result == AssetImageGenerator::Result::succeeded) ++*succeeded;
      if (++*answered == kRequests) allAnswered->set_value();
    });
  }
  auto thumbnail = std::make_shared<std::promise<bool>>();
  ThumbnailImageDataProvider(URL::fileURL(photo.string()), 16).data([thumbnail](ImageDataProvider::DataResult r) {
    thumbnail->set_value(r.ok() && DecodingPool::isWorkerThread());
  });

  foundation::SerialQueue queue("decoding-concurrency");
  auto seen = std::make_shared<std::promise<int>>();
  queue.post([seen, answered] { seen->set_value(answered->load()); });
  EXPECT_EQ(await(seen->get_future()), 0) << "the serial queue ran only after frame requests had answered";

  held.release();
  await(allAnswered->get_future());
  EXPECT_EQ(succeeded->load(), kRequests);
  EXPECT_TRUE(await(thumbnail->get_future()));
}

// Forwards to a real provider and keeps what that provider answered, whatever the manager made of it.
class RecordingProvider final : public ImageDataProvider {
 public:
  struct Record {
    std::promise<void> asked;
    std::promise<DataResult> answer;
  };
  RecordingProvider(std::shared_ptr<const ImageDataProvider> inner, std::shared_ptr<Record> record)
      : inner_(std::move(inner)), record_(std::move(record)) {}
  std::string cacheKey() const override { return inner_->cacheKey(); }
  void data(Handler handler) const override { cancellableData({}, std::move(handler)); }
  void cancellableData(std::stop_token stop, Handler handler) const override {
    record_->asked.set_value();
    inner_->cancellableData(std::move(stop), [record = record_, handler = std::move(handler)](DataResult result) {
      record->answer.set_value(result);
      handler(std::move(result));
    });
  }
  std::unique_ptr<ImageDataProvider> clone() const override { return std::make_unique<RecordingProvider>(*this); }

 private:
  std::shared_ptr<const ImageDataProvider> inner_;
  std::shared_ptr<Record> record_;
};

bool isDataProviderCancelled(const VellumError& e) {
  const auto* reason = e.requestReason();
  return reason && std::holds_alternative<VellumError::RequestErrorReason::DataProviderCancelled>(reason->value);
}

TEST(DecodingConcurrency, CancellingTheManagersTaskStopsTheDecode) {
  test::TempDirectory dir;
  const auto clip = dir.path() / "clip.mp4";
  test::writeClip(clip, false);
  test::TemporaryDirectory cacheDirectory;
  auto manager =
      VellumManager::make(ImageDownloader::make("decoding-concurrency"), test::makeCache(cacheDirectory.path()));

  HeldDecodingWorkers held;
  auto record = std::make_shared<RecordingProvider::Record>();
  const RecordingProvider provider(std::make_shared<AVAssetImageDataProvider>(URL::fileURL(clip.string()), 2.9),
                                   record);
  auto retrieved = std::make_shared<std::promise<VellumManager::RetrieveResult>>();
  const VellumOptionsInfo options{VellumOptionsInfoItem::callbackQueue(CallbackQueue::untouch())};
  auto task = manager->retrieveImage(provider.convertToSource(), options, nullptr,
                                     [retrieved](const VellumManager::RetrieveResult& r) { retrieved->set_value(r); });
  // The decode is queued behind the held workers when the task is cancelled.
  await(record->asked.get_future());
  ASSERT_TRUE(task);
  task->cancel();
  const auto result = await(retrieved->get_future());
  ASSERT_FALSE(result.ok());
  EXPECT_TRUE(isDataProviderCancelled(result.error()));
  held.release();
  const auto answer = await(record->answer.get_future());
  ASSERT_FALSE(answer.ok());
  try {
    std::rethrow_exception(answer.error());
  } catch (const ProviderError& e) {
    EXPECT_EQ(e.code(), ProviderError::Code::userCancelled);
  } catch (...) {
    ADD_FAILURE() << "the decode was not stopped";
  }

  // A thumbnail stopped before its decode answers the cancellation too.
  HeldDecodingWorkers heldAgain;
  const auto photo = dir.write("photo.png", *encodePNG(test::gradient(64, 32)));
  std::stop_source stop;
  auto thumbnail = std::make_shared<std::promise<ImageDataProvider::DataResult>>();
  ThumbnailImageDataProvider(URL::fileURL(photo.string()), 16)
      .cancellableData(stop.get_token(), [thumbnail](ImageDataProvider::DataResult r) { thumbnail->set_value(r); });
  stop.request_stop();
  heldAgain.release();
  const auto thumbnailAnswer = await(thumbnail->get_future());
  ASSERT_FALSE(thumbnailAnswer.ok());
  try {
    std::rethrow_exception(thumbnailAnswer.error());
  } catch (const VellumError& e) {
    EXPECT_TRUE(isDataProviderCancelled(e));
  } catch (...) {
    ADD_FAILURE() << "the thumbnail was not stopped";
  }
}

}  // namespace
}  // namespace vellum
