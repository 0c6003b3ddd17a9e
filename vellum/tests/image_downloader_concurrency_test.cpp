// The downloader under callers on many threads: joining, cancelling and releasing at the same time.
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <thread>

#include <unistd.h>

#include <testing/loopback_server.hpp>
#include <testing/scripted_server.hpp>

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

// Many callers share one held transfer and every other one cancels: each is answered once, the cancelled
// ones with the cancellation and the rest with the image, and cancelling them does not rescan the others.
TEST_F(DownloaderConcurrency, ManyCallersOfOneURLCancelledOneByOneAreEachAnsweredOnce) {
  constexpr int kCallers = 3000;
  auto gate = std::make_shared<testing_support::Gate>();
  server.on("GET", "/held.png", Reply{200, text(png), "image/png", {}, {}, gate});
  struct Tally {
    std::atomic<int> answers{0};
    std::atomic<int> cancelled{0};
    std::atomic<int> images{0};
    std::atomic<int> wrong{0};
    std::promise<void> all;
  };
  auto tally = std::make_shared<Tally>();
  std::vector<std::shared_ptr<DownloadTask>> handles;
  std::vector<std::shared_ptr<std::atomic<int>>> answersOf;
  for (int i = 0; i < kCallers; ++i) {
    auto mine = std::make_shared<std::atomic<int>>(0);
    const bool cancels = i % 2 == 0;
    answersOf.push_back(mine);
    handles.push_back(downloader->downloadImage(
        server.baseURL() + "/held.png", direct(),
        [tally, mine, cancels, png = png](const ImageDownloader::DownloadResult& result) {
          ++*mine;
          if (!result) {
            (result.error().isTaskCancelled() && cancels ? tally->cancelled : tally->wrong)++;
          } else {
            (!cancels && result.value().originalData == png ? tally->images : tally->wrong)++;
          }
          if (++tally->answers == kCallers) tally->all.set_value();
        }));
  }
  ASSERT_TRUE(gate->waitForArrivals(1, kDeadline));
  for (int i = 0; i < kCallers; i += 2) handles[static_cast<std::size_t>(i)]->cancel();
  gate->open();
  await(tally->all.get_future());
  EXPECT_EQ(tally->cancelled, kCallers / 2);
  EXPECT_EQ(tally->images, kCallers / 2);
  EXPECT_EQ(tally->wrong, 0);
  for (const auto& answers : answersOf) EXPECT_EQ(answers->load(), 1);
  EXPECT_EQ(gate->arrivals(), 1);  // the callers shared one transfer
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
  HeldQueue processing;
  auto options = direct();
  options.processingQueue = processing.callbackQueue();
  auto observer = std::make_shared<TransferEnded>();
  downloader->setDelegate(observer);
  // A held download whose cancellation shows that the downloader is gone: its destructor answers it.
  auto gate = std::make_shared<testing_support::Gate>();
  server.on("GET", "/held.png", Reply{200, text(png), "image/png", {}, {}, gate});
  Answer held;
  downloader->downloadImage(server.baseURL() + "/held.png", direct(), held.completion());
  ASSERT_TRUE(gate->waitForArrivals(1, kDeadline));
  Answer answer;
  downloader->downloadImage(server.baseURL() + "/a.png", options, answer.completion());
  // The transfer has ended: its image is handed to the blocked processing queue next.
  await(std::move(observer->ended));
  downloader.reset();
  EXPECT_TRUE(held.get().error().responseReason());
  processing.unblock();
  gate->open();
  const auto result = answer.get();
  ASSERT_FALSE(result);
  const auto error = sessionURLError(result.error());
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), httpkit::URLError::Code::cancelled);
}


