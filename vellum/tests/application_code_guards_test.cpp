// Application code on the download paths that throws: a delegate's hook, a completion, a data-received side
// effect, a redirect handler, a request modifier, a retry strategy. The caller whose code threw is answered
// with a failure; the downloads running beside it, the other callers of its transfer and the downloads
// started afterwards all get their images.
#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>

#include <testing/loopback_server.hpp>

#include "main_queue_support.hpp"
#include "manager_test_support.hpp"
#include "vellum/networking/request_modifier.hpp"
#include "vellum/retrieval/image_prefetcher.hpp"
#include "vellum/views/activity_indicator.hpp"
#include "vellum/views/image_view_extension.hpp"

namespace vellum::test {
namespace {

using OpenAtExit = OpenOnExit;

// A hook of the downloader's delegate that throws, chosen by the test; the others answer as the downloader
// itself would. The throwing hooks throw only for the answer served with status 203, so that every other
// download of the same downloader passes them.
enum class Hook { statusRule, response, finalData, willDownload, didFinish, didDownloadImage };

class ThrowingDelegate final : public ImageDownloaderDelegate {
 public:
  explicit ThrowingDelegate(Hook hook) : hook_(hook) {}

  bool isValidStatusCode(int code, ImageDownloader& d) override {
    if (hook_ == Hook::statusRule && code == 203) throw std::runtime_error("status rule");
    return ImageDownloaderDelegate::isValidStatusCode(code, d);
  }
  void didReceiveResponse(ImageDownloader& d, const httpkit::HTTPURLResponse& response,
                          std::function<void(ResponseDisposition)> completion) override {
    if (hook_ == Hook::response && response.statusCode == 203) throw 7;  // not even a std::exception
    ImageDownloaderDelegate::didReceiveResponse(d, response, std::move(completion));
  }
  std::optional<foundation::SharedBytes> didDownloadData(ImageDownloader& d, foundation::SharedBytes data,
                                                         const SessionDataTask& task) override {
    if (hook_ == Hook::finalData && marked(task.response())) throw std::runtime_error("final data");
    return ImageDownloaderDelegate::didDownloadData(d, std::move(data), task);
  }
  void willDownloadImage(ImageDownloader&, const std::string& url, const std::optional<httpkit::URLRequest>&) override {
    if (hook_ == Hook::willDownload && url.ends_with("/bad.png")) throw std::runtime_error("will download");
  }
  void didFinishDownloadingImage(ImageDownloader&, const std::string&, const std::optional<httpkit::HTTPURLResponse>& response,
                                 const VellumError*) override {
    if (hook_ == Hook::didFinish && marked(response)) throw std::runtime_error("did finish");
  }
  void didDownloadImage(ImageDownloader&, const ImagePtr&, const std::string& url,
                        const std::optional<httpkit::HTTPURLResponse>&) override {
    if (hook_ == Hook::didDownloadImage && url.ends_with("/bad.png")) throw std::runtime_error("did download image");
  }

 private:
  static bool marked(const std::optional<httpkit::HTTPURLResponse>& response) {
    return response && response->statusCode == 203;
  }
  Hook hook_;
};

class DownloaderGuards : public ::testing::TestWithParam<Hook> {
 protected:
  void SetUp() override {
    // The answers beside the throwing one are held until the throwing download has been answered, so they
    // run at the same time as it, on the same session.
    for (int i = 0; i < kBeside; ++i) server.on("GET", path("beside", i), Reply{200, text(png), "image/png", {}, {}, held});
    for (int i = 0; i < kAfter; ++i) server.on("GET", path("after", i), Reply{200, text(png), "image/png", {}, {}, {}});
    server.on("GET", "/bad.png", Reply{203, text(png), "image/png", {}, {}, {}});
    server.start();
    SessionConfiguration configuration;
    configuration.httpMaximumConnectionsPerHost = 64;  // every held download has a connection of its own
    downloader->setSessionConfiguration(configuration);
  }
  static std::string path(const char* kind, int i) { return "/" + std::string(kind) + std::to_string(i) + ".png"; }
  std::string url(const std::string& p) const { return server.baseURL() + p; }

