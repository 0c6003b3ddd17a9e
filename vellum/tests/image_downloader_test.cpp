// The downloader against loopback servers that hold, redirect, lie, stall and speak TLS.
#include <gtest/gtest.h>

#include <strings.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <thread>

#include <zlib.h>

#include <testing/loopback_server.hpp>
#include <testing/scripted_server.hpp>

#include "downloader_test_support.hpp"
#include "foundation/main_queue.hpp"
#include "vellum/general/image_loading_progress_side_effect.hpp"
#include "vellum/networking/image_data_processor.hpp"
#include "vellum/networking/request_modifier.hpp"

namespace vellum::test {
namespace {

using testing_support::Gate;
using testing_support::LoopbackServer;
using testing_support::Reply;
using testing_support::ScriptedServer;
using std::chrono::milliseconds;
using Request = VellumError::RequestErrorReason;
using Response = VellumError::ResponseErrorReason;

Reply image(const foundation::Bytes& bytes, std::shared_ptr<Gate> gate = nullptr) {
  return Reply{200, text(bytes), "image/png", {}, {}, std::move(gate)};
}
Reply redirect(int status, const std::string& location, std::string body = "") {
  return Reply{status, std::move(body), "text/plain", {{"Location", location}}, {}, {}};
}
std::string head(const std::string& fields) { return "HTTP/1.1 200 OK\r\n" + fields + "\r\n"; }

// Keeps the shared image-processing queue busy until the returned promise is set (or the deadline passes).
std::shared_ptr<std::promise<void>> holdSharedProcessingQueue() {
  auto release = std::make_shared<std::promise<void>>();
  auto holding = std::make_shared<std::promise<void>>();
  auto held = holding->get_future();
  ImageDataProcessor::sharedProcessingQueue().execute([holding, released = release->get_future().share()] {
    holding->set_value();
    released.wait_for(kDeadline);
  });
  await(std::move(held));
  return release;
}

class Downloads : public ::testing::Test {
 protected:
  void SetUp() override {
    server.on("GET", "/a.png", image(png));
    server.start();
  }
  std::string url(const std::string& path) const { return server.baseURL() + path; }

