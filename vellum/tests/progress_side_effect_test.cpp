// Download progress on the main queue: a download record fed by hand, as the session delegate feeds it, and
// the calls its progress side effect makes when the main queue runs.
#include <gtest/gtest.h>

#include <mutex>
#include <utility>
#include <vector>

#include "cache_test_support.hpp"
#include "vellum/general/image_loading_progress_side_effect.hpp"
#include "vellum/networking/session_data_task.hpp"

namespace vellum {
namespace {

using Calls = std::vector<std::pair<std::int64_t, std::int64_t>>;

class ProgressSideEffect : public ::testing::Test {
 protected:
  // The main queue is held while a test queues notifications, so it decides when the blocks run.
  void holdMain() {
    auto held = std::make_shared<std::promise<void>>();
    release_ = held;
    auto reached = std::make_shared<std::promise<void>>();
    foundation::MainQueue::post([held, reached] {
      reached->set_value();
      held->get_future().wait_for(test::kDeadline);
    });
    test::await(reached->get_future());
  }
  void runMain() {
    if (release_) release_->set_value();
    release_.reset();
    test::flushMain();
  }
  void TearDown() override {
    if (release_) release_->set_value();
  }

  Calls calls() {
    std::lock_guard lock(mutex_);
    return calls_;
  }
  std::shared_ptr<SessionDataTask> record(std::optional<std::string> contentLength) {
    auto task = std::make_shared<SessionDataTask>(
        std::make_shared<URLSessionDataTask>(httpkit::URLRequest{"https://example.com/a.png", {}, {}, {}}));
    if (contentLength) {
      httpkit::HTTPURLResponse response;
      response.statusCode = 200;
      response.headers.set("Content-Length", *contentLength);
      task->setResponse(response);
    }
    return task;
  }
  void receive(const std::shared_ptr<SessionDataTask>& task, std::size_t size) {
    const foundation::Bytes chunk(size, 1);
    task->appendData(chunk);
    progress->onDataReceived(task, chunk);
  }

  std::mutex mutex_;
  Calls calls_;
  std::shared_ptr<std::promise<void>> release_;
  std::shared_ptr<ImageLoadingProgressSideEffect> progress =
      std::make_shared<ImageLoadingProgressSideEffect>([this](std::int64_t received, std::int64_t total) {
        EXPECT_TRUE(foundation::MainQueue::isCurrent());
        std::lock_guard lock(mutex_);
        calls_.emplace_back(received, total);
      });
};

TEST_F(ProgressSideEffect, ChunksReportTheCountWhenTheMainQueueRuns) {
  auto task = record("1000");
  for (std::size_t chunk : {400, 400, 200}) {
    receive(task, chunk);
    test::flushMain();
  }
  EXPECT_EQ(calls(), (Calls{{400, 1000}, {800, 1000}, {1000, 1000}}));

  // Two chunks before the main queue runs: two calls, both with the count at the time they run.
  auto second = record("1000");
  holdMain();
  receive(second, 300);
  receive(second, 300);
  runMain();
  EXPECT_EQ(calls(), (Calls{{400, 1000}, {800, 1000}, {1000, 1000}, {600, 1000}, {600, 1000}}));
}

TEST_F(ProgressSideEffect, NoAnnouncedLengthNoCall) {
  receive(record(std::nullopt), 10);         // no response yet
  receive(record("unknown"), 10);            // a length that is no number
  receive(record("-5"), 10);
  auto task = record(std::nullopt);
  for (int i = 0; i < 5; ++i) receive(task, 100);
  test::flushMain();
  EXPECT_TRUE(calls().empty());
  // Once the head arrives, the next block reports.
  httpkit::HTTPURLResponse response;
  response.headers.set("Content-Length", "900");
  task->setResponse(response);
  receive(task, 100);
  test::flushMain();
  EXPECT_EQ(calls(), (Calls{{600, 900}}));
}

TEST_F(ProgressSideEffect, ShouldApplyIsAskedWhenEachBlockRuns) {
  auto task = record("100");
  holdMain();
  receive(task, 10);
  progress->setOnShouldApply([] { return false; });  // silences the block already waiting
  runMain();
  receive(task, 10);
  test::flushMain();
  EXPECT_TRUE(calls().empty());

  progress->setOnShouldApply([] { return true; });
  receive(task, 10);
  test::flushMain();
  EXPECT_EQ(calls(), (Calls{{30, 100}}));
}

TEST_F(ProgressSideEffect, ReportDownloadProgressReachesOnlyProgressSideEffects) {
  class Other final : public DataReceivingSideEffect {
   public:
    std::function<bool()> onShouldApply() const override { return [] { return true; }; }
    void setOnShouldApply(std::function<bool()>) override {}
    void onDataReceived(const std::shared_ptr<SessionDataTask>&, const foundation::Bytes&) override { ++calls; }
    std::atomic<int> calls{0};
  };
  auto other = std::make_shared<Other>();
  auto silenced = std::make_shared<ImageLoadingProgressSideEffect>([](std::int64_t, std::int64_t) {
    ADD_FAILURE() << "a side effect that should not apply was called";
  });
  silenced->setOnShouldApply([] { return false; });

  VellumParsedOptionsInfo options;
  options.reportDownloadProgress(1, 2);  // no side effects at all
  options.onDataReceived = std::vector<std::shared_ptr<DataReceivingSideEffect>>{other, silenced, progress};
  options.reportDownloadProgress(5, 50);
  options.reportDownloadProgress(7, -1);  // no total: nothing
  options.reportDownloadProgress(9, 90);
  test::flushMain();
  EXPECT_EQ(calls(), (Calls{{5, 50}, {9, 90}}));
  EXPECT_EQ(other->calls, 0);
}

TEST(SessionDataTask, BytesAndResponseUnderTheRecord) {
  SessionDataTask task(std::make_shared<URLSessionDataTask>(httpkit::URLRequest{"https://example.com/a", {}, {}, {}}));
  EXPECT_EQ(task.expectedContentLength(), -1);
  task.appendData({1, 2});
  const auto copy = task.mutableData();
  task.appendData({3});
  EXPECT_EQ(copy, (foundation::Bytes{1, 2}));
  EXPECT_EQ(task.mutableData(), (foundation::Bytes{1, 2, 3}));
  EXPECT_EQ(task.receivedByteCount(), 3);

  for (const auto& [field, expected] : std::vector<std::pair<std::string, std::int64_t>>{
           {"1000", 1000}, {" 12 ", 12}, {"0", 0}, {"+5", -1}, {"1e3", -1}, {"99999999999999999999", -1}, {"", -1}}) {
    httpkit::HTTPURLResponse response;
    response.headers.set("content-length", field);
    task.setResponse(response);
    EXPECT_EQ(task.expectedContentLength(), expected) << '"' << field << '"';
  }
}

}  // namespace
}  // namespace vellum
