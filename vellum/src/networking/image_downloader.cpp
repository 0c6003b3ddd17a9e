#include "vellum/networking/image_downloader.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include <boost/asio/post.hpp>

#include "foundation/thread_pool.hpp"
#include "answer_once.hpp"
#include "general/guarded_call.hpp"
#include "general/settle_promise.hpp"
#include "url_session.hpp"
#include "vellum/networking/image_data_processor.hpp"
#include "vellum/general/image_loading_progress_side_effect.hpp"
#include "vellum/image/image_processor.hpp"
#include "vellum/networking/request_modifier.hpp"

namespace vellum {

namespace {

constexpr const char* kEmptyNameMessage =
    "[Vellum] You should specify a name for the downloader. A downloader with empty name is not permitted.";

VellumError cancelledWith(const std::string& url, const char* why) {
  return VellumError::responseError(VellumError::ResponseErrorReason::URLSessionError{
      std::make_exception_ptr(httpkit::URLError(httpkit::URLError::Code::cancelled, why, url))});
}
VellumError cancelledBySession(const std::string& url) { return cancelledWith(url, "the downloader went away"); }
// What a transfer of a replaced session ends with, as the session itself would end it.
VellumError sessionCancelled(const std::string& url) { return cancelledWith(url, "cancelled"); }

void answer(const SessionDataTask::TaskCallback& callback, ImageDownloader::DownloadResult result) {
  if (!callback.onCompleted) return;
  callback.options.callbackQueue.deliver(*callback.onCompleted, std::move(result));
}

// The answer of an awaited download that a stop request ended: the cancellation of its entry, when it had one.
VellumError stopped(const std::shared_ptr<DownloadTask>& handle) {
  std::shared_ptr<SessionDataTask> record = handle ? handle->sessionTask() : nullptr;
  const auto token = handle ? handle->cancelToken() : std::nullopt;
  return VellumError::requestError(VellumError::RequestErrorReason::TaskCancelled{std::move(record), token.value_or(0)});
}

// Meets a completion and a stop request that may come in either order; the future gets one value. A stop
// requested before the call starts nothing; one requested later cancels the download and wins over a
// success that has not been delivered yet.
template <class T, class Start>
std::future<T> awaitDownload(Start start, const std::stop_token& stop) {
  auto promise = std::make_shared<std::promise<T>>();
  auto future = promise->get_future();
  if (stop.stop_requested()) {
    promise->set_exception(std::make_exception_ptr(stopped(nullptr)));
    return future;
  }
  auto holder = std::make_shared<CancellationDownloadTask>();
  auto onStop = std::make_shared<std::optional<std::stop_callback<std::function<void()>>>>();
  onStop->emplace(stop, std::function<void()>([holder] { holder->cancel(); }));
  auto task = start([promise, onStop, holder](const foundation::Result<T, VellumError>& result) {
    if (result && holder->isCancelled()) {
      settlePromiseWithError(*promise, stopped(holder->task()));
    } else {
      settlePromise(*promise, foundation::Result<T, VellumError>(result));
    }
  });
  // Cancels at once when the stop came during the call.
  holder->setTask(task);
  return future;
}

// Every caller asked for the bytes alone (a live-photo resource): each processor keeps them as they are. The
// processor may be the application's: one that throws when asked has said no, and its image is made on the
// processing queue as any other.
bool makesNoImage(const std::vector<SessionDataTask::TaskCallback>& callbacks) {
  return std::all_of(callbacks.begin(), callbacks.end(), [](const SessionDataTask::TaskCallback& callback) {
    const auto& processor = callback.options.processor;
    bool keeps = false;
    if (processor) callGuarded("A processor's keepsDataAsIs", [&] { keeps = processor->keepsDataAsIs(); });
    return keeps;
  });
}

// A future may be waited on from any thread, the main queue's own among them: its answer never waits for a
// turn of the main queue, where such a wait would never end. Any other queue the caller named is kept.
VellumParsedOptionsInfo answeredOffTheMainQueue(VellumParsedOptionsInfo options) {
  const auto kind = options.callbackQueue.kind();
  if (kind == CallbackQueue::Kind::mainAsync || kind == CallbackQueue::Kind::mainCurrentOrAsync) {
    options.callbackQueue = CallbackQueue::untouch();
  }
  return options;
}

}  // namespace

std::optional<foundation::SharedBytes> ImageDownloaderDelegate::didDownloadData(ImageDownloader& downloader,
                                                                                foundation::SharedBytes data,
                                                                                const SessionDataTask& task) {
  if (!task.originalURL()) return data;
  return didDownloadDataForURL(downloader, std::move(data), *task.originalURL());
}

void AuthenticationChallengeResponsible::didReceiveChallenge(ImageDownloader& downloader,
                                                             const URLAuthenticationChallenge& challenge,
                                                             std::function<void(ChallengeAnswer)> completion) {
  const auto hosts = downloader.trustedHosts();
  if (challenge.authenticationMethod == kAuthenticationMethodServerTrust && hosts && hosts->contains(challenge.host)) {
    return completion({AuthChallengeDisposition::useCredential, URLCredential{challenge.host}});
  }
  completion(ChallengeAnswer{});
}

std::shared_ptr<ImageDownloader> ImageDownloader::make(std::string name) {
  return create<ImageDownloader>(std::move(name));
}

ImageDownloader::ImageDownloader(std::string name) : name_(std::move(name)) {
  if (name_.empty()) {
    std::fprintf(stderr, "%s\n", kEmptyNameMessage);
    std::abort();
  }
  sessionDelegate_ = std::make_shared<SessionDelegate>();
  session_ = URLSession::make(sessionConfiguration_, sessionDelegate_);
}

void ImageDownloader::finishSetUp() {
  setAuthenticationChallengeResponder(shared_from_this());
  setupSessionHandler(sessionDelegate());
}

const std::shared_ptr<ImageDownloader>& ImageDownloader::default_() {
  static const auto* shared = new std::shared_ptr<ImageDownloader>(make("default"));
  return *shared;
}

ImageDownloader::~ImageDownloader() {
  // Nothing bound to this downloader can answer its callers once it is gone, so they are answered from
  // here; the session's own end of their transfers then finds no record left.
  for (const auto& [record, callbacks] : sessionDelegate_->detachAll()) {
    const std::string url = record->originalURL().value_or("");
    for (const auto& callback : callbacks) answer(callback, DownloadResult::failure(cancelledBySession(url)));
  }
  session_->invalidateAndCancel();
}

void ImageDownloader::setNetworkConstrainedForTesting(bool constrained) { URLSession::setNetworkConstrained(constrained); }

double ImageDownloader::downloadTimeout() const {
  std::lock_guard lock(propertyLock_);
  return downloadTimeout_;
}
void ImageDownloader::setDownloadTimeout(double seconds) {
  std::lock_guard lock(propertyLock_);
  downloadTimeout_ = seconds;
}
std::optional<std::set<std::string>> ImageDownloader::trustedHosts() const {
  std::lock_guard lock(propertyLock_);
  return trustedHosts_;
}
void ImageDownloader::setTrustedHosts(std::optional<std::set<std::string>> hosts) {
  std::lock_guard lock(propertyLock_);
  trustedHosts_ = std::move(hosts);
}
bool ImageDownloader::requestsUsePipelining() const {
  std::lock_guard lock(propertyLock_);
  return requestsUsePipelining_;
}
void ImageDownloader::setRequestsUsePipelining(bool use) {
  std::lock_guard lock(propertyLock_);
  requestsUsePipelining_ = use;
}
std::shared_ptr<ImageDownloaderDelegate> ImageDownloader::delegate() const {
  std::lock_guard lock(propertyLock_);
  return delegate_.lock();
}
void ImageDownloader::setDelegate(const std::shared_ptr<ImageDownloaderDelegate>& delegate) {
  std::lock_guard lock(propertyLock_);
  delegate_ = delegate;
}
std::shared_ptr<AuthenticationChallengeResponsible> ImageDownloader::authenticationChallengeResponder() const {
  std::lock_guard lock(propertyLock_);
  return authenticationChallengeResponder_.lock();
}
void ImageDownloader::setAuthenticationChallengeResponder(
    const std::shared_ptr<AuthenticationChallengeResponsible>& responder) {
  std::lock_guard lock(propertyLock_);
  authenticationChallengeResponder_ = responder;
}

SessionConfiguration ImageDownloader::sessionConfiguration() const {
  std::lock_guard lock(propertyLock_);
  return sessionConfiguration_;
}

void ImageDownloader::setSessionConfiguration(const SessionConfiguration& configuration) {
  replaceSession(configuration, nullptr);
}

std::shared_ptr<SessionDelegate> ImageDownloader::sessionDelegate() const {
  std::lock_guard lock(propertyLock_);
  return sessionDelegate_;
}

void ImageDownloader::setSessionDelegate(std::shared_ptr<SessionDelegate> delegate) {
  // Bound before the delegate is published: no transfer may meet its empty slots.
  setupSessionHandler(delegate);
  replaceSession(std::nullopt, std::move(delegate));
}

void ImageDownloader::replaceSession(std::optional<SessionConfiguration> configuration,
                                     std::shared_ptr<SessionDelegate> delegate) {
  std::shared_ptr<URLSession> old;
  std::vector<std::pair<std::shared_ptr<SessionDataTask>, std::vector<SessionDataTask::TaskCallback>>> ended;
  {
    // Under the lock that joining and starting take: a caller either joined before (and is among the
    // ended) or comes after and starts a transfer of the new session.
    std::lock_guard lock(lock_);
    std::shared_ptr<SessionDelegate> oldDelegate;
    {
      std::lock_guard properties(propertyLock_);
      if (configuration) sessionConfiguration_ = *configuration;
      oldDelegate = sessionDelegate_;
      if (delegate) sessionDelegate_ = std::move(delegate);
      old = std::exchange(session_, URLSession::make(sessionConfiguration_, sessionDelegate_));
    }
    ended = oldDelegate->detachAll();
  }
  old->invalidateAndCancel();
  for (const auto& [record, callbacks] : ended) {
    // None left: the transfer's own end or its last cancel got there first and answered them.
    if (callbacks.empty()) continue;
    record->callOnTaskDone(SessionDataTask::TaskResult::failure(sessionCancelled(record->originalURL().value_or(""))),
                           callbacks);
  }
}

void ImageDownloader::setupSessionHandler(const std::shared_ptr<SessionDelegate>& delegate) {
  auto self = shared_from_this();
  // Each handler reads the delegate and the responder afresh: one set later applies to running downloads.
  delegate->onReceiveSessionChallenge.delegate(
      self, [](ImageDownloader& d, std::pair<URLAuthenticationChallenge, SessionDelegate::Answer<ChallengeAnswer>> in)
                -> std::optional<bool> {
        auto responder = d.authenticationChallengeResponder();
        AuthenticationChallengeResponsible& target = responder ? *responder : d;
        target.didReceiveChallenge(d, in.first, std::move(in.second));
        return true;
      });
  delegate->onReceiveSessionTaskChallenge.delegate(
      self, [](ImageDownloader& d,
               std::tuple<std::shared_ptr<URLSessionDataTask>, URLAuthenticationChallenge, SessionDelegate::Answer<ChallengeAnswer>> in)
                -> std::optional<bool> {
        auto responder = d.authenticationChallengeResponder();
        AuthenticationChallengeResponsible& target = responder ? *responder : d;
        target.didReceiveTaskChallenge(d, *std::get<0>(in), std::get<1>(in), std::move(std::get<2>(in)));
        return true;
      });
  delegate->onValidStatusCode.delegate(self, [](ImageDownloader& d, int code) -> std::optional<bool> {
    auto target = d.delegate();
    return target ? target->isValidStatusCode(code, d) : d.isValidStatusCode(code, d);
  });
  delegate->onResponseReceived.delegate(
      self, [](ImageDownloader& d, std::pair<httpkit::HTTPURLResponse, SessionDelegate::Answer<ResponseDisposition>> in)
                -> std::optional<bool> {
        auto target = d.delegate();
        ImageDownloaderDelegate& answerer = target ? *target : d;
        answerer.didReceiveResponse(d, in.first, std::move(in.second));
        return true;
      });
  delegate->onDidDownloadData.delegate(
      self, [](ImageDownloader& d, std::shared_ptr<SessionDataTask> record) -> std::optional<foundation::SharedBytes> {
        auto target = d.delegate();
        ImageDownloaderDelegate& answerer = target ? *target : d;
        return answerer.didDownloadData(d, record->receivedData(), *record);
      });
}

namespace {
// The request as the modifier left it, checked, with the options it was made for.
void finishContext(const VellumParsedOptionsInfo& options, const std::function<void(ImageDownloader::ContextResult)>& done,
                   std::optional<httpkit::URLRequest> modified) {
  using ContextResult = ImageDownloader::ContextResult;
  if (!modified) return done(ContextResult::failure(VellumError::requestError(VellumError::RequestErrorReason::EmptyRequest{})));
  if (modified->url.empty() || !httpkit::parseURL(modified->url)) {
    return done(ContextResult::failure(VellumError::requestError(VellumError::RequestErrorReason::InvalidURL{*modified})));
  }
  std::string finalURL = modified->url;
  done(ContextResult::success(ImageDownloader::DownloadingContext{std::move(finalURL), std::move(*modified), options}));
}
}  // namespace

void ImageDownloader::createDownloadContext(const std::string& url, const VellumParsedOptionsInfo& options,
                                            std::function<void(ContextResult)> done) {
  httpkit::URLRequest request{url, httpkit::HTTPMethod::get, {}, std::nullopt};
  request.cachePolicy = httpkit::URLRequestCachePolicy::reloadIgnoringLocalCacheData;
  request.timeoutInterval = downloadTimeout();
  request.httpShouldUsePipelining = requestsUsePipelining();
  if (options.lowDataModeSource) request.allowsConstrainedNetworkAccess = false;

  const auto& modifier = options.requestModifier;
  // Answered before this returns, the options and `done` are used where they are; only a modifier that
  // answers later needs copies of its own.
  if (!modifier) return finishContext(options, done, std::move(request));
  // A modifier that throws has given no request: the download stops with `emptyRequest`.
  if (auto* sync = dynamic_cast<ImageDownloadRequestModifier*>(modifier.get())) {
    std::optional<httpkit::URLRequest> modified;
    callGuarded("A request modifier", [&] { modified = sync->modifiedSync(std::move(request)); });
    return finishContext(options, done, std::move(modified));
  }
  // A modifier that answers twice would attach its caller twice. One that lets go of its completion without
  // answering has given no request: its caller is told so when the last copy goes, instead of never.
  AsyncImageDownloadRequestModifier::Completion completion = answerOnceOrWhenDropped<std::optional<httpkit::URLRequest>>(
      [options, done = std::move(done)](std::optional<httpkit::URLRequest> modified) {
        finishContext(options, done, std::move(modified));
      },
      std::nullopt);
  boost::asio::post(foundation::ThreadPool::shared(), [modifier, request = std::move(request), completion]() mutable {
    if (!callGuarded("A request modifier", [&] { modifier->modified(std::move(request), completion); })) {
      completion(std::nullopt);
    }
  });
}

void ImageDownloader::bindCompletion(SessionDataTask& record, const DownloadingContext& context) {
  std::weak_ptr<ImageDownloader> weak = weak_from_this();
  std::weak_ptr<SessionDataTask> weakRecord = record.weak_from_this();
  // Shared, not held by value: the record copies its completion each time it ends a caller, and a context
  // (its request and options) is costly to copy.
  auto shared = std::make_shared<const DownloadingContext>(context);
  record.setOnTaskDone([weak, shared = std::move(shared), weakRecord](const SessionDataTask::TaskResult& result,
                                                                      const std::vector<SessionDataTask::TaskCallback>& callbacks) {
    taskDone(weak, *shared, weakRecord, result, callbacks);
  });
}

std::shared_ptr<DownloadTask> ImageDownloader::addDownloadTask(const DownloadingContext& context,
                                                               SessionDataTask::TaskCallback callback) {
  std::lock_guard lock(lock_);
  std::shared_ptr<SessionDelegate> delegate;
  std::shared_ptr<URLSession> session;
  {
    std::lock_guard properties(propertyLock_);
    delegate = sessionDelegate_;
    session = session_;
  }
  if (auto record = delegate->task(context.url)) {
    if (auto joined = delegate->append(record, callback)) return joined;
  }
  // The completion is bound before the record is filed: whoever ends it first (its transfer, a cancel, the
  // session's replacement) finds it bound.
  return delegate->add(session->dataTask(context.request), context.url, std::move(callback),
                       [this, &context](SessionDataTask& record) { bindCompletion(record, context); });
}

std::shared_ptr<DownloadTask> ImageDownloader::startDownloadTask(
    const DownloadingContext& context, SessionDataTask::TaskCallback callback,
    std::function<void(const std::shared_ptr<DownloadTask>&)> beforeResume) {
  auto downloadTask = addDownloadTask(context, std::move(callback));
  auto record = downloadTask->sessionTask();
  if (beforeResume) beforeResume(downloadTask);
  if (!record || record->started()) return downloadTask;
  // Only told: a delegate that throws here changes nothing of the download.
  if (auto target = delegate()) {
    callGuarded("The downloader delegate's willDownloadImage",
                [&] { target->willDownloadImage(*this, context.url, context.request); });
  }
  record->resume();
  return downloadTask;
}

void ImageDownloader::reportDidDownloadImageData(const std::string& url,
                                                 const std::optional<httpkit::HTTPURLResponse>& response,
                                                 const VellumError* error) {
  if (auto target = delegate()) target->didFinishDownloadingImage(*this, url, response, error);
}

void ImageDownloader::taskDone(const std::weak_ptr<ImageDownloader>& weak, const DownloadingContext& context,
                               const std::weak_ptr<SessionDataTask>& weakRecord, const SessionDataTask::TaskResult& result,
                               const std::vector<SessionDataTask::TaskCallback>& callbacks) {
  auto self = weak.lock();
  if (!self) {
    for (const auto& callback : callbacks) answer(callback, DownloadResult::failure(cancelledBySession(context.url)));
    return;
  }
  // The report only tells: what it throws keeps no caller from its answer.
  if (!result) {
    callGuarded("The finished-download report", [&] { self->reportDidDownloadImageData(context.url, std::nullopt, &result.error()); });
    for (const auto& callback : callbacks) answer(callback, DownloadResult::failure(result.error()));
    return;
  }
  const auto& downloaded = result.value();
  callGuarded("The finished-download report", [&] { self->reportDidDownloadImageData(context.url, downloaded.response, nullptr); });
  // Bytes handed over as they came need no turn of the shared processing queue, where they would wait behind
  // every image being decoded in the process and cost each download one more hand-over between threads.
  const CallbackQueue queue = !context.options.processingQueue && makesNoImage(callbacks)
                                  ? CallbackQueue::untouch()
                                  : context.options.processingQueue.value_or(ImageDataProcessor::sharedProcessingQueue());
  auto processor = std::make_shared<ImageDataProcessor>(downloaded.data, callbacks, queue);
  // Read while the session still holds the record: afterwards only the callers' handles may keep it.
  std::optional<NetworkMetrics> metrics;
  if (auto record = weakRecord.lock()) metrics = record->metrics();
  auto stores = std::make_shared<TransferStoreLedger>();
  processor->setOnImageProcessed([weak, url = context.url, metrics, stores, data = downloaded.data, response = downloaded.response](
                                     const ImageDataProcessor::Outcome& outcome, const SessionDataTask::TaskCallback& callback) {
    auto self = weak.lock();
    if (!self) return answer(callback, DownloadResult::failure(cancelledBySession(url)));
    if (!outcome) return answer(callback, DownloadResult::failure(outcome.error()));
    if (auto target = self->delegate()) {
      callGuarded("The downloader delegate's didDownloadImage",
                  [&] { target->didDownloadImage(*self, outcome.value(), url, response); });
    }
    answer(callback, DownloadResult::success(ImageLoadingResult{outcome.value(), url, data, metrics, stores}));
  });
  processor->process();
}

SessionDataTask::TaskCallback ImageDownloader::createTaskCallback(Completion completion,
                                                                  const VellumParsedOptionsInfo& options) {
  // The caller's completion is not bound to the downloader: callers are answered even after it has gone.
  return {completion ? std::make_shared<const Completion>(std::move(completion)) : nullptr, options};
}

std::shared_ptr<DownloadTask> ImageDownloader::downloadImage(const std::string& url, const VellumParsedOptionsInfo& options,
                                                             Completion completion) {
  auto downloadTask = std::make_shared<DownloadTask>();
  // While an asynchronous modifier has not answered there is no transfer to cancel, and the modifier is the
  // application's code: it may never answer. A cancel meanwhile answers the caller at once, and whatever the
  // modifier answers afterwards starts nothing. The handle stands on this until the transfer replaces it.
  std::shared_ptr<std::atomic<bool>> pending;  // only while a modifier may answer late
  if (options.requestModifier && !dynamic_cast<ImageDownloadRequestModifier*>(options.requestModifier.get())) {
    pending = std::make_shared<std::atomic<bool>>(true);
    auto state = std::make_shared<foundation::Cancellable::State>();
    state->onCancel = [pending, completion, options] {
      if (!pending->exchange(false) || !completion) return;
      options.callbackQueue.deliver(completion, DownloadResult::failure(VellumError::requestError(
                                                    VellumError::RequestErrorReason::TaskCancelled{nullptr, 0})));
    };
    downloadTask->setLinkedTask(std::make_shared<DownloadTask>(foundation::Cancellable(std::move(state))));
  }
  const bool waitsForModifier = pending != nullptr;
  // The context carries the options it was made with (these); only the queue that answers a failure is kept
  // here, and the completion moves on to the transfer's callback: each costs a copy per download.
  createDownloadContext(url, options, [self = shared_from_this(), completion, callbackQueue = options.callbackQueue,
                                       downloadTask, pending, waitsForModifier](ContextResult context) mutable {
    // Answered already: cancelled while the modifier took its time.
    if (waitsForModifier && !pending->exchange(false)) return;
    if (!context) {
      if (completion) callbackQueue.deliver(completion, DownloadResult::failure(std::move(context.error())));
      return;
    }
    const VellumParsedOptionsInfo& options = context.value().options;
    auto callback = self->createTaskCallback(std::move(completion), options);
    if (!options.requestModifier) {
      downloadTask->setLinkedTask(self->startDownloadTask(context.value(), std::move(callback), nullptr));
      return;
    }
    AsyncImageDownloadRequestModifier::TaskStarted started;
    callGuarded("A request modifier's onDownloadTaskStarted", [&] { started = options.requestModifier->onDownloadTaskStarted(); });
    self->startDownloadTask(context.value(), std::move(callback), [downloadTask, started](const std::shared_ptr<DownloadTask>& actual) {
      downloadTask->setLinkedTask(actual);
      // The caller's own code: one that throws here leaves the transfer, cancelled, and the others go on.
      if (started && !callGuarded("A request modifier's onDownloadTaskStarted", [&] { started(downloadTask); })) {
        downloadTask->cancel();
      }
    });
  });
  return downloadTask;
}

namespace {
VellumParsedOptionsInfo withProgress(const std::optional<VellumOptionsInfo>& items, ImageDownloader::ProgressBlock block) {
  VellumParsedOptionsInfo options(items);
  if (block) {
    if (!options.onDataReceived) options.onDataReceived.emplace();
    options.onDataReceived->push_back(std::make_shared<ImageLoadingProgressSideEffect>(std::move(block)));
  }
  return options;
}
}  // namespace

std::shared_ptr<DownloadTask> ImageDownloader::downloadImage(const std::string& url,
                                                             const std::optional<VellumOptionsInfo>& options,
                                                             ProgressBlock progressBlock, Completion completion) {
  return downloadImage(url, withProgress(options, std::move(progressBlock)), std::move(completion));
}

std::future<ImageLoadingResult> ImageDownloader::downloadImageAsync(const std::string& url,
                                                                    const VellumParsedOptionsInfo& options,
                                                                    std::stop_token stop) {
  return awaitDownload<ImageLoadingResult>(
      [&](Completion completion) { return downloadImage(url, answeredOffTheMainQueue(options), std::move(completion)); },
      stop);
}

std::future<ImageLoadingResult> ImageDownloader::downloadImageAsync(const std::string& url,
                                                                    const std::optional<VellumOptionsInfo>& options,
                                                                    ProgressBlock progressBlock, std::stop_token stop) {
  return downloadImageAsync(url, withProgress(options, std::move(progressBlock)), std::move(stop));
}

std::shared_ptr<DownloadTask> ImageDownloader::downloadLivePhotoResource(
    const std::string& url, const VellumParsedOptionsInfo& options, std::function<void(const LivePhotoResult&)> completion) {
  VellumParsedOptionsInfo raw = options;
  // The caller's processor is its code, down to its identifier: one that throws is not the live-photo one.
  bool livePhoto = false;
  if (raw.processor) {
    callGuarded("A processor's identifier",
                [&] { livePhoto = raw.processor->identifier() == LivePhotoImageProcessor::kIdentifier; });
  }
  if (!livePhoto) raw.processor = LivePhotoImageProcessor::shared();
  Completion converted;
  if (completion) {
    converted = [completion](const DownloadResult& result) {
      if (!result) return completion(LivePhotoResult::failure(result.error()));
      completion(LivePhotoResult::success({result.value().url, result.value().originalData}));
    };
  }
  return downloadImage(url, raw, std::move(converted));
}

std::future<LivePhotoResourceDownloadingResult> ImageDownloader::downloadLivePhotoResourceAsync(
    const std::string& url, const VellumParsedOptionsInfo& options, std::stop_token stop) {
  return awaitDownload<LivePhotoResourceDownloadingResult>(
      [&](std::function<void(const LivePhotoResult&)> completion) {
        return downloadLivePhotoResource(url, answeredOffTheMainQueue(options), std::move(completion));
      },
      stop);
}

void ImageDownloader::cancelAll() { sessionDelegate()->cancelAll(); }
void ImageDownloader::cancel(const std::string& url) { sessionDelegate()->cancel(url); }

}  // namespace vellum