// An application may return from main while downloads still run. The threads that carry them on (here the
// main queue's, which the library runs, where each answer starts the next download) keep going while exit
// destroys static objects, and must meet none that is already gone. The application's own static object
// made before the downloads is torn down after the library's, and waits for a few more downloads to start
// then, as a teardown that flushes its files gives them time to. The server plays raw bytes from threads of
// its own, which read nothing that exit destroys.
TEST(DownloaderAtExit, DownloadsThatKeepStartingMeetNothingExitDestroyed) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        ::alarm(60);  // a child that hangs dies of the alarm instead of holding the test
        const std::string body = "bytes of a live photo";
        testing_support::ScriptedServer server({{std::chrono::milliseconds(0),
                                                 "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: " +
                                                     std::to_string(body.size()) + "\r\n\r\n" + body}});
        struct Loop {
          std::shared_ptr<ImageDownloader> downloader = ImageDownloader::make("exit");
          std::string base;
          std::atomic<int> next{0};
          std::mutex mutex;
          std::condition_variable answered;
          int answers = 0;
          void start(const std::shared_ptr<Loop>& self) {
            const std::string url = base + "/p.mov?" + std::to_string(next++);
            // Answered on the main queue, as the options have it unless a caller names another queue.
            downloader->downloadLivePhotoResource(url, VellumParsedOptionsInfo{},
                                                  [self](const ImageDownloader::LivePhotoResult&) {
                                                    {
                                                      std::lock_guard lock(self->mutex);
                                                      ++self->answers;
                                                    }
                                                    self->answered.notify_all();
                                                    self->start(self);
                                                  });
          }
          bool awaitAnswers(int more) {
            std::unique_lock lock(mutex);
            const int target = answers + more;
            return answered.wait_for(lock, kDeadline, [&] { return answers >= target; });
          }
        };
        static auto* const loop = new std::shared_ptr<Loop>(std::make_shared<Loop>());  // as long as the process
        struct Teardown {
          ~Teardown() {
            if (!(*loop)->awaitAnswers(20)) std::_Exit(3);
          }
        };
        static Teardown teardown;
        (*loop)->base = server.baseURL();
        for (int i = 0; i < 4; ++i) (*loop)->start(*loop);
        if (!(*loop)->awaitAnswers(20)) std::_Exit(2);
        std::exit(0);
      },
      testing::ExitedWithCode(0), "");
}

// Every caller hears exactly once while other threads replace the session under it, and nothing of a
// replaced session is left behind to hold a later caller of the same URL.
TEST_F(DownloaderConcurrency, ReplacingTheSessionWhileDownloadsStartAndCancel) {
  constexpr int kThreads = 4, kEach = 120, kURLs = 6;
  struct Tally {
    std::mutex mutex;
    std::condition_variable changed;
    int answered = 0;
    std::vector<int> answers = std::vector<int>(kThreads * kEach, 0);
  };
  auto tally = std::make_shared<Tally>();
  auto address = [&](int i) { return server.baseURL() + "/a.png?" + std::to_string(i % kURLs); };
  std::atomic<bool> starting{true};
  std::thread replacer([&] {
    while (starting) downloader->setSessionConfiguration(SessionConfiguration{});
  });
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        const int index = t * kEach + i;
        auto handle = downloader->downloadImage(address(i), direct(), [tally, index](const ImageDownloader::DownloadResult&) {
          std::lock_guard lock(tally->mutex);
          ++tally->answers[index];
          ++tally->answered;
          tally->changed.notify_all();
        });
        if (i % 3 == 0) handle->cancel();
      }
    });
  }
  for (auto& thread : threads) thread.join();
  starting = false;
  replacer.join();
  {
    std::unique_lock lock(tally->mutex);
    ASSERT_TRUE(tally->changed.wait_for(lock, kDeadline, [&] { return tally->answered >= kThreads * kEach; }))
        << tally->answered << " of " << kThreads * kEach << " callers answered";
  }
  // A later caller of each URL starts or joins a live transfer of the current session.
  for (int i = 0; i < kURLs; ++i) {
    Answer later;
    downloader->downloadImage(address(i), direct(), later.completion());
    const auto result = later.get();
    ASSERT_TRUE(result) << address(i) << ": " << result.error().what();
  }
  std::lock_guard lock(tally->mutex);
  for (int index = 0; index < kThreads * kEach; ++index) EXPECT_EQ(tally->answers[index], 1) << "caller " << index;
}