  static constexpr int kBeside = 20;
  static constexpr int kAfter = 5;
  const foundation::Bytes png = pngBytes(6, 4);
  std::shared_ptr<Gate> held = std::make_shared<Gate>();
  OpenAtExit opened{held};
  LoopbackServer server;
  std::shared_ptr<ImageDownloader> downloader = ImageDownloader::make("guards");
};

TEST_P(DownloaderGuards, AThrowingDelegateHookCostsOnlyItsOwnDownload) {
  auto delegate = std::make_shared<ThrowingDelegate>(GetParam());
  downloader->setDelegate(delegate);
  std::vector<Answer> beside(kBeside);
  for (int i = 0; i < kBeside; ++i) downloader->downloadImage(url(path("beside", i)), direct(), beside[i].completion());
  ASSERT_TRUE(held->waitForArrivals(kBeside, kDeadline));

  Answer bad;
  downloader->downloadImage(url("/bad.png"), direct(), bad.completion());
  const auto result = bad.get();
  switch (GetParam()) {
    case Hook::statusRule:
      ASSERT_FALSE(result);
      EXPECT_TRUE(result.error().isInvalidResponseStatusCode(203)) << result.error().what();
      break;
    case Hook::response:
      ASSERT_FALSE(result);
      EXPECT_TRUE((holds<VellumError::ResponseErrorReason, VellumError::ResponseErrorReason::CancelledByDelegate>(result.error())))
          << result.error().what();
      break;
    case Hook::finalData:
      ASSERT_FALSE(result);
      EXPECT_TRUE((holds<VellumError::ResponseErrorReason, VellumError::ResponseErrorReason::DataModifyingFailed>(result.error())))
          << result.error().what();
      break;
    case Hook::willDownload:
    case Hook::didFinish:
    case Hook::didDownloadImage:
      // A hook that only tells of an event changes nothing when it throws.
      ASSERT_TRUE(result) << result.error().what();
      EXPECT_EQ(result.value().image->size(), (Size{6, 4}));
      break;
  }

  held->open();
  for (int i = 0; i < kBeside; ++i) {
    const auto r = beside[i].get();
    ASSERT_TRUE(r) << "beside " << i << ": " << r.error().what();
    EXPECT_EQ(r.value().originalData, png);
  }
  for (int i = 0; i < kAfter; ++i) {
    Answer after;
    downloader->downloadImage(url(path("after", i)), direct(), after.completion());
    const auto r = after.get();
    ASSERT_TRUE(r) << "after " << i << ": " << r.error().what();
  }
}

std::string hookName(const ::testing::TestParamInfo<Hook>& info) {
  static const char* const names[] = {"StatusRule", "Response", "FinalData", "WillDownload", "DidFinish", "DidDownloadImage"};
  return names[static_cast<int>(info.param)];
}

INSTANTIATE_TEST_SUITE_P(EachHook, DownloaderGuards,
                         ::testing::Values(Hook::statusRule, Hook::response, Hook::finalData, Hook::willDownload,
                                           Hook::didFinish, Hook::didDownloadImage),
                         hookName);

class CallerCodeGuards : public ::testing::Test {
 protected:
  void SetUp() override {
    server.on("GET", "/shared.png", Reply{200, text(png), "image/png", {}, {}, held});
    server.on("GET", "/missing.png", Reply{404, "no", "text/plain", {}, {}, {}});
    server.on("GET", "/moved.png", Reply{302, "", "text/plain", {{"Location", "/a.png"}}, {}, {}});
    server.on("GET", "/a.png", Reply{200, text(png), "image/png", {}, {}, {}});
    server.start();
  }
  std::string url(const std::string& p) const { return server.baseURL() + p; }
  // Downloads of a plain URL that must still succeed after whatever the test did.
  void expectTheDownloaderStillWorks() {
    for (int i = 0; i < 5; ++i) {
      Answer after;
      downloader->downloadImage(url("/a.png"), direct(), after.completion());
      const auto r = after.get();
      ASSERT_TRUE(r) << "after " << i << ": " << r.error().what();
    }
  }