  const foundation::Bytes png = pngBytes(24, 16);
  LoopbackServer server;
  std::shared_ptr<ImageDownloader> downloader = ImageDownloader::make("test");
};

TEST_F(Downloads, CallersOfOneURLShareOneTransferAndEachGetsItsOwnImage) {
  auto gate = std::make_shared<Gate>();
  server.on("GET", "/held.png", image(png, gate));
  auto wide = std::make_shared<MarkingProcessor>("wide", 7);
  auto narrow = std::make_shared<MarkingProcessor>("narrow", 3);
  Answer first, second, third;
  downloader->downloadImage(url("/held.png"), direct(wide), first.completion());
  ASSERT_TRUE(gate->waitForArrivals(1, kDeadline));
  downloader->downloadImage(url("/held.png"), direct(narrow), second.completion());
  downloader->downloadImage(url("/held.png"), direct(wide), third.completion());
  gate->open();
  const auto a = first.get(), b = second.get(), c = third.get();
  ASSERT_TRUE(a && b && c);
  EXPECT_EQ(server.hits("GET", "/held.png"), 1);
  EXPECT_EQ(a.value().originalData, png);
  EXPECT_EQ(b.value().originalData, png);
  EXPECT_TRUE(a.value().originalData.sharesBufferWith(c.value().originalData));  // one buffer, not a copy each
  EXPECT_EQ(a.value().image->bitmap()->width, 7u);
  EXPECT_EQ(b.value().image->bitmap()->width, 3u);
  EXPECT_EQ(wide->runs, 1);  // shared by the first and third caller
  EXPECT_EQ(narrow->runs, 1);

  Answer later;
  downloader->downloadImage(url("/held.png"), direct(), later.completion());
  ASSERT_TRUE(later.get());
  EXPECT_EQ(server.hits("GET", "/held.png"), 2);
}

TEST_F(Downloads, DefaultProcessorDecodesTheServedImage) {
  Answer answer;
  downloader->downloadImage(url("/a.png"), direct(), answer.completion());
  const auto result = answer.get();
  ASSERT_TRUE(result) << result.error().what();
  EXPECT_EQ(result.value().image->bitmap()->width, 24u);
  EXPECT_EQ(result.value().url, url("/a.png"));
  ASSERT_TRUE(result.value().metrics);
  EXPECT_EQ(result.value().metrics->httpStatusCode, 200);
  EXPECT_EQ(result.value().metrics->responseBodyBytesReceived, static_cast<std::int64_t>(png.size()));
  EXPECT_TRUE(result.value().metrics->connectDuration);
  // The next download rides the connection the first one kept.
  Answer again;
  downloader->downloadImage(url("/a.png?again"), direct(), again.completion());
  const auto reused = again.get();
  ASSERT_TRUE(reused && reused.value().metrics);
  EXPECT_FALSE(reused.value().metrics->connectDuration);
  EXPECT_EQ(server.connections(), 1);
  // The codings the session can decode are offered, as the platform's sessions offer them; this server
  // sends the image as it is, so the bytes and their length are the wire's.
  EXPECT_EQ(server.requests().back().header("Accept-Encoding"), "gzip, deflate, br");
}

TEST_F(Downloads, CancellingOneCallerLeavesTheOtherAndTheLastClosesTheConnection) {
  const std::string body = text(png);
  const std::size_t half = body.size() / 2;
  ScriptedServer held({{milliseconds(0), head("Content-Length: " + std::to_string(body.size()) + "\r\n") + body.substr(0, half), true},
                       {milliseconds(0), body.substr(half)}});
  Answer first, second;
  auto firstHandle = downloader->downloadImage(held.baseURL() + "/x", direct(), first.completion());
  downloader->downloadImage(held.baseURL() + "/x", direct(), second.completion());
  ASSERT_TRUE(held.waitForHolds(1, kDeadline));
  firstHandle->cancel();
  const auto a = first.get();
  ASSERT_FALSE(a);
  EXPECT_TRUE(a.error().isTaskCancelled());
  held.release();
  const auto b = second.get();
  ASSERT_TRUE(b) << b.error().what();
  EXPECT_EQ(b.value().originalData, png);

  // The last caller leaving ends the transfer on the wire. The record of /x leaves the table only after its
  // callers were answered, so the table is asked about /y alone.
  Answer third, fourth;
  const std::string y = held.baseURL() + "/y";
  auto thirdHandle = downloader->downloadImage(y, direct(), third.completion());
  auto fourthHandle = downloader->downloadImage(y, direct(), fourth.completion());
  ASSERT_TRUE(held.waitForHolds(2, kDeadline));
  const auto record = downloader->sessionDelegate()->task(y);
  ASSERT_NE(record, nullptr);
  thirdHandle->cancel();
  EXPECT_EQ(downloader->sessionDelegate()->task(y), record) << "the transfer was dropped with a caller left";
  fourthHandle->cancel();
  EXPECT_TRUE(third.get().error().isTaskCancelled());
  EXPECT_TRUE(fourth.get().error().isTaskCancelled());
  EXPECT_TRUE(held.waitForPeerClosures(1, kDeadline));
  EXPECT_EQ(downloader->sessionDelegate()->task(y), nullptr);
}

TEST_F(Downloads, StatusRuleAcceptsTwoHundredToThreeNinetyNine) {
  server.on("GET", "/399", Reply{399, text(png), "image/png", {}, {}, {}});
  server.on("GET", "/400", Reply{400, text(png), "image/png", {}, {}, {}});
  Answer ok, edge, bad;
  downloader->downloadImage(url("/a.png"), direct(), ok.completion());
  downloader->downloadImage(url("/399"), direct(), edge.completion());
  downloader->downloadImage(url("/400"), direct(), bad.completion());
  EXPECT_TRUE(ok.get());
  EXPECT_TRUE(edge.get());
  const auto failed = bad.get();
  ASSERT_FALSE(failed);
  EXPECT_TRUE(failed.error().isInvalidResponseStatusCode(400));
  EXPECT_FALSE(downloader->isValidStatusCode(199, *downloader));
  EXPECT_FALSE(downloader->isValidStatusCode(400, *downloader));
}

// A delegate that refuses the answer, at once or later from a thread of its own, fails the download with the
// head the server sent: its status, its address and its fields.
TEST_F(Downloads, ARefusedAnswerCarriesTheServersHead) {
  struct Refusing final : ImageDownloaderDelegate {
    explicit Refusing(bool later) : later(later) {}
    void didReceiveResponse(ImageDownloader&, const httpkit::HTTPURLResponse&,
                            std::function<void(ResponseDisposition)> completion) override {
      if (!later) return completion(ResponseDisposition::cancel);
      std::thread([completion = std::move(completion)] { completion(ResponseDisposition::cancel); }).detach();
    }
    const bool later;
  };
  server.on("GET", "/marked.png", Reply{203, text(png), "image/png", {{"X-Mark", "kept"}}, {}, {}});
  for (const bool later : {false, true}) {
    SCOPED_TRACE(later ? "answered later" : "answered at once");
    auto delegate = std::make_shared<Refusing>(later);
    downloader->setDelegate(delegate);
    Answer refused;
    downloader->downloadImage(url("/marked.png") + (later ? "?later" : ""), direct(), refused.completion());
    const auto result = refused.get();
    ASSERT_FALSE(result);
    ASSERT_TRUE(result.error().responseReason());
    const auto* cancelled = std::get_if<Response::CancelledByDelegate>(&result.error().responseReason()->value);
    ASSERT_NE(cancelled, nullptr) << result.error().what();
    EXPECT_EQ(cancelled->response.statusCode, 203);
    EXPECT_EQ(cancelled->response.url, url("/marked.png") + (later ? "?later" : ""));
    EXPECT_EQ(cancelled->response.value("x-mark"), "kept");
  }
}

TEST_F(Downloads, RequestModifiers) {
  // No request at all: nothing is sent.
  auto refuse = std::make_shared<AnyModifier>([](httpkit::URLRequest) { return std::optional<httpkit::URLRequest>(); });
  auto options = direct();
  options.requestModifier = refuse;
  Answer refused;
  auto handle = downloader->downloadImage(url("/a.png"), options, refused.completion());
  EXPECT_TRUE((holds<Request, Request::EmptyRequest>(refused.get().error())));
  EXPECT_FALSE(handle->isInitialized());
  handle->cancel();

  // A request without its URL.
  options.requestModifier = std::make_shared<AnyModifier>([](httpkit::URLRequest r) {
    r.url.clear();
    return std::optional<httpkit::URLRequest>(r);
  });
  Answer dropped;
  downloader->downloadImage(url("/a.png"), options, dropped.completion());
  EXPECT_TRUE((holds<Request, Request::InvalidURL>(dropped.get().error())));
  EXPECT_EQ(server.hits("GET", "/a.png"), 0);

  // The request as the downloader built it, and the handle the caller got.
  struct Seeing final : AsyncImageDownloadRequestModifier {
    std::promise<httpkit::URLRequest> seen;
    std::promise<std::shared_ptr<DownloadTask>> started;
    void modified(httpkit::URLRequest request, Completion completion) override {
      seen.set_value(request);
      completion(request);
    }
    TaskStarted onDownloadTaskStarted() const override {
      return [this](const std::shared_ptr<DownloadTask>& task) { const_cast<Seeing*>(this)->started.set_value(task); };
    }
  };
  auto seeing = std::make_shared<Seeing>();
  auto seen = seeing->seen.get_future();
  auto started = seeing->started.get_future();
  downloader->setDownloadTimeout(30);
  options.requestModifier = seeing;
  Answer modified;
  auto returned = downloader->downloadImage(url("/a.png"), options, modified.completion());
  const auto request = await(std::move(seen));
  EXPECT_EQ(request.timeoutInterval, 30);
  EXPECT_EQ(request.cachePolicy, httpkit::URLRequestCachePolicy::reloadIgnoringLocalCacheData);
  EXPECT_FALSE(request.httpShouldUsePipelining);
  EXPECT_TRUE(request.allowsConstrainedNetworkAccess);
  const auto startedHandle = await(std::move(started));
  EXPECT_EQ(startedHandle, returned);
  EXPECT_TRUE(startedHandle->isInitialized());
  EXPECT_TRUE(modified.get());
}

TEST_F(Downloads, BadURLs) {
  Answer malformed, file, other;
  downloader->downloadImage("not a url", direct(), malformed.completion());
  EXPECT_TRUE((holds<Request, Request::InvalidURL>(malformed.get().error())));
  downloader->downloadImage("file:///etc/passwd", direct(), file.completion());
  EXPECT_TRUE((holds<Response, Response::InvalidURLResponse>(file.get().error())));
  downloader->downloadImage("ftp://127.0.0.1/a.png", direct(), other.completion());
  EXPECT_TRUE((holds<Response, Response::InvalidURLResponse>(other.get().error())));
}

TEST_F(Downloads, TimeoutsAreIdleLimitsNotWholeTransferLimits) {
  downloader->setDownloadTimeout(0.3);
  ScriptedServer stalled({{milliseconds(0), head("Content-Length: 100\r\n") + "abc", true}});
  Answer stall;
  downloader->downloadImage(stalled.baseURL() + "/s", direct(), stall.completion());
  const auto error = sessionURLError(stall.get().error());
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), httpkit::URLError::Code::timedOut);

  // Six pieces 150 ms apart: the whole takes three times the limit, yet no gap reaches it.
  const std::string body = text(png);
  std::vector<ScriptedServer::Step> steps{{milliseconds(0), head("Content-Length: " + std::to_string(body.size()) + "\r\n")}};
  const std::size_t piece = body.size() / 6 + 1;
  for (std::size_t at = 0; at < body.size(); at += piece) steps.push_back({milliseconds(150), body.substr(at, piece)});
  ScriptedServer steady(steps);
  Answer slow;
  downloader->downloadImage(steady.baseURL() + "/slow.png", direct(), slow.completion());
  const auto result = slow.get();
  ASSERT_TRUE(result) << result.error().what();
  EXPECT_EQ(result.value().originalData, png);