// Downloads started right after the session is replaced never join the old session's dying transfers.
TEST_F(DownloaderConcurrency, DownloadStartedRightAfterTheSessionIsReplacedGetsItsImage) {
  auto gate = std::make_shared<testing_support::Gate>();
  for (int i = 0; i < 20; ++i) {
    const std::string path = "/held" + std::to_string(i) + ".png";
    // The first request of each path is held; later ones are answered at once.
    auto hits = std::make_shared<std::atomic<int>>(0);
    server.on("GET", path, [this, gate, hits](const testing_support::RecordedRequest&) {
      return Reply{200, text(png), "image/png", {}, {}, hits->fetch_add(1) == 0 ? gate : nullptr};
    });
    Answer old, fresh;
    downloader->downloadImage(server.baseURL() + path, direct(), old.completion());
    ASSERT_TRUE(gate->waitForArrivals(i + 1, kDeadline));
    downloader->setSessionConfiguration(SessionConfiguration{});
    downloader->downloadImage(server.baseURL() + path, direct(), fresh.completion());
    const auto result = fresh.get();
    ASSERT_TRUE(result) << "iteration " << i << ": " << result.error().what();
    EXPECT_EQ(result.value().originalData, png);
    const auto error = sessionURLError(old.get().error());
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), httpkit::URLError::Code::cancelled);
  }
  gate->open();
}

// One URL, round after round: each round's first transfer is held by the server when the session is replaced,
// and the download started right after must neither join it nor meet its cancellation.
TEST_F(DownloaderConcurrency, TheSameURLRightAfterEachSessionReplacementGetsItsImage) {
  auto gate = std::make_shared<testing_support::Gate>();
  auto hits = std::make_shared<std::atomic<int>>(0);
  server.on("GET", "/same.png", [this, gate, hits](const testing_support::RecordedRequest&) {
    return Reply{200, text(png), "image/png", {}, {}, hits->fetch_add(1) % 2 == 0 ? gate : nullptr};
  });
  const std::string url = server.baseURL() + "/same.png";
  for (int round = 0; round < 20; ++round) {
    Answer old, fresh;
    downloader->downloadImage(url, direct(), old.completion());
    ASSERT_TRUE(gate->waitForArrivals(round + 1, kDeadline));
    downloader->setSessionConfiguration(SessionConfiguration{});
    downloader->downloadImage(url, direct(), fresh.completion());
    const auto result = fresh.get();
    ASSERT_TRUE(result) << "round " << round << ": " << result.error().what();
    EXPECT_EQ(result.value().originalData, png);
    const auto error = sessionURLError(old.get().error());
    ASSERT_TRUE(error) << "round " << round;
    EXPECT_EQ(error->code(), httpkit::URLError::Code::cancelled);
  }
  EXPECT_EQ(hits->load(), 40);
  gate->open();
}

// The same when the old transfer had its head and part of its body when the session was replaced.
TEST_F(DownloaderConcurrency, DownloadStartedRightAfterTheSessionIsReplacedMidBodyGetsItsImage) {
  const std::string body = text(png);
  const std::string head =
      "HTTP/1.1 200 OK\r\nContent-Type: image/png\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n";
  for (int i = 0; i < 10; ++i) {
    // Every connection gets the head and ten bytes, then waits to be released.
    testing_support::ScriptedServer scripted({{std::chrono::milliseconds(0), head + body.substr(0, 10), true},
                                              {std::chrono::milliseconds(0), body.substr(10)}},
                                             testing_support::ScriptedServer::Connections::concurrently);
    Answer old, fresh;
    downloader->downloadImage(scripted.baseURL() + "/m.png", direct(), old.completion());
    ASSERT_TRUE(scripted.waitForHolds(1, kDeadline));
    downloader->setSessionConfiguration(SessionConfiguration{});
    downloader->downloadImage(scripted.baseURL() + "/m.png", direct(), fresh.completion());
    ASSERT_TRUE(scripted.waitForHolds(2, kDeadline));
    scripted.release();
    scripted.release();
    const auto result = fresh.get();
    ASSERT_TRUE(result) << "iteration " << i << ": " << result.error().what();
    EXPECT_EQ(result.value().originalData, png);
    const auto error = sessionURLError(old.get().error());
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), httpkit::URLError::Code::cancelled);
  }
}

}  // namespace
}  // namespace vellum::test