  const foundation::Bytes png = pngBytes(5, 3);
  std::shared_ptr<Gate> held = std::make_shared<Gate>();
  OpenAtExit opened{held};
  LoopbackServer server;
  std::shared_ptr<ImageDownloader> downloader = ImageDownloader::make("caller-guards");
};

// Completions run on the calling thread of the delivery: the session's own queue for a failure, the
// processing queue for an image. One that throws must not keep the answer from the others.
TEST_F(CallerCodeGuards, ACompletionThatThrowsKeepsNoOtherCallerWaiting) {
  constexpr int kCallers = 7;
  std::vector<Answer> answers(kCallers);
  for (int i = 0; i < kCallers; ++i) {
    auto completion = answers[i].completion();
    downloader->downloadImage(url("/shared.png"), direct(), [completion, i](const ImageDownloader::DownloadResult& r) {
      completion(r);
      if (i % 2 == 0) throw std::runtime_error("the caller's completion failed");
    });
  }
  ASSERT_TRUE(held->waitForArrivals(1, kDeadline));
  held->open();
  for (int i = 0; i < kCallers; ++i) {
    const auto r = answers[i].get();
    ASSERT_TRUE(r) << "caller " << i << ": " << r.error().what();
  }
  EXPECT_EQ(server.hits("GET", "/shared.png"), 1);

  Answer missing;
  auto completion = missing.completion();
  downloader->downloadImage(url("/missing.png"), direct(), [completion](const ImageDownloader::DownloadResult& r) {
    completion(r);
    throw 3;
  });
  EXPECT_FALSE(missing.get());
  expectTheDownloaderStillWorks();
}

// A side effect that throws fails its own caller; the other caller of the same transfer gets its image.
TEST_F(CallerCodeGuards, ADataSideEffectThatThrowsFailsOnlyItsCaller) {
  struct Throwing final : DataReceivingSideEffect {
    std::function<bool()> onShouldApply() const override { return nullptr; }
    void setOnShouldApply(std::function<bool()>) override {}
    void onDataReceived(const std::shared_ptr<SessionDataTask>&, const foundation::Bytes&) override {
      throw std::runtime_error("the side effect failed");
    }
  };
  VellumParsedOptionsInfo throwing = direct();
  throwing.onDataReceived = std::vector<std::shared_ptr<DataReceivingSideEffect>>{std::make_shared<Throwing>()};
  Answer failing, plain;
  downloader->downloadImage(url("/shared.png"), throwing, failing.completion());
  downloader->downloadImage(url("/shared.png"), direct(), plain.completion());
  ASSERT_TRUE(held->waitForArrivals(1, kDeadline));
  held->open();
  const auto failed = failing.get();
  ASSERT_FALSE(failed);
  EXPECT_TRUE(failed.error().isTaskCancelled()) << failed.error().what();
  const auto kept = plain.get();
  ASSERT_TRUE(kept) << kept.error().what();
  EXPECT_EQ(kept.value().originalData, png);
  EXPECT_EQ(server.hits("GET", "/shared.png"), 1);
  expectTheDownloaderStillWorks();
}

// A processor is one caller's code down to its identifier: one that throws there fails that caller alone,
// and the other callers of the transfer still get their images.
TEST_F(CallerCodeGuards, AProcessorWhoseIdentifierThrowsFailsOnlyItsCaller) {
  struct Unnamed final : ImageProcessor {
    std::string identifier() const override { throw 42; }
    ImagePtr process(const ImageProcessItem& item, const VellumParsedOptionsInfo& options) const override {
      return DefaultImageProcessor::defaultProcessor()->process(item, options);
    }
  };
  Answer failing, plain;
  downloader->downloadImage(url("/shared.png"), direct(std::make_shared<Unnamed>()), failing.completion());
  downloader->downloadImage(url("/shared.png"), direct(), plain.completion());
  ASSERT_TRUE(held->waitForArrivals(1, kDeadline));
  held->open();
  const auto failed = failing.get();
  ASSERT_FALSE(failed);
  EXPECT_TRUE((holds<VellumError::ProcessorErrorReason, VellumError::ProcessorErrorReason::ProcessingFailed>(failed.error())))
      << failed.error().what();
  const auto kept = plain.get();
  ASSERT_TRUE(kept) << kept.error().what();
  EXPECT_EQ(kept.value().originalData, png);

  // The live-photo path puts its own processor in place of one that is not it: one whose identifier throws is
  // not, and the bytes come as for any other.
  std::promise<ImageDownloader::LivePhotoResult> livePhoto;
  auto livePhotoAnswer = livePhoto.get_future();
  EXPECT_NO_THROW(downloader->downloadLivePhotoResource(
      url("/shared.png"), direct(std::make_shared<Unnamed>()),
      [&livePhoto](const ImageDownloader::LivePhotoResult& result) { livePhoto.set_value(result); }));
  held->open();
  ASSERT_EQ(livePhotoAnswer.wait_for(kDeadline), std::future_status::ready);
  const auto bytes = livePhotoAnswer.get();
  ASSERT_TRUE(bytes) << bytes.error().what();
  EXPECT_EQ(bytes.value().originalData, png);
  expectTheDownloaderStillWorks();
}

// An answer the application owes (a response disposition, a server-trust challenge's) and never gives holds
// the download no longer than its time limit: it ends timed out, and the downloader goes on.
TEST_F(CallerCodeGuards, AnAnswerTheApplicationNeverGivesEndsTheDownloadAtItsTimeLimit) {
  struct SilentDelegate final : ImageDownloaderDelegate {
    std::vector<std::function<void(ResponseDisposition)>> kept;
    void didReceiveResponse(ImageDownloader&, const httpkit::HTTPURLResponse&,
                            std::function<void(ResponseDisposition)> completion) override {
      kept.push_back(std::move(completion));
    }
  };
  struct SilentResponder final : AuthenticationChallengeResponsible {
    std::vector<std::function<void(ChallengeAnswer)>> kept;
    void didReceiveChallenge(ImageDownloader&, const URLAuthenticationChallenge&,
                             std::function<void(ChallengeAnswer)> completion) override {
      kept.push_back(std::move(completion));
    }
  };
  LoopbackServer::Options tls;
  tls.tls = testing_support::makeSelfSignedIdentity("127.0.0.1");
  LoopbackServer secure(tls);
  secure.on("GET", "/s.png", Reply{200, text(png), "image/png", {}, {}, {}});
  secure.start();
  downloader->setDownloadTimeout(1);
  for (const bool challenge : {false, true}) {
    SCOPED_TRACE(challenge ? "a challenge" : "a response disposition");
    auto delegate = std::make_shared<SilentDelegate>();
    auto responder = std::make_shared<SilentResponder>();
    if (challenge) {
      downloader->setAuthenticationChallengeResponder(responder);
    } else {
      downloader->setDelegate(delegate);
    }
    Answer answer;
    downloader->downloadImage(challenge ? secure.baseURL() + "/s.png" : url("/a.png"), direct(), answer.completion());
    ASSERT_EQ(answer.future.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    const auto result = answer.future.get();
    ASSERT_FALSE(result);
    const auto error = sessionURLError(result.error());
    ASSERT_TRUE(error) << result.error().what();
    EXPECT_EQ(error->code(), httpkit::URLError::Code::timedOut) << error->what();
    downloader->setDelegate(nullptr);
    downloader->setAuthenticationChallengeResponder(nullptr);
  }
  downloader->setDownloadTimeout(15);
  expectTheDownloaderStillWorks();
}

// The handler is the code of the caller attached last: that caller leaves, cancelled, and the redirect is
// not followed for it.
TEST_F(CallerCodeGuards, AThrowingRedirectHandlerCancelsItsCaller) {
  VellumParsedOptionsInfo options = direct();
  options.redirectHandler = std::make_shared<AnyRedirectHandler>(
      [](const std::shared_ptr<SessionDataTask>&, const httpkit::HTTPURLResponse&, const httpkit::URLRequest&,
         std::function<void(std::optional<httpkit::URLRequest>)>) { throw std::runtime_error("the handler failed"); });
  Answer moved;
  downloader->downloadImage(url("/moved.png"), options, moved.completion());
  const auto result = moved.get();
  ASSERT_FALSE(result);
  EXPECT_TRUE(result.error().isTaskCancelled()) << result.error().what();
  EXPECT_EQ(server.hits("GET", "/a.png"), 0);

  // Beside a caller without a handler, which then decides: the redirect is followed as proposed for it.
  server.on("GET", "/moved-held.png", Reply{302, "", "text/plain", {{"Location", "/a.png"}}, {}, held});
  Answer plain, throwing;
  downloader->downloadImage(url("/moved-held.png"), direct(), plain.completion());
  downloader->downloadImage(url("/moved-held.png"), options, throwing.completion());
  ASSERT_TRUE(held->waitForArrivals(1, kDeadline));
  held->open();
  const auto left = throwing.get();
  ASSERT_FALSE(left);
  EXPECT_TRUE(left.error().isTaskCancelled()) << left.error().what();
  const auto followed = plain.get();
  ASSERT_TRUE(followed) << followed.error().what();
  EXPECT_EQ(followed.value().originalData, png);
  expectTheDownloaderStillWorks();
}

TEST_F(CallerCodeGuards, AThrowingRequestModifierIsAnEmptyRequest) {
  struct ThrowingAsync final : AsyncImageDownloadRequestModifier {
    void modified(httpkit::URLRequest, Completion) override { throw std::runtime_error("the modifier failed"); }
  };
  auto isEmptyRequest = [](const ImageDownloader::DownloadResult& r) {
    return !r && holds<VellumError::RequestErrorReason, VellumError::RequestErrorReason::EmptyRequest>(r.error());
  };
  VellumParsedOptionsInfo sync = direct();
  sync.requestModifier = std::make_shared<AnyModifier>([](httpkit::URLRequest) -> std::optional<httpkit::URLRequest> {
    throw std::runtime_error("the modifier failed");
  });
  Answer syncAnswer;
  EXPECT_NO_THROW(downloader->downloadImage(url("/a.png"), sync, syncAnswer.completion()));
  EXPECT_TRUE(isEmptyRequest(syncAnswer.get()));

  VellumParsedOptionsInfo async = direct();
  async.requestModifier = std::make_shared<ThrowingAsync>();
  Answer asyncAnswer;
  downloader->downloadImage(url("/a.png"), async, asyncAnswer.completion());
  EXPECT_TRUE(isEmptyRequest(asyncAnswer.get()));
  EXPECT_EQ(server.hits("GET", "/a.png"), 0);
  expectTheDownloaderStillWorks();
}

// Told that its transfer started, a modifier that throws fails its caller: the transfer goes on for the
// others and the caller's own handle is cancelled.
TEST_F(CallerCodeGuards, AThrowingStartNoticeFailsOnlyItsCaller) {
  struct ThrowingNotice final : ImageDownloadRequestModifier {
    std::optional<httpkit::URLRequest> modifiedSync(httpkit::URLRequest request) override { return request; }
    TaskStarted onDownloadTaskStarted() const override {
      return [](const std::shared_ptr<DownloadTask>&) { throw std::runtime_error("the notice failed"); };
    }
  };
  VellumParsedOptionsInfo options = direct();
  options.requestModifier = std::make_shared<ThrowingNotice>();
  Answer noticed, plain;
  EXPECT_NO_THROW(downloader->downloadImage(url("/shared.png"), options, noticed.completion()));
  downloader->downloadImage(url("/shared.png"), direct(), plain.completion());
  ASSERT_TRUE(held->waitForArrivals(1, kDeadline));
  held->open();
  const auto failed = noticed.get();
  ASSERT_FALSE(failed);
  EXPECT_TRUE(failed.error().isTaskCancelled()) << failed.error().what();
  ASSERT_TRUE(plain.get());
  expectTheDownloaderStillWorks();
}

// A strategy that throws has said stop: the caller gets the failure it would have had without one.
class ThrowingStrategy final : public RetryStrategy {
 public:
  void retry(const std::shared_ptr<RetryContext>&, RetryHandler) override {
    ++asked;
    throw std::runtime_error("the strategy failed");
  }
  std::atomic<int> asked{0};
};

using RetrievalGuards = ManagerFixture;

TEST_F(RetrievalGuards, AThrowingRetryStrategyOrIntervalStopsTheRetries) {
  server.on("GET", "/broken.png", Reply::text(500, "no"));
  auto throwing = std::make_shared<ThrowingStrategy>();
  auto outcome = retrieve(source("/broken.png"), {VellumOptionsInfoItem::retryStrategy(throwing)});
  ASSERT_FALSE(outcome.result);
  EXPECT_TRUE(outcome.result.error().isInvalidResponseStatusCode(500)) << outcome.result.error().what();
  EXPECT_EQ(outcome.answers, 1);
  EXPECT_EQ(throwing->asked, 1);

  auto interval = std::make_shared<DelayRetryStrategy>(
      3, DelayRetryStrategy::Interval::custom([](std::int64_t) -> double { throw std::runtime_error("no interval"); }));
  outcome = retrieve(source("/broken.png"), {VellumOptionsInfoItem::retryStrategy(interval)});
  ASSERT_FALSE(outcome.result);
  EXPECT_TRUE(outcome.result.error().isInvalidResponseStatusCode(500)) << outcome.result.error().what();
  EXPECT_EQ(outcome.answers, 1);
  EXPECT_EQ(server.hits("GET", "/broken.png"), 2);
  EXPECT_TRUE(retrieve(source("/a.png")).result);
}

// Completions of a retrieval run where the options say, here at once on the delivering thread.
TEST_F(RetrievalGuards, ARetrievalCompletionThatThrowsKeepsNoOtherCallerWaiting) {
  auto held = std::make_shared<Gate>();
  OpenOnExit opened{held};
  server.on("GET", "/held.png", imageReply(png, held));
  constexpr int kCallers = 7;
  std::vector<Awaited<VellumManager::RetrieveResult>> answers(kCallers);
  for (int i = 0; i < kCallers; ++i) {
    manager->retrieveImage(source("/held.png"), VellumOptionsInfo{VellumOptionsInfoItem::callbackQueue(CallbackQueue::untouch())},
                           nullptr, [&answers, i](const VellumManager::RetrieveResult& r) {
                             answers[i].set(r);
                             if (i % 2 == 1) throw std::runtime_error("the caller's completion failed");
                           });
  }
  ASSERT_TRUE(held->waitForArrivals(1, kDeadline));
  held->open();
  for (int i = 0; i < kCallers; ++i) {
    const auto r = answers[i].get();
    EXPECT_TRUE(r) << "caller " << i << ": " << r.error().what();
  }
  EXPECT_TRUE(retrieve(source("/a.png")).result);
}

TEST_F(RetrievalGuards, APrefetcherWhoseStrategyThrowsStillCompletes) {
  server.on("GET", "/broken.png", Reply::text(500, "no"));
  auto throwing = std::make_shared<ThrowingStrategy>();
  Awaited<std::size_t> failed;
  ImagePrefetcher::make(std::vector<Source>{source("/broken.png"), source("/a.png")},
                        VellumOptionsInfo{VellumOptionsInfoItem::targetCache(cache), VellumOptionsInfoItem::downloader(downloader),
                                          VellumOptionsInfoItem::retryStrategy(throwing)},
                        nullptr, [&failed](const auto&, const auto& f, const auto&) { failed.set(f.size()); })
      ->start();
  EXPECT_EQ(failed.get(), 1u);
  EXPECT_EQ(throwing->asked, 1);
}

// A strategy must answer each question once. One that answers twice is heard once (its first answer); one
// that lets go of its answer without giving it has said stop, rather than leaving the caller, or a prefetch,
// waiting for good.
class CarelessStrategy final : public RetryStrategy {
 public:
  explicit CarelessStrategy(bool answers) : answers_(answers) {}
  void retry(const std::shared_ptr<RetryContext>& context, RetryHandler handler) override {
    ++asked;
    if (!answers_) return;
    const bool again = context->retriedCount() < 1;
    handler(again ? RetryDecision::retry() : RetryDecision::stop());
    handler(again ? RetryDecision::retry() : RetryDecision::retry());
  }
  std::atomic<int> asked{0};

 private:
  const bool answers_;
};

TEST_F(RetrievalGuards, AStrategyIsHeardOnceAndOneThatNeverAnswersHasSaidStop) {
  server.on("GET", "/twice.png", Reply::text(500, "no"));
  server.on("GET", "/dropped.png", Reply::text(503, "no"));
  auto twice = std::make_shared<CarelessStrategy>(true);
  auto outcome = retrieve(source("/twice.png"), {VellumOptionsInfoItem::retryStrategy(twice)});
  ASSERT_FALSE(outcome.result);
  EXPECT_TRUE(outcome.result.error().isInvalidResponseStatusCode(500)) << outcome.result.error().what();
  EXPECT_EQ(outcome.answers, 1);
  EXPECT_EQ(twice->asked, 2);
  EXPECT_EQ(server.hits("GET", "/twice.png"), 2) << "a second answer started a second load";

  auto silent = std::make_shared<CarelessStrategy>(false);
  outcome = retrieve(source("/dropped.png"), {VellumOptionsInfoItem::retryStrategy(silent)});
  ASSERT_FALSE(outcome.result);
  EXPECT_TRUE(outcome.result.error().isInvalidResponseStatusCode(503)) << outcome.result.error().what();
  EXPECT_EQ(outcome.answers, 1);

  Awaited<std::size_t> failed;
  ImagePrefetcher::make(std::vector<Source>{source("/dropped.png"), source("/twice.png")},
                        VellumOptionsInfo{VellumOptionsInfoItem::targetCache(cache), VellumOptionsInfoItem::downloader(downloader),
                                          VellumOptionsInfoItem::retryStrategy(silent)},
                        nullptr, [&failed](const auto&, const auto& f, const auto&) { failed.set(f.size()); })
      ->start();
  EXPECT_EQ(failed.get(), 2u);
  EXPECT_EQ(silent->asked, 3);
}

// A serializer is the application's code on the cache's own queue: whatever it throws, a store ends as one
// that could not serialize, so a retrieval waiting for its store is answered, and a stored file that it
// cannot read back, or a checker that throws, is a miss rather than a read that never ends.
TEST_F(RetrievalGuards, AThrowingSerializerEndsItsStoreAndItsRead) {
  class Throwing final : public CacheSerializer {
   public:
    std::optional<foundation::Bytes> data(const ImagePtr&, const std::optional<foundation::Bytes>&) const override {
      if (++writes % 2 == 0) throw std::runtime_error("cannot write");
      throw 42;
    }
    ImagePtr image(const foundation::Bytes&, const VellumParsedOptionsInfo&) const override { throw 'x'; }
    std::string description() const override { return "throwing"; }
    mutable std::atomic<int> writes{0};
  };
  auto serializer = std::make_shared<Throwing>();
  for (int round = 0; round < 2; ++round) {
    auto outcome = retrieve(source("/a.png?" + std::to_string(round)),
                            {VellumOptionsInfoItem::waitForCache(), VellumOptionsInfoItem::cacheSerializer(serializer)});
    ASSERT_TRUE(outcome.result) << outcome.result.error().what();
    EXPECT_EQ(outcome.answers, 1);
  }
  EXPECT_EQ(serializer->writes, 2);

  // A file that is there, read through a serializer that throws on it.
  ASSERT_TRUE(retrieve(source("/a.png"), {VellumOptionsInfoItem::waitForCache()}).result);
  cache->clearMemoryCache();
  auto read = retrieve(source("/a.png"), {VellumOptionsInfoItem::cacheSerializer(serializer)});
  ASSERT_TRUE(read.result) << read.result.error().what();
  EXPECT_EQ(read.answers, 1);

  // A checker asked on the cache's queue that throws cannot say the request is wanted: no image, but an answer.
  cache->clearMemoryCache();
  VellumParsedOptionsInfo checked;
  checked.sourceTaskIdentifierChecker = []() -> bool { throw 7; };
  Awaited<bool> found;
  cache->retrieveImage(source("/a.png").cacheKey(), checked, CallbackQueue::untouch(),
                       [&found](foundation::Result<ImageCacheResult, VellumError> r) { found.set(r && r.value().image()); });
  EXPECT_FALSE(found.get());
}

// A provider that throws instead of answering fails its retrieval with a provider error that carries what it
// threw; a live-photo checker that throws has said the load is no longer wanted.
TEST_F(RetrievalGuards, AThrowingProviderOrCheckerFailsItsOwnRetrieval) {
  class Throwing final : public ImageDataProvider {
   public:
    std::string cacheKey() const override { return "throwing-provider"; }
    void data(Handler) const override { throw std::runtime_error("the provider failed"); }
    std::unique_ptr<ImageDataProvider> clone() const override { return std::make_unique<Throwing>(); }
  };
  auto outcome = retrieve(Source::provider(Throwing()));
  ASSERT_FALSE(outcome.result);
  const auto* reason = outcome.result.error().imageSettingReason();
  ASSERT_TRUE(reason);
  const auto* provided = std::get_if<VellumError::ImageSettingErrorReason::DataProviderError>(&reason->value);
  ASSERT_TRUE(provided);
  EXPECT_EQ(describe(provided->error), "the provider failed");
  EXPECT_EQ(outcome.answers, 1);

  LivePhotoSource photo(std::vector<URL>{*URL::parse(url("/p.heic")), *URL::parse(url("/p.mov"))});
  auto future = manager->retrieveLivePhotoAsync(photo, std::nullopt, nullptr, []() -> bool { throw 5; });
  try {
    await(std::move(future));
    FAIL() << "the load went on";
  } catch (const VellumError& error) {
    const auto* request = error.requestReason();
    EXPECT_TRUE(request && std::holds_alternative<VellumError::RequestErrorReason::LivePhotoTaskCancelled>(request->value));
  }
  EXPECT_EQ(server.totalHits(), 0);
}

// A processor's identifier names the cache entries of the images it makes. One that throws has no entry to
// look in or to store to: every retrieval through it fails as processing fails, answered as any failure is,
// and nothing throws into the caller. An image view that loads with it hears of the failure and stops its
// indicator; a prefetcher settles the source failed and completes.
TEST_F(RetrievalGuards, AProcessorWhoseIdentifierThrowsFailsItsRetrievals) {
  struct Unnamed final : ImageProcessor {
    std::string identifier() const override { throw std::runtime_error("no name"); }
    ImagePtr process(const ImageProcessItem& item, const VellumParsedOptionsInfo& options) const override {
      return DefaultImageProcessor::defaultProcessor()->process(item, options);
    }
  };
  using Failed = VellumError::ProcessorErrorReason::ProcessingFailed;
  const auto unnamed = VellumOptionsInfoItem::processor(std::make_shared<Unnamed>());
  cache->store(Image::make(gradient(2, 2)), std::nullopt, url("/a.png"), direct(), false);

  for (const bool forceRefresh : {false, true}) {
    const VellumOptionsInfo items =
        forceRefresh ? VellumOptionsInfo{unnamed, VellumOptionsInfoItem::forceRefresh()} : VellumOptionsInfo{unnamed};
    std::optional<Outcome> outcome;
    ASSERT_NO_THROW(outcome.emplace(retrieve(source("/a.png"), items))) << forceRefresh;
    ASSERT_FALSE(outcome->result) << forceRefresh;
    EXPECT_TRUE((holds<VellumError::ProcessorErrorReason, Failed>(outcome->result.error())))
        << outcome->result.error().what();
    EXPECT_EQ(outcome->answers, 1);
  }

  auto view = onMain([] { return ImageView::make(Rect{{0, 0}, {10, 10}}); });
  Awaited<VellumManager::RetrieveResult> shown;
  onMain([&] {
    vl(view).setIndicatorType(IndicatorType::activity());
    EXPECT_NO_THROW(vl(view).setImage(
        source("/a.png"), nullptr,
        VellumOptionsInfo{VellumOptionsInfoItem::targetCache(cache), VellumOptionsInfoItem::downloader(downloader), unnamed},
        [&shown](const RetrieveImageOutcome& outcome) { shown.set(outcome); }));
  });
  const auto result = shown.get();
  ASSERT_FALSE(result);
  EXPECT_TRUE((holds<VellumError::ProcessorErrorReason, Failed>(result.error()))) << result.error().what();
  onMain([&] {
    auto spinner = std::dynamic_pointer_cast<ActivityIndicator>(vl(view).indicator());
    ASSERT_NE(spinner, nullptr);
    EXPECT_EQ(spinner->animatingCount(), 0);
    EXPECT_TRUE(spinner->activityIndicatorView()->isHidden());
  });

  for (const bool forceRefresh : {false, true}) {
    VellumOptionsInfo items{VellumOptionsInfoItem::targetCache(cache), VellumOptionsInfoItem::downloader(downloader),
                            unnamed};
    if (forceRefresh) items.push_back(VellumOptionsInfoItem::forceRefresh());
    Awaited<std::size_t> failed;
    ImagePrefetcher::make(std::vector<Source>{source("/a.png"), source("/b.png")}, items, nullptr,
                          [&failed](const auto&, const auto& f, const auto&) { failed.set(f.size()); })
        ->start();
    EXPECT_EQ(failed.get(), 2u) << forceRefresh;
  }
  EXPECT_EQ(server.totalHits(), 0) << "nothing was loaded that no cache entry could hold";
}

}  // namespace
}  // namespace vellum::test