  for (double odd : {0.0, -1.0, std::nan(""), 1e9}) {
    downloader->setDownloadTimeout(odd);
    Answer answer;
    downloader->downloadImage(url("/a.png"), direct(), answer.completion());
    EXPECT_TRUE(answer.get()) << odd;
  }
}

TEST_F(Downloads, RedirectsOneHopAtATime) {
  server.on("GET", "/moved", redirect(301, "sub/../a.png", "the body of a redirect"));
  server.on("GET", "/elsewhere", redirect(302, "ftp://127.0.0.1/a.png"));
  server.on("GET", "/broken", redirect(302, "http://[::1"));
  for (int i = 0; i < 20; ++i) server.on("GET", "/loop" + std::to_string(i), redirect(302, "/loop" + std::to_string(i + 1)));

  Answer moved;
  downloader->downloadImage(url("/moved"), direct(), moved.completion());
  const auto result = moved.get();
  ASSERT_TRUE(result) << result.error().what();
  EXPECT_EQ(result.value().originalData, png);  // the redirect's own body is not part of the image
  ASSERT_TRUE(result.value().metrics);
  EXPECT_EQ(result.value().metrics->redirectCount, 1);
  EXPECT_EQ(result.value().metrics->httpStatusCode, 200);

  Answer elsewhere, broken, loop;
  downloader->downloadImage(url("/elsewhere"), direct(), elsewhere.completion());
  EXPECT_EQ(sessionURLError(elsewhere.get().error())->code(), httpkit::URLError::Code::unsupportedURL);
  downloader->downloadImage(url("/broken"), direct(), broken.completion());
  EXPECT_TRUE(sessionURLError(broken.get().error()));
  downloader->downloadImage(url("/loop0"), direct(), loop.completion());
  EXPECT_EQ(sessionURLError(loop.get().error())->code(), httpkit::URLError::Code::httpTooManyRedirects);
  EXPECT_EQ(server.hits("GET", "/loop16"), 1);  // the seventeenth request
  EXPECT_EQ(server.hits("GET", "/loop17"), 0);

  // Two different targets are no target: nothing is asked of either ("/a.png, /b.png" is no address).
  server.on("GET", "/two", Reply{302, "", "text/plain", {{"Location", "/a.png"}, {"Location", "/b.png"}}, {}, {}});
  const int before = server.hits("GET", "/a.png");
  Answer two;
  downloader->downloadImage(url("/two"), direct(), two.completion());
  const auto twoResult = two.get();
  ASSERT_FALSE(twoResult) << "a redirect with two targets was followed";
  const auto twoError = sessionURLError(twoResult.error());
  ASSERT_TRUE(twoError) << twoResult.error().what();
  EXPECT_EQ(twoError->code(), httpkit::URLError::Code::badServerResponse) << twoError->what();
  EXPECT_EQ(server.hits("GET", "/a.png"), before);
  EXPECT_EQ(server.requests().back().path, "/two");
  server.on("GET", "/twice", Reply{302, "", "text/plain", {{"Location", "/a.png"}, {"Location", "/a.png"}}, {}, {}});
  Answer twice;
  downloader->downloadImage(url("/twice"), direct(), twice.completion());
  const auto twiceResult = twice.get();
  ASSERT_TRUE(twiceResult) << twiceResult.error().what();
  EXPECT_EQ(twiceResult.value().originalData, png);
}

// Each hop is judged by its own answer: one after a redirect that ends with no answer at all fails with the
// session's error, and one answered with a refusing status reports that status, never the redirect's.
TEST_F(Downloads, AHopAfterARedirectIsJudgedByItsOwnAnswer) {
  ScriptedServer silent({{milliseconds(0), ""}});
  ScriptedServer refusing({{milliseconds(0), "HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\n\r\n"}});
  server.on("GET", "/to-silent", redirect(302, silent.baseURL() + "/a.png", "moved"));
  server.on("GET", "/to-refusing", redirect(301, refusing.baseURL() + "/a.png", "moved"));

  Answer toSilent, toRefusing;
  downloader->downloadImage(url("/to-silent"), direct(), toSilent.completion());
  const auto silentResult = toSilent.get();
  ASSERT_FALSE(silentResult);
  EXPECT_TRUE(sessionURLError(silentResult.error())) << silentResult.error().what();

  downloader->downloadImage(url("/to-refusing"), direct(), toRefusing.completion());
  const auto refusingResult = toRefusing.get();
  ASSERT_FALSE(refusingResult);
  const auto* reason = refusingResult.error().responseReason();
  const auto* status = reason ? std::get_if<Response::InvalidHTTPStatusCode>(&reason->value) : nullptr;
  ASSERT_TRUE(status) << refusingResult.error().what();
  EXPECT_EQ(status->response.statusCode, 503);
}

// A download sent as a POST (a request modifier may make it one) and answered 303, or 301 or 302 as browsers
// read them, fetches the image it is sent to with a GET: without the body, nor the fields that described it.
// 307 and 308 send the same request again, body included.
TEST_F(Downloads, ARedirectThatAsksForAGetSendsNoBody) {
  server.on("POST", "/a.png", image(png));
  for (const int status : {301, 302, 303, 307, 308}) {
    SCOPED_TRACE(status);
    const std::string from = "/posted" + std::to_string(status);
    server.on("POST", from, redirect(status, "/a.png"));
    auto options = direct();
    options.requestModifier = std::make_shared<AnyModifier>([](httpkit::URLRequest r) {
      r.method = httpkit::HTTPMethod::post;
      r.body = foundation::toBytes("form=1");
      r.headers.set("Content-Type", "application/x-www-form-urlencoded");
      return std::optional<httpkit::URLRequest>(r);
    });
    Answer answer;
    downloader->downloadImage(url(from), options, answer.completion());
    const auto result = answer.get();
    ASSERT_TRUE(result) << result.error().what();
    const auto followed = server.requests().back();
    const bool keeps = status == 307 || status == 308;
    EXPECT_EQ(followed.method, keeps ? "POST" : "GET");
    EXPECT_EQ(followed.body, keeps ? "form=1" : "");
    const bool typed = std::any_of(followed.headers.begin(), followed.headers.end(),
                                   [](const auto& field) {
      return field.first.size() == 12 && ::strncasecmp(field.first.c_str(), "Content-Type", 12) == 0;
    });
    EXPECT_EQ(typed, keeps) << "the field describing the body went with the request";
  }
}

