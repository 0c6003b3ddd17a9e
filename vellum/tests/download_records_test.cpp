// The shared download record, the callers' handles and the metrics, without a network.
#include <gtest/gtest.h>

#include <pthread.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>

#include "downloader_test_support.hpp"
#include "vellum/networking/download_task.hpp"
#include "vellum/networking/image_data_processor.hpp"
#include "vellum/networking/network_metrics.hpp"
#include "vellum/networking/session_data_task.hpp"

namespace vellum::test {
namespace {

std::shared_ptr<SessionDataTask> record() {
  return std::make_shared<SessionDataTask>(std::make_shared<URLSessionDataTask>(
      httpkit::URLRequest{"http://127.0.0.1:1/a.png", httpkit::HTTPMethod::get, {}, std::nullopt}));
}

SessionDataTask::TaskCallback caller(float priority) {
  VellumParsedOptionsInfo options;
  options.downloadPriority = priority;
  return {nullptr, options};
}

TEST(DownloadRecord, TransferRunsAtTheHighestPriorityAskedFor) {
  auto task = record();
  const auto low = *task->addCallback(caller(0.5f));
  const auto high = *task->addCallback(caller(0.75f));
  EXPECT_EQ(task->task()->priority(), 0.75f);
  const auto third = *task->addCallback(caller(0.25f));
  EXPECT_EQ(task->task()->priority(), 0.75f);  // a newcomer never lowers it
  EXPECT_EQ(std::vector<std::int64_t>({low, high, third}), std::vector<std::int64_t>({0, 1, 2}));
  task->cancel(high);
  EXPECT_EQ(task->task()->priority(), 0.5f);
  task->setPriority(high, 1.0f);  // already gone
  EXPECT_EQ(task->task()->priority(), 0.5f);
  task->setPriority(third, 0.9f);
  EXPECT_EQ(task->task()->priority(), 0.9f);
  task->resetPriority(third);
  EXPECT_EQ(task->task()->priority(), 0.5f);
  task->cancel(low);
  EXPECT_EQ(task->task()->priority(), 0.25f);
  task->cancel(third);
  EXPECT_EQ(task->task()->priority(), 0.25f);  // the last one leaving changes nothing
}

// Callers sharing a priority each hold their own share of it: one leaving, or moving, takes only its own.
TEST(DownloadRecord, CallersAtTheSamePriorityLeaveOneByOne) {
  auto task = record();
  const auto a = *task->addCallback(caller(0.75f));
  const auto b = *task->addCallback(caller(0.75f));
  const auto c = *task->addCallback(caller(0.25f));
  const auto odd = *task->addCallback(caller(std::nanf("")));
  EXPECT_EQ(task->task()->priority(), 0.75f);
  task->cancel(a);
  EXPECT_EQ(task->task()->priority(), 0.75f);  // b still asks for it
  task->setPriority(b, 0.5f);
  EXPECT_EQ(task->task()->priority(), 0.5f);
  task->setPriority(b, 0.5f);  // asking again for the same changes nothing
  task->cancel(b);
  EXPECT_EQ(task->task()->priority(), 0.25f);
  task->cancel(c);
  EXPECT_TRUE(std::isnan(task->task()->priority()));  // the only one left, whatever it asked
  task->cancel(odd);
  EXPECT_EQ(task->callbackCount(), 0u);
}

TEST(DownloadRecord, CompletedRecordRefusesCallersAndForceCancelReportsEachOnce) {
  auto task = record();
  std::vector<std::int64_t> reported;
  task->setOnCallbackCancelled([&](std::int64_t token, const SessionDataTask::TaskCallback&) { reported.push_back(token); });
  for (int i = 0; i < 3; ++i) task->addCallback(caller(0.5f));
  task->forceCancel();
  task->forceCancel();
  EXPECT_EQ(reported, std::vector<std::int64_t>({0, 1, 2}));

  EXPECT_TRUE(task->completeIfUnattended());
  EXPECT_FALSE(task->addCallback(caller(0.5f)));
  auto other = record();
  other->addCallback(caller(0.5f));
  EXPECT_FALSE(other->completeIfUnattended());
  EXPECT_EQ(other->markCompleted().size(), 1u);
  EXPECT_FALSE(other->addCallback(caller(0.5f)));
}

TEST(DownloadRecord, BytesArriveInOrderAndCopiesStayPut) {
  auto task = record();
  task->appendData({1, 2});
  task->appendData({3});
  const auto copy = task->mutableData();
  task->appendData({4, 5});
  EXPECT_EQ(copy, (foundation::Bytes{1, 2, 3}));
  EXPECT_EQ(task->mutableData(), (foundation::Bytes{1, 2, 3, 4, 5}));
}

// The first buffer handed over becomes the data itself; what was handed out before stays as it was, and
// later bytes go after it.
TEST(DownloadRecord, AHandedOverBufferBecomesTheDataAndLeavesHandedOutBytesAlone) {
  auto task = record();
  const auto early = task->receivedData();
  foundation::Bytes first{1, 2, 3};
  first.reserve(64);
  const auto* storage = first.data();
  task->appendData(std::move(first));
  EXPECT_TRUE(early.bytes().empty());
  const auto shared = task->receivedData();
  EXPECT_EQ(shared.bytes().data(), storage);
  task->appendData(foundation::Bytes{4});
  foundation::Bytes fifth{5};
  task->appendData(std::move(fifth));
  EXPECT_EQ(shared, (foundation::Bytes{1, 2, 3}));
  EXPECT_EQ(task->mutableData(), (foundation::Bytes{1, 2, 3, 4, 5}));
}

TEST(DownloadHandle, LinksCancelsAndRemembersAnEarlyCancel) {
  auto task = record();
  std::vector<std::int64_t> cancelled;
  task->setOnCallbackCancelled([&](std::int64_t token, const SessionDataTask::TaskCallback&) { cancelled.push_back(token); });
  auto first = std::make_shared<DownloadTask>(task, *task->addCallback(caller(0.5f)));
  auto second = std::make_shared<DownloadTask>(task, *task->addCallback(caller(0.5f)));

  auto outer = std::make_shared<DownloadTask>();
  EXPECT_FALSE(outer->isInitialized());
  outer->setLinkedTask(second);
  EXPECT_EQ(outer->sessionTask(), task);
  EXPECT_EQ(outer->cancelToken(), 1);
  outer->cancel();
  EXPECT_EQ(cancelled, std::vector<std::int64_t>({1}));
  EXPECT_EQ(task->callbackCount(), 1u);

  // Cancelled before it was linked: linking carries the cancel out.
  auto early = std::make_shared<DownloadTask>();
  early->cancel();
  early->setLinkedTask(first);
  EXPECT_EQ(cancelled, std::vector<std::int64_t>({1, 0}));

  // A provider task is cancelled instead of any record entry.
  auto state = std::make_shared<foundation::Cancellable::State>();
  DownloadTask provider{foundation::Cancellable(state)};
  provider.cancel();
  EXPECT_TRUE(state->cancelled);
}

// How many bytes of stack `work` touches below where it starts, run on a thread of its own whose stack of
// `size` bytes is filled with a pattern first: the stack grows down, so the lowest byte no longer holding the
// pattern marks the deepest point reached. (The top of the block holds the thread's own data, which the
// runtime, a sanitizer's above all, may make large; it is not counted.)
std::size_t stackTouchedBy(const std::function<void()>& work, std::size_t size) {
  constexpr unsigned char kPattern = 0xA5;
  struct Run {
    const std::function<void()>* work;
    const unsigned char* start = nullptr;
  } run{&work};
  void* stack = std::aligned_alloc(4096, size);
  std::memset(stack, kPattern, size);
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setstack(&attributes, stack, size);
  pthread_t thread;
  auto body = [](void* argument) -> void* {
    auto* run = static_cast<Run*>(argument);
    volatile unsigned char here = 0;
    run->start = const_cast<const unsigned char*>(&here);
    (*run->work)();
    return nullptr;
  };
  const bool started = pthread_create(&thread, &attributes, body, &run) == 0;
  pthread_attr_destroy(&attributes);
  if (started) pthread_join(thread, nullptr);
  const auto* bytes = static_cast<const unsigned char*>(stack);
  std::size_t untouched = 0;
  while (untouched < size && bytes[untouched] == kPattern) ++untouched;
  const std::size_t touched =
      started && run.start ? static_cast<std::size_t>(run.start - (bytes + untouched)) : size;
  std::free(stack);
  return touched;
}

TEST(DownloadHandle, LongChainsAreReleasedWithoutDeepRecursion) {
  constexpr int kLinks = 50000;
  auto head = std::make_shared<DownloadTask>();
  std::vector<std::weak_ptr<DownloadTask>> links{head};
  auto current = head;
  for (int i = 0; i < kLinks; ++i) {
    auto next = std::make_shared<DownloadTask>();
    current->setLinkedTask(next);
    links.push_back(next);
    current = next;
  }
  current.reset();
  // Released link by link from each destructor, the chain would go some hundred bytes deeper per link:
  // megabytes here. Released in a loop, it needs the same small depth however long the chain is.
  const std::size_t touched = stackTouchedBy([&] { head.reset(); }, std::size_t{64} << 20);
  EXPECT_LT(touched, std::size_t{256} << 10);
  std::size_t alive = 0;
  for (const auto& link : links) alive += link.expired() ? 0 : 1;
  EXPECT_EQ(alive, 0u);
}

TEST(DownloadHandle, CancellationHolderMeetsTheHandleInEitherOrder) {
  auto task = record();
  int cancels = 0;
  task->setOnCallbackCancelled([&](std::int64_t, const SessionDataTask::TaskCallback&) { ++cancels; });
  CancellationDownloadTask before;
  before.cancel();
  before.setTask(std::make_shared<DownloadTask>(task, *task->addCallback(caller(0.5f))));
  EXPECT_EQ(cancels, 1);
  CancellationDownloadTask after;
  after.setTask(nullptr);
  EXPECT_FALSE(after.task());
  after.setTask(std::make_shared<DownloadTask>(task, *task->addCallback(caller(0.5f))));
  EXPECT_EQ(cancels, 1);
  after.cancel();
  EXPECT_EQ(cancels, 2);
}

TransactionMetrics transaction(int status, bool reused = false) {
  TransactionMetrics t;
  t.statusCode = status;
  t.timings.nameLookup = std::chrono::microseconds(reused ? 0 : 1000);
  t.timings.connect = std::chrono::microseconds(reused ? 0 : 3000);
  t.timings.requestStart = std::chrono::microseconds(4000);
  t.timings.total = std::chrono::microseconds(2'004'000);
  t.timings.reusedConnection = reused;
  t.responseBodyBytesReceived = 1'048'576;
  return t;
}

TEST(NetworkMetricsFromTransactions, ChoosesTheFirstSuccessAndTimesItsPhases) {
  auto redirect = transaction(301);
  auto final = transaction(200);
  final.start = redirect.start + std::chrono::seconds(3);
  const auto metrics = NetworkMetrics::make({redirect, final});
  ASSERT_TRUE(metrics);
  EXPECT_EQ(metrics->redirectCount, 1);
  EXPECT_EQ(metrics->httpStatusCode, 200);
  EXPECT_DOUBLE_EQ(*metrics->retrieveImageDuration, 2.0);
  EXPECT_DOUBLE_EQ(*metrics->connectDuration, 0.002);
  EXPECT_DOUBLE_EQ(metrics->totalRequestDuration, 3.0 + 2.004);
  EXPECT_DOUBLE_EQ(*metrics->downloadSpeed(), 524288.0);
  EXPECT_DOUBLE_EQ(*metrics->downloadSpeedMBps(), 0.5);
  EXPECT_FALSE(metrics->secureConnectionDuration);

  EXPECT_FALSE(NetworkMetrics::make({transaction(404)}));
  EXPECT_FALSE(NetworkMetrics::make({}));
  const auto reused = NetworkMetrics::make({transaction(200, true)});
  ASSERT_TRUE(reused);
  EXPECT_FALSE(reused->connectDuration);
  EXPECT_TRUE(reused->retrieveImageDuration);
  auto empty = transaction(200);
  empty.responseBodyBytesReceived = 0;
  EXPECT_FALSE(NetworkMetrics::make({empty})->downloadSpeed());
}

TEST(ImageDataProcessing, EachIdentifierRunsOnceAndFailuresAreRetried) {
  auto a = std::make_shared<MarkingProcessor>("a", 2);
  struct Failing final : ImageProcessor {
    std::string identifier() const override { return "f"; }
    ImagePtr process(const ImageProcessItem&, const VellumParsedOptionsInfo&) const override {
      ++runs;
      return nullptr;
    }
    mutable int runs = 0;
  };
  auto failing = std::make_shared<Failing>();
  auto b = std::make_shared<MarkingProcessor>("b", 3);
  std::vector<SessionDataTask::TaskCallback> callbacks;
  for (std::shared_ptr<const ImageProcessor> p : std::vector<std::shared_ptr<const ImageProcessor>>{a, failing, b, a, failing}) {
    VellumParsedOptionsInfo options;
    options.processor = p;
    callbacks.push_back({nullptr, options});
  }
  std::vector<int> widths;
  auto processor = std::make_shared<ImageDataProcessor>(foundation::Bytes{1, 2, 3}, callbacks, CallbackQueue::untouch());
  processor->setOnImageProcessed([&](const ImageDataProcessor::Outcome& outcome, const SessionDataTask::TaskCallback&) {
    widths.push_back(outcome ? static_cast<int>(outcome.value()->bitmap()->width) : 0);
  });
  processor->process();
  EXPECT_EQ(widths, std::vector<int>({2, 0, 3, 2, 0}));
  EXPECT_EQ(a->runs, 1);
  EXPECT_EQ(b->runs, 1);
  EXPECT_EQ(failing->runs, 2);

  AnyImageModifier throwing([](const ImagePtr&) -> ImagePtr { throw std::runtime_error("no"); });
  auto image = Image::make(gradient(2, 2));
  EXPECT_EQ(throwing.modify(image), image);
}

}  // namespace
}  // namespace vellum::test
