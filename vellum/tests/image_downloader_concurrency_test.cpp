// The downloader under callers on many threads: joining, cancelling and releasing at the same time.
#include <gtest/gtest.h>

#include <thread>

#include <testing/loopback_server.hpp>

#include "downloader_test_support.hpp"

namespace vellum::test {
namespace {

using testing_support::LoopbackServer;
using testing_support::Reply;

class DownloaderConcurrency : public ::testing::Test {
 protected:
  void SetUp() override {
    server.on("GET", "/a.png", Reply{200, text(png), "image/png", {}, {}, {}});
    server.start();
  }
  const foundation::Bytes png = pngBytes(8, 8);
  LoopbackServer server;
  std::shared_ptr<ImageDownloader> downloader = ImageDownloader::make("concurrency");
};

// A caller joining while the last other caller cancels either joins in time or starts a new transfer; it
// is never left attached to a transfer being cancelled.
TEST_F(DownloaderConcurrency, LateCallerIsAlwaysAnswered) {
  const auto marker = std::make_shared<MarkingProcessor>("late", 1);
  for (int i = 0; i < 200; ++i) {
    const std::string url = server.baseURL() + "/a.png?" + std::to_string(i);
    Answer first, late;
    auto handle = downloader->downloadImage(url, direct(), first.completion());
    std::thread joiner([&] { downloader->downloadImage(url, direct(marker), late.completion()); });
    handle->cancel();
    joiner.join();
    const auto result = late.get();
    ASSERT_TRUE(result) << "iteration " << i << ": " << result.error().what();
    EXPECT_EQ(result.value().originalData, png);
    first.get();
  }
}

TEST_F(DownloaderConcurrency, ManyCallersOnManyThreadsAllGetTheirImages) {
  constexpr int kThreads = 8, kEach = 25;
  std::vector<std::thread> threads;
  std::atomic<int> successes{0};
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        Answer answer;
        auto handle = downloader->downloadImage(server.baseURL() + "/a.png?" + std::to_string(i % 5), direct(),
                                                answer.completion());
        handle->setPriority(static_cast<float>(t) / kThreads);
        if (answer.get()) ++successes;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(successes, kThreads * kEach);
  EXPECT_LE(server.totalHits(), kThreads * kEach);
}

// Callers whose images wait on the processing queue are answered when the downloader goes meanwhile.
TEST_F(DownloaderConcurrency, ReleasingWhileImagesWaitForProcessingAnswersThem) {
  auto processing = std::make_shared<foundation::SerialQueue>("test.processing");
  std::promise<void> unblock;
  std::promise<void> blocked;
  processing->post([&] {
    blocked.set_value();
    unblock.get_future().wait_for(kDeadline);
  });
  await(blocked.get_future());
  auto options = direct();
  options.processingQueue = CallbackQueue::dispatch(processing);
  struct Ended final : ImageDownloaderDelegate {
    std::promise<void> ended;
    void didFinishDownloadingImage(ImageDownloader&, const std::string&, const std::optional<httpkit::HTTPURLResponse>&,
                                   const VellumError*) override {
      ended.set_value();
    }
  };
  auto observer = std::make_shared<Ended>();
  downloader->setDelegate(observer);
  Answer answer;
  downloader->downloadImage(server.baseURL() + "/a.png", options, answer.completion());
  // The transfer has ended: its image is handed to the blocked processing queue next.
  await(observer->ended.get_future());
  downloader.reset();
  unblock.set_value();
  const auto result = answer.get();
  ASSERT_FALSE(result);
  const auto error = sessionURLError(result.error());
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), httpkit::URLError::Code::cancelled);
}

}  // namespace
}  // namespace vellum::test