TEST_F(Downloads, RedirectHandlerRefusesOrAnswersLater) {
  server.on("GET", "/moved", redirect(302, "/a.png", "moved away"));
  auto options = direct();
  options.redirectHandler = std::make_shared<AnyRedirectHandler>(
      [](auto, auto, httpkit::URLRequest, auto completion) { completion(std::nullopt); });
  std::promise<LivePhotoResourceDownloadingResult> refused;
  downloader->downloadLivePhotoResource(url("/moved"), options, [&](const ImageDownloader::LivePhotoResult& r) {
    ASSERT_TRUE(r) << r.error().what();
    refused.set_value(r.value());
  });
  EXPECT_EQ(text(await(refused.get_future()).originalData), "moved away");
  EXPECT_EQ(server.hits("GET", "/a.png"), 0);

  std::jthread answering;
  std::promise<int> askedWith;
  options.redirectHandler = std::make_shared<AnyRedirectHandler>(
      [&](auto, const httpkit::HTTPURLResponse& response, httpkit::URLRequest proposed, auto completion) {
        askedWith.set_value(response.statusCode);
        answering = std::jthread([proposed, completion] {
          completion(proposed);
          completion(std::nullopt);  // a second answer is ignored
        });
      });
  Answer followed;
  downloader->downloadImage(url("/moved"), options, followed.completion());
  const auto result = followed.get();
  ASSERT_TRUE(result) << result.error().what();
  EXPECT_EQ(result.value().originalData, png);
  EXPECT_EQ(await(askedWith.get_future()), 302);
}

// A handler that lets go of its completion without answering has refused the redirect: the redirect's own
// answer is the download's, as for a refusal, instead of a transfer that waits for good.
TEST_F(Downloads, ARedirectHandlerThatNeverAnswersHasRefused) {
  server.on("GET", "/moved", redirect(302, "/a.png", "moved away"));
  auto options = direct();
  options.redirectHandler = std::make_shared<AnyRedirectHandler>([](auto, auto, httpkit::URLRequest, auto) {});
  std::promise<std::string> body;
  downloader->downloadLivePhotoResource(url("/moved"), options, [&](const ImageDownloader::LivePhotoResult& r) {
    body.set_value(r ? text(r.value().originalData) : r.error().what());
  });
  EXPECT_EQ(await(body.get_future()), "moved away");
  EXPECT_EQ(server.hits("GET", "/a.png"), 0);
}

TEST_F(Downloads, ReplacingTheConfigurationCancelsRunningDownloads) {
  auto gate = std::make_shared<Gate>();
  server.on("GET", "/held.png", image(png, gate));
  Answer answer;
  downloader->downloadImage(url("/held.png"), direct(), answer.completion());
  ASSERT_TRUE(gate->waitForArrivals(1, kDeadline));
  downloader->setSessionConfiguration(SessionConfiguration{});
  const auto error = sessionURLError(answer.get().error());
  gate->open();
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), httpkit::URLError::Code::cancelled);
  Answer after;
  downloader->downloadImage(url("/a.png"), direct(), after.completion());
  EXPECT_TRUE(after.get());
}

TEST_F(Downloads, HostileBodies) {
  SessionConfiguration small;
  small.maximumBodySize = 4096;
  downloader->setSessionConfiguration(small);
  ScriptedServer huge({{milliseconds(0), head("Content-Length: 100000\r\n")}});
  ScriptedServer endless({{milliseconds(0), head("Transfer-Encoding: chunked\r\n")},
                          {milliseconds(0), "400\r\n" + std::string(1024, 'x') + "\r\n", false, true}});
  ScriptedServer shortBody({{milliseconds(0), head("Content-Length: 1000\r\n") + "only this"}});
  Answer a, b, c, d;
  downloader->downloadImage(huge.baseURL() + "/h", direct(), a.completion());
  downloader->downloadImage(endless.baseURL() + "/e", direct(), b.completion());
  downloader->downloadImage(shortBody.baseURL() + "/s", direct(), c.completion());
  EXPECT_EQ(sessionURLError(a.get().error())->code(), httpkit::URLError::Code::dataLengthExceedsMaximum);
  EXPECT_EQ(sessionURLError(b.get().error())->code(), httpkit::URLError::Code::dataLengthExceedsMaximum);
  EXPECT_EQ(sessionURLError(c.get().error())->code(), httpkit::URLError::Code::networkConnectionLost);

  server.on("GET", "/text", Reply::text(200, "this is no image"));
  Answer e;
  downloader->downloadImage(url("/text"), direct(), d.completion());
  downloader->downloadImage(url("/text"), direct(std::make_shared<DefaultImageProcessor>("other")), e.completion());
  const VellumError notAnImage = d.get().error();
  EXPECT_TRUE((holds<VellumError::ProcessorErrorReason, VellumError::ProcessorErrorReason::ProcessingFailed>(notAnImage)));
  EXPECT_TRUE((holds<VellumError::ProcessorErrorReason, VellumError::ProcessorErrorReason::ProcessingFailed>(e.get().error())));
  // The decoder's word on the bytes, not only the processor that gave up on them.
  EXPECT_EQ(notAnImage.errorDescription(),
            "Processing image failed. Processor: ImageProcessor(identifier: \"\"). Processing item: data(16 bytes). "
            "Reason: the data is not a PNG, JPEG or GIF image.");
}

// With no limit of its own, an application still takes a server's announced length only as a hint: a body
// announced at 4 EiB that stops after a few bytes is a lost connection, not an allocation of the announced size.
TEST_F(Downloads, AnAnnouncedLengthBeyondMemoryIsOnlyAHint) {
  SessionConfiguration unlimited;
  unlimited.maximumBodySize = std::numeric_limits<std::size_t>::max();
  downloader->setSessionConfiguration(unlimited);
  ScriptedServer lying({{milliseconds(0), head("Content-Length: 4611686018427387904\r\n") + "only this"}});
  Answer answer;
  downloader->downloadImage(lying.baseURL() + "/l", direct(), answer.completion());
  const auto error = sessionURLError(answer.get().error());
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), httpkit::URLError::Code::networkConnectionLost);
}

// A processor is the caller's code: when it throws, its callers get processingFailed and the process goes on.
TEST_F(Downloads, AProcessorThatThrowsFailsOnlyItsCallers) {
  auto gate = std::make_shared<Gate>();
  server.on("GET", "/held.png", image(png, gate));
  auto throwing = std::make_shared<ThrowingProcessor>([](int) { return true; });
  Answer first, second, third;
  downloader->downloadImage(url("/held.png"), direct(throwing), first.completion());
  ASSERT_TRUE(gate->waitForArrivals(1, kDeadline));
  downloader->downloadImage(url("/held.png"), direct(), second.completion());
  downloader->downloadImage(url("/held.png"), direct(throwing), third.completion());
  gate->open();
  const auto a = first.get(), b = second.get(), c = third.get();
  EXPECT_EQ(server.hits("GET", "/held.png"), 1);
  using Failed = VellumError::ProcessorErrorReason::ProcessingFailed;
  ASSERT_FALSE(a);
  EXPECT_TRUE((holds<VellumError::ProcessorErrorReason, Failed>(a.error())));
  EXPECT_EQ(std::get<Failed>(a.error().processorReason()->value).processor, throwing);
  ASSERT_TRUE(b);
  EXPECT_EQ(b.value().image->bitmap()->width, 24u);
  // A throw leaves nothing to share, so the third caller's run is a second try (and throws a bare int).
  ASSERT_FALSE(c);
  EXPECT_TRUE((holds<VellumError::ProcessorErrorReason, Failed>(c.error())));
  EXPECT_EQ(throwing->calls, 2);
}

// Every progress report of a download, as (received, total).
struct ProgressRecord {
  std::shared_ptr<ImageLoadingProgressSideEffect> sideEffect() {
    return std::make_shared<ImageLoadingProgressSideEffect>([this](std::int64_t received, std::int64_t total) {
      std::lock_guard lock(mutex);
      calls.emplace_back(received, total);
      changed.notify_all();
    });
  }
  bool waitFor(std::size_t count) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, kDeadline, [&] { return calls.size() >= count; });
  }
  std::vector<std::pair<std::int64_t, std::int64_t>> taken() {
    std::lock_guard lock(mutex);
    return calls;
  }

 private:
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::pair<std::int64_t, std::int64_t>> calls;
};

// `bytes` compressed by zlib's own encoder: 31 window bits make a gzip member, 15 a zlib stream (HTTP's "deflate").
std::string zlibCoded(const foundation::Bytes& bytes, int windowBits) {
  z_stream stream{};
  deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, windowBits, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&stream, bytes.size()), '\0');
  stream.next_in = const_cast<Bytef*>(bytes.data());
  stream.avail_in = static_cast<uInt>(bytes.size());
  stream.next_out = reinterpret_cast<Bytef*>(out.data());
  stream.avail_out = static_cast<uInt>(out.size());
  deflate(&stream, Z_FINISH);
  out.resize(stream.total_out);
  deflateEnd(&stream);
  return out;
}

TEST_F(Downloads, ProgressFollowsEachPacedChunk) {
  ScriptedServer paced({{milliseconds(0), head("Content-Length: 1000\r\n") + std::string(400, 'a'), true},
                        {milliseconds(0), std::string(400, 'b'), true},
                        {milliseconds(0), std::string(200, 'c')}});
  ProgressRecord progress;
  auto options = direct();
  options.onDataReceived.emplace().push_back(progress.sideEffect());
  std::promise<foundation::Bytes> done;
  downloader->downloadLivePhotoResource(paced.baseURL() + "/p", options, [&](const ImageDownloader::LivePhotoResult& r) {
    done.set_value(r ? r.value().originalData.bytes() : foundation::Bytes{});
  });
  ASSERT_TRUE(progress.waitFor(1));
  paced.release();
  ASSERT_TRUE(progress.waitFor(2));
  paced.release();
  EXPECT_EQ(await(done.get_future()).size(), 1000u);
  ASSERT_TRUE(progress.waitFor(3));
  EXPECT_EQ(progress.taken(), (std::vector<std::pair<std::int64_t, std::int64_t>>{{400, 1000}, {800, 1000}, {1000, 1000}}));
}

// A chunked answer is framed by its chunks: a Content-Length beside them says nothing of the body (the client
// reads past it, or stops short of it), so its progress has no total rather than a false one.
TEST_F(Downloads, ProgressOfAChunkedAnswerIgnoresALengthBesideTheChunks) {
  const std::string chunk = "190\r\n" + std::string(400, 'a') + "\r\n";
  ScriptedServer chunked({{milliseconds(0), head("Transfer-Encoding: chunked\r\nContent-Length: 5000\r\n") + chunk, true},
                          {milliseconds(0), chunk + "0\r\n\r\n"}});
  ProgressRecord progress;
  auto options = direct();
  options.onDataReceived.emplace().push_back(progress.sideEffect());
  std::promise<foundation::Bytes> done;
  downloader->downloadLivePhotoResource(chunked.baseURL() + "/c", options, [&](const ImageDownloader::LivePhotoResult& r) {
    done.set_value(r ? r.value().originalData.bytes() : foundation::Bytes{});
  });
  ASSERT_TRUE(chunked.waitForHolds(1, kDeadline));
  chunked.release();
  EXPECT_EQ(await(done.get_future()).size(), 800u);
  test::flushMain();
  const auto calls = progress.taken();
  EXPECT_TRUE(calls.empty()) << "progress reported " << calls.front().first << " of " << calls.front().second;
}

// An answer's content coding is the transfer's, not the image's: the caller gets the image the server
// coded, whether the downloader offered the codings itself or a modifier asked for one.
TEST_F(Downloads, ContentCodedImagesAreDecoded) {
  server.on("GET", "/gzip.png", Reply{200, zlibCoded(png, 31), "image/png", {{"Content-Encoding", "gzip"}}, {}, {}});
  server.on("GET", "/deflate.png", Reply{200, zlibCoded(png, 15), "image/png", {{"Content-Encoding", "deflate"}}, {}, {}});
  auto asking = direct();
  asking.requestModifier = std::make_shared<AnyModifier>([](httpkit::URLRequest request) -> std::optional<httpkit::URLRequest> {
    request.headers.set("Accept-Encoding", "gzip");
    return request;
  });
  for (const auto* path : {"/gzip.png", "/deflate.png"}) {
    for (const auto& options : {direct(), asking}) {
      Answer answer;
      downloader->downloadImage(url(path), options, answer.completion());
      const auto result = answer.get();
      ASSERT_TRUE(result) << path << ": " << result.error().what();
      EXPECT_EQ(result.value().originalData, png) << path;
      EXPECT_EQ(result.value().image->size(), (Size{24, 16})) << path;
    }
  }
  // The codings offered are the ones the answer can be decoded from; a modifier's own choice is kept.
  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 4u);
  EXPECT_EQ(requests[0].header("Accept-Encoding"), "gzip, deflate, br");
  EXPECT_EQ(requests[1].header("Accept-Encoding"), "gzip");
}

// The announced length of a content-coded answer counts its coded bytes, while the download counts the decoded
// ones: progress never reports more received than its total.
TEST_F(Downloads, ProgressOfAContentCodedAnswerNeverPassesItsTotal) {
  const foundation::Bytes plain(20000, 'a');
  const std::string coded = zlibCoded(plain, 31);
  server.on("GET", "/coded", Reply{200, coded, "application/octet-stream", {{"Content-Encoding", "gzip"}}, {}, {}});

  ProgressRecord progress;
  auto options = direct();
  options.onDataReceived.emplace().push_back(progress.sideEffect());
  std::promise<foundation::Bytes> done;
  downloader->downloadLivePhotoResource(url("/coded"), options, [&](const ImageDownloader::LivePhotoResult& r) {
    done.set_value(r ? r.value().originalData.bytes() : foundation::Bytes{});
  });
  EXPECT_EQ(await(done.get_future()), plain);
  flushMain();
  for (const auto& [received, total] : progress.taken()) EXPECT_LE(received, total) << "of " << coded.size() << " coded bytes";
}

TEST_F(Downloads, LivePhotoResourcesAreTheServedBytesWhateverTheProcessor) {
  for (auto processor : std::vector<std::shared_ptr<const ImageProcessor>>{
           DefaultImageProcessor::defaultProcessor(), std::make_shared<MarkingProcessor>("resize", 2)}) {
    auto future = downloader->downloadLivePhotoResourceAsync(url("/a.png"), direct(processor));
    const auto result = await(std::move(future));
    EXPECT_EQ(result.originalData, png);
    EXPECT_EQ(result.url, url("/a.png"));
  }
  downloader->downloadLivePhotoResource(url("/a.png"), direct(), nullptr);
}

// Bytes wanted as they came wait for no image being made: the shared processing queue is held busy meanwhile.
// A transfer shared with a caller who wants an image still makes that image, and each gets its own answer.
TEST_F(Downloads, BytesOnlyDownloadsDoNotWaitBehindImagesBeingMade) {
  auto release = holdSharedProcessingQueue();
  auto bytes = downloader->downloadLivePhotoResourceAsync(url("/a.png"), direct());
  const bool answered = bytes.wait_for(kDeadline) == std::future_status::ready;
  release->set_value();
  ASSERT_TRUE(answered);
  EXPECT_EQ(bytes.get().originalData, png);

  auto gate = std::make_shared<Gate>();
  server.on("GET", "/shared.png", image(png, gate));
  auto resource = downloader->downloadLivePhotoResourceAsync(url("/shared.png"), direct());
  ASSERT_TRUE(gate->waitForArrivals(1, kDeadline));
  Answer decoded;
  downloader->downloadImage(url("/shared.png"), direct(), decoded.completion());
  gate->open();
  const auto image = decoded.get();
  ASSERT_TRUE(image) << image.error().what();
  ASSERT_TRUE(image.value().image->bitmap());
  EXPECT_EQ(image.value().image->bitmap()->width, 24u);
  EXPECT_EQ(await(std::move(resource)).originalData, png);
  EXPECT_EQ(server.hits("GET", "/shared.png"), 1);
}

// Whether bytes may skip the processing queue is the processor's to say, the application's own among them;
// one that throws when asked is taken as a no, and its caller is still answered.
TEST_F(Downloads, ProcessorsThatKeepTheBytesAreAnsweredOffTheProcessingQueue) {
  struct Keeping final : ImageProcessor {
    explicit Keeping(int answer) : answer_(answer) {}
    std::string identifier() const override { return "keeping-" + std::to_string(answer_); }
    ImagePtr process(const ImageProcessItem&, const VellumParsedOptionsInfo&) const override {
      onProcessingQueue = ImageDataProcessor::sharedProcessingQueue().dispatchQueue()->isCurrent();
      return Image::withoutBitmap();
    }
    bool keepsDataAsIs() const override {
      if (answer_ < 0) throw answer_;
      return answer_ > 0;
    }
    const int answer_;
    mutable std::atomic<bool> onProcessingQueue{false};
  };
  auto keeps = std::make_shared<Keeping>(1);
  auto declines = std::make_shared<Keeping>(0);
  auto throws = std::make_shared<Keeping>(-1);

  auto release = holdSharedProcessingQueue();
  Answer kept, declined, thrown;
  downloader->downloadImage(url("/a.png"), direct(keeps), kept.completion());
  downloader->downloadImage(url("/a.png?declines"), direct(declines), declined.completion());
  downloader->downloadImage(url("/a.png?throws"), direct(throws), thrown.completion());
  const bool answered = kept.future.wait_for(kDeadline) == std::future_status::ready;
  release->set_value();
  ASSERT_TRUE(answered);
  const auto result = kept.get();
  ASSERT_TRUE(result) << result.error().what();
  EXPECT_EQ(result.value().originalData, png);
  EXPECT_FALSE(keeps->onProcessingQueue);

  for (auto* answer : {&declined, &thrown}) {
    const auto other = answer->get();
    ASSERT_TRUE(other) << other.error().what();
    EXPECT_EQ(other.value().originalData, png);
  }
  EXPECT_TRUE(declines->onProcessingQueue);
  EXPECT_TRUE(throws->onProcessingQueue);
}

TEST_F(Downloads, ServerTrustOnlyForTrustedHosts) {
  LoopbackServer::Options tls;
  tls.tls = testing_support::makeSelfSignedIdentity("127.0.0.1");
  LoopbackServer secure(tls);
  secure.on("GET", "/s.png", image(png));
  secure.start();

  Answer untrusted;
  downloader->downloadImage(secure.baseURL() + "/s.png", direct(), untrusted.completion());
  EXPECT_EQ(sessionURLError(untrusted.get().error())->code(), httpkit::URLError::Code::serverCertificateUntrusted);

  downloader->setTrustedHosts(std::set<std::string>{"127.0.0.1"});
  Answer trusted;
  downloader->downloadImage(secure.baseURL() + "/s.png", direct(), trusted.completion());
  const auto result = trusted.get();
  ASSERT_TRUE(result) << result.error().what();
  EXPECT_EQ(result.value().originalData, png);

  struct Refusing final : AuthenticationChallengeResponsible {
    void didReceiveChallenge(ImageDownloader&, const URLAuthenticationChallenge&,
                             std::function<void(ChallengeAnswer)> completion) override {
      completion({AuthChallengeDisposition::cancelAuthenticationChallenge, std::nullopt});
    }
  };
  auto refusing = std::make_shared<Refusing>();
  downloader->setAuthenticationChallengeResponder(refusing);
  Answer cancelled;
  downloader->downloadImage(secure.baseURL() + "/s.png", direct(), cancelled.completion());
  EXPECT_EQ(sessionURLError(cancelled.get().error())->code(), httpkit::URLError::Code::cancelled);
  EXPECT_EQ(secure.hits("GET", "/s.png"), 1);
}

TEST_F(Downloads, ConstrainedNetworkRefusesOnlyRequestsThatMayNotUseIt) {
  auto options = direct();
  options.requestModifier = std::make_shared<AnyModifier>([](httpkit::URLRequest r) {
    r.allowsConstrainedNetworkAccess = false;
    return std::optional<httpkit::URLRequest>(r);
  });
  ImageDownloader::setNetworkConstrainedForTesting(true);
  Answer refused, allowed;
  downloader->downloadImage(url("/a.png"), options, refused.completion());
  downloader->downloadImage(url("/a.png?other"), direct(), allowed.completion());
  const auto error = refused.get();
  ImageDownloader::setNetworkConstrainedForTesting(false);
  EXPECT_TRUE(error.error().isConstrainedNetworkFailure());
  EXPECT_TRUE(allowed.get());
}

TEST_F(Downloads, AwaitableFormsHonourStopRequests) {
  auto result = await(downloader->downloadImageAsync(url("/a.png"), direct()));
  EXPECT_EQ(result.originalData, png);
  auto cancelled = [](std::future<ImageLoadingResult>& future) {
    if (future.wait_for(kDeadline) != std::future_status::ready) return false;
    try {
      future.get();
    } catch (const VellumError& error) {
      return error.isTaskCancelled();
    }
    return false;
  };

  // Stopped before the call: nothing is sent.
  std::stop_source stopped;
  stopped.request_stop();
  const int before = server.hits("GET", "/a.png");
  auto future = downloader->downloadImageAsync(url("/a.png"), direct(), stopped.get_token());
  EXPECT_TRUE(cancelled(future)) << "a download stopped before the call did not fail as cancelled";
  EXPECT_EQ(server.hits("GET", "/a.png"), before);

  // Stopped while its image waits to be delivered: the stop wins.
  HeldQueue delivery;
  auto held = direct();
  held.callbackQueue = delivery.callbackQueue();
  auto observer = std::make_shared<TransferEnded>();
  downloader->setDelegate(observer);
  std::stop_source during;
  auto waiting = downloader->downloadImageAsync(url("/a.png?during"), held, during.get_token());
  await(std::move(observer->ended));
  during.request_stop();
  delivery.unblock();
  EXPECT_TRUE(cancelled(waiting)) << "a download stopped before its image was delivered did not fail as cancelled";

  auto gate = std::make_shared<Gate>();
  server.on("GET", "/held.png", image(png, gate));
  std::stop_source later;
  auto running = downloader->downloadImageAsync(url("/held.png"), direct(), later.get_token());
  ASSERT_TRUE(gate->waitForArrivals(1, kDeadline));
  later.request_stop();
  ASSERT_EQ(running.wait_for(kDeadline), std::future_status::ready);
  EXPECT_THROW(running.get(), VellumError);
  gate->open();
}

// A future of the default options may be waited on from the main queue itself: its answer needs no turn of it.
TEST_F(Downloads, AwaitableFormsAnswerAWaitOnTheMainQueue) {
  std::promise<std::pair<bool, bool>> outcome;
  foundation::MainQueue::post([&] {
    auto image = downloader->downloadImageAsync(url("/a.png"), VellumParsedOptionsInfo{});
    auto bytes = downloader->downloadLivePhotoResourceAsync(url("/a.png?bytes"), VellumParsedOptionsInfo{});
    const bool imageCame = image.wait_for(kDeadline) == std::future_status::ready;
    const bool bytesCame = bytes.wait_for(kDeadline) == std::future_status::ready;
    outcome.set_value({imageCame && image.get().originalData == png, bytesCame && bytes.get().originalData == png});
  });
  const auto [image, bytes] = await(outcome.get_future());
  EXPECT_TRUE(image);
  EXPECT_TRUE(bytes);
}

// A session's transfers are told apart from every other session's, so that a late event of a replaced
// session cannot end the transfer that took its place.
TEST_F(Downloads, TransfersOfSuccessiveSessionsHaveDistinctIdentifiers) {
  auto gate = std::make_shared<Gate>();
  server.on("GET", "/held.png", image(png, gate));
  Answer old;
  auto first = downloader->downloadImage(url("/held.png"), direct(), old.completion());
  ASSERT_TRUE(gate->waitForArrivals(1, kDeadline));
  const auto oldTask = first->sessionTask()->task();
  downloader->setSessionConfiguration(SessionConfiguration{});
  Answer fresh;
  auto second = downloader->downloadImage(url("/held.png"), direct(), fresh.completion());
  ASSERT_TRUE(second->sessionTask());
  EXPECT_NE(second->sessionTask()->task()->taskIdentifier(), oldTask->taskIdentifier());
  EXPECT_TRUE(old.get().error().responseReason());
  gate->open();
  EXPECT_TRUE(fresh.get());
}

// A modifier that answers twice still sends one request for one caller, who is answered once.
TEST_F(Downloads, ModifierAnsweringTwiceAttachesItsCallerOnce) {
  struct Twice final : AsyncImageDownloadRequestModifier {
    std::promise<void> answered;
    void modified(httpkit::URLRequest request, Completion completion) override {
      completion(request);
      completion(request);
      answered.set_value();
    }
  };
  auto gate = std::make_shared<Gate>();
  server.on("GET", "/held.png", image(png, gate));
  auto twice = std::make_shared<Twice>();
  auto answered = twice->answered.get_future();
  auto options = direct();
  options.requestModifier = twice;
  auto future = downloader->downloadImageAsync(url("/held.png"), options);
  await(std::move(answered));
  const auto records = downloader->sessionDelegate()->tasks();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records.front()->callbackCount(), 1u);
  gate->open();
  EXPECT_EQ(await(std::move(future)).originalData, png);
  EXPECT_EQ(server.hits("GET", "/held.png"), 1);
}

// Credentials a modifier adds go only to the origin they were meant for: a redirect to another host or
// port leaves them behind before the redirect handler sees the request.
TEST_F(Downloads, CredentialsStayWithTheirOrigin) {
  LoopbackServer other;
  other.on("GET", "/b.png", image(png));
  other.start();
  server.on("GET", "/port", redirect(302, other.baseURL() + "/b.png"));
  server.on("GET", "/host", redirect(302, "http://localhost:" + std::to_string(server.port()) + "/a.png"));
  server.on("GET", "/same", redirect(307, "/a.png"));
  auto options = direct();
  options.requestModifier = std::make_shared<AnyModifier>([](httpkit::URLRequest r) {
    r.headers.set("Authorization", "Bearer secret");
    r.headers.set("Cookie", "session=secret");
    r.headers.set("Proxy-Authorization", "Basic secret");
    r.headers.set("X-Tenant", "t1");
    return std::optional<httpkit::URLRequest>(r);
  });
  std::mutex mutex;
  std::vector<httpkit::HTTPHeaders> proposed;
  options.redirectHandler = std::make_shared<AnyRedirectHandler>(
      [&](auto, auto, httpkit::URLRequest request, auto completion) {
        {
          std::lock_guard lock(mutex);
          proposed.push_back(request.headers);
        }
        completion(request);
      });
  const std::vector<const char*> credentials{"Authorization", "Cookie", "Proxy-Authorization"};
  for (const char* path : {"/port", "/host"}) {
    Answer answer;
    downloader->downloadImage(url(path), options, answer.completion());
    ASSERT_TRUE(answer.get()) << path;
    const auto arrived = (std::string(path) == "/port" ? other : server).requests().back();
    EXPECT_EQ(arrived.path, std::string(path) == "/port" ? "/b.png" : "/a.png");
    EXPECT_EQ(arrived.header("X-Tenant"), "t1") << path;
    std::lock_guard lock(mutex);
    for (const char* name : credentials) {
      EXPECT_FALSE(arrived.header(name)) << name << " went on after " << path;
      EXPECT_FALSE(proposed.back().contains(name)) << name << " was proposed after " << path;
    }
  }
  // Within the origin they stay.
  Answer same;
  downloader->downloadImage(url("/same"), options, same.completion());
  ASSERT_TRUE(same.get());
  const auto arrived = server.requests().back();
  for (const char* name : credentials) EXPECT_TRUE(arrived.header(name)) << name;
  downloader.reset();  // lets go of its connection to `other` before that server stops
}

// A connection that closes before the answer's head is complete is a lost connection, not an answer.
TEST_F(Downloads, ConnectionLostInTheHeadIsASessionError) {
  for (const std::string cut : {"HTTP/1.1 20", "HTTP/1.1 200 OK\r\nContent-Le", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n"}) {
    ScriptedServer closing({{milliseconds(0), cut}});
    Answer answer;
    downloader->downloadImage(closing.baseURL() + "/c", direct(), answer.completion());
    const auto result = answer.get();
    ASSERT_FALSE(result);
    const auto error = sessionURLError(result.error());
    ASSERT_TRUE(error) << cut << ": " << result.error().what();
    EXPECT_EQ(error->code(), httpkit::URLError::Code::networkConnectionLost) << cut;
  }
}

TEST_F(Downloads, MetricsCountTheRequestBodySent) {
  server.on("POST", "/a.png", image(png));
  auto options = direct();
  options.requestModifier = std::make_shared<AnyModifier>([](httpkit::URLRequest r) {
    r.method = httpkit::HTTPMethod::post;
    r.body = foundation::toBytes("twelve bytes");
    return std::optional<httpkit::URLRequest>(r);
  });
  Answer answer;
  downloader->downloadImage(url("/a.png"), options, answer.completion());
  const auto result = answer.get();
  ASSERT_TRUE(result && result.value().metrics);
  EXPECT_EQ(result.value().metrics->requestBodyBytesSent, 12);
  EXPECT_EQ(server.requests().back().body, "twelve bytes");
}

// A downloader made as a subclass runs its own steps, and answers its own challenges by default.
TEST(ImageDownloaderSubclass, OverriddenStepsAreTheOnesThatRun) {
  class Tenant : public ImageDownloader {
   public:
    using ImageDownloader::ImageDownloader;
    std::atomic<int> added{0};

   protected:
    void createDownloadContext(const std::string& address, const VellumParsedOptionsInfo& options,
                               std::function<void(ContextResult)> done) override {
      ImageDownloader::createDownloadContext(address, options, [done](ContextResult context) {
        if (context) context.value().request.headers.set("X-Tenant", "t2");
        done(std::move(context));
      });
    }
    std::shared_ptr<DownloadTask> addDownloadTask(const DownloadingContext& context,
                                                  SessionDataTask::TaskCallback callback) override {
      ++added;
      return ImageDownloader::addDownloadTask(context, std::move(callback));
    }
  };
  LoopbackServer server;
  server.on("GET", "/a.png", image(pngBytes(4, 4)));
  server.start();
  auto tenant = ImageDownloader::create<Tenant>("tenant");
  EXPECT_EQ(tenant->authenticationChallengeResponder(), tenant);
  Answer answer;
  tenant->downloadImage(server.baseURL() + "/a.png", direct(), answer.completion());
  ASSERT_TRUE(answer.get());
  EXPECT_EQ(tenant->added, 1);
  EXPECT_EQ(server.requests().back().header("X-Tenant"), "t2");
  auto plain = ImageDownloader::make("plain");
  EXPECT_EQ(plain->authenticationChallengeResponder(), plain);
}

TEST(ImageDownloaderIdentity, SharedDefaultAndNames) {
  EXPECT_EQ(ImageDownloader::default_(), ImageDownloader::default_());
  EXPECT_EQ(ImageDownloader::default_()->name(), "default");
  EXPECT_EQ(ImageDownloader::make("x")->downloadTimeout(), 15.0);
  EXPECT_DEATH(ImageDownloader::make(""),
               "You should specify a name for the downloader. A downloader with empty name is not permitted.");
}

// Mended faults: callers are answered when their downloader goes, and a cancel asked while an asynchronous
// modifier works is honoured.
TEST_F(Downloads, ReleasingTheDownloaderAnswersEveryCaller) {
  auto gate = std::make_shared<Gate>();
  server.on("GET", "/held.png", image(png, gate));
  Answer first, second;
  downloader->downloadImage(url("/held.png"), direct(), first.completion());
  downloader->downloadImage(url("/held.png"), direct(std::make_shared<MarkingProcessor>("m", 2)), second.completion());
  ASSERT_TRUE(gate->waitForArrivals(1, kDeadline));
  downloader.reset();
  for (Answer* answer : {&first, &second}) {
    const auto error = sessionURLError(answer->get().error());
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), httpkit::URLError::Code::cancelled);
  }
  gate->open();
}

TEST_F(Downloads, CancelDuringAnAsynchronousModifierIsHonoured) {
  struct Slow final : AsyncImageDownloadRequestModifier {
    std::promise<void> asked;
    std::promise<void> go;
    void modified(httpkit::URLRequest request, Completion completion) override {
      asked.set_value();
      go.get_future().wait_for(kDeadline);
      completion(request);
    }
  };
  auto slow = std::make_shared<Slow>();
  auto asked = slow->asked.get_future();
  auto options = direct();
  options.requestModifier = slow;
  Answer answer;
  auto handle = downloader->downloadImage(url("/a.png"), options, answer.completion());
  await(std::move(asked));
  handle->cancel();
  slow->go.set_value();
  const auto result = answer.get();
  ASSERT_FALSE(result);
  EXPECT_TRUE(result.error().isTaskCancelled());
  EXPECT_EQ(server.hits("GET", "/a.png"), 0);  // the transfer was never started
}

// An asynchronous modifier is the application's code and may never answer: it keeps its completion (waiting
// on something that never comes) or lets it go unanswered. Its callers are answered all the same: a cancel,
// or a stop of the awaitable form, answers at once, and a completion let go unanswered gave no request.
// Answers the modifier gives later start nothing.
TEST_F(Downloads, AModifierThatNeverAnswersHoldsUpNeitherACancelNorItsCaller) {
  struct Silent final : AsyncImageDownloadRequestModifier {
    std::mutex mutex;
    std::vector<Completion> kept;
    bool keeps = true;
    std::atomic<int> asked{0};
    void modified(httpkit::URLRequest, Completion completion) override {
      std::lock_guard lock(mutex);
      if (keeps) kept.push_back(std::move(completion));
      ++asked;
    }
  };
  auto silent = std::make_shared<Silent>();
  auto options = direct();
  options.requestModifier = silent;

  Answer cancelled;
  auto handle = downloader->downloadImage(url("/a.png"), options, cancelled.completion());
  handle->cancel();
  const auto first = cancelled.get();
  ASSERT_FALSE(first);
  EXPECT_TRUE(first.error().isTaskCancelled()) << first.error().what();

  std::stop_source stop;
  auto future = downloader->downloadImageAsync(url("/a.png"), options, stop.get_token());
  stop.request_stop();
  ASSERT_EQ(future.wait_for(kDeadline), std::future_status::ready) << "a stop waited for the modifier";
  EXPECT_THROW(future.get(), VellumError);

  {
    std::lock_guard lock(silent->mutex);
    silent->keeps = false;
  }
  Answer dropped;
  downloader->downloadImage(url("/a.png"), options, dropped.completion());
  const auto none = dropped.get();
  ASSERT_FALSE(none);
  EXPECT_TRUE((holds<Request, Request::EmptyRequest>(none.error()))) << none.error().what();

  // The two kept completions answer now, after their callers were told: nothing is sent for them.
  std::vector<AsyncImageDownloadRequestModifier::Completion> late;
  {
    std::lock_guard lock(silent->mutex);
    late.swap(silent->kept);
  }
  for (auto& completion : late) completion(httpkit::URLRequest{url("/a.png"), httpkit::HTTPMethod::get, {}, std::nullopt});
  auto result = await(downloader->downloadImageAsync(url("/a.png"), direct()));
  EXPECT_EQ(result.originalData, png);
  EXPECT_EQ(server.hits("GET", "/a.png"), 1);
}

}  // namespace
}  // namespace vellum::test
