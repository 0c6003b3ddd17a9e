#include "vellum/networking/image_downloader.hpp"

#include <cstdio>
#include <cstdlib>

#include <boost/asio/post.hpp>

#include "foundation/thread_pool.hpp"
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

VellumError cancelledBySession(const std::string& url) {
  return VellumError::responseError(VellumError::ResponseErrorReason::URLSessionError{
      std::make_exception_ptr(httpkit::URLError(httpkit::URLError::Code::cancelled, "the downloader went away", url))});
}

void answer(const SessionDataTask::TaskCallback& callback, ImageDownloader::DownloadResult result) {
  if (!callback.onCompleted) return;
  callback.options.callbackQueue.deliver(*callback.onCompleted, std::move(result));
}

// Meets a completion and a stop request that may come in either order; the future gets one value.
template <class T, class Start>
std::future<T> awaitDownload(Start start, const std::stop_token& stop) {
  auto promise = std::make_shared<std::promise<T>>();
  auto future = promise->get_future();
  auto holder = std::make_shared<CancellationDownloadTask>();
  auto onStop = std::make_shared<std::optional<std::stop_callback<std::function<void()>>>>();
  onStop->emplace(stop, std::function<void()>([holder] { holder->cancel(); }));
  auto task = start([promise, onStop](const foundation::Result<T, VellumError>& result) {
    settlePromise(*promise, foundation::Result<T, VellumError>(result));
  });
  if (stop.stop_requested()) {
    task->cancel();
  } else {
    holder->setTask(task);
  }
  return future;
}

}  // namespace

std::optional<foundation::Bytes> ImageDownloaderDelegate::didDownloadData(ImageDownloader& downloader,
                                                                          foundation::Bytes data,
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
  if (name.empty()) {
    std::fprintf(stderr, "%s\n", kEmptyNameMessage);
    std::abort();
  }
  std::shared_ptr<ImageDownloader> downloader(new ImageDownloader(std::move(name)));
  downloader->setupSessionHandler(downloader->sessionDelegate_);
  return downloader;
}

ImageDownloader::ImageDownloader(std::string name)
    : name_(std::move(name)), sessionDelegate_(std::make_shared<SessionDelegate>()) {
  session_ = URLSession::make(sessionConfiguration_, sessionDelegate_);
}

const std::shared_ptr<ImageDownloader>& ImageDownloader::default_() {
  static const auto* shared = new std::shared_ptr<ImageDownloader>(make("default"));
  return *shared;
}

ImageDownloader::~ImageDownloader() {
  // Callers still attached are answered from this snapshot: nothing bound to this downloader can answer
  // them once it is gone. Marking each record completed first means the session's own end of it finds no
  // one left to tell.
  for (const auto& record : sessionDelegate_->tasks()) {
    const std::string url = record->originalURL().value_or("");
    for (const auto& callback : record->markCompleted()) answer(callback, DownloadResult::failure(cancelledBySession(url)));
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
  std::shared_ptr<URLSession> old;
  {
    std::lock_guard lock(propertyLock_);
    sessionConfiguration_ = configuration;
    old = std::exchange(session_, URLSession::make(configuration, sessionDelegate_));
  }
  old->invalidateAndCancel();
}

std::shared_ptr<SessionDelegate> ImageDownloader::sessionDelegate() const {
  std::lock_guard lock(propertyLock_);
  return sessionDelegate_;
}

void ImageDownloader::setSessionDelegate(std::shared_ptr<SessionDelegate> delegate) {
  std::shared_ptr<URLSession> old;
  {
    std::lock_guard lock(propertyLock_);
    sessionDelegate_ = delegate;
    old = std::exchange(session_, URLSession::make(sessionConfiguration_, delegate));
  }
  old->invalidateAndCancel();
  setupSessionHandler(delegate);
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
      self, [](ImageDownloader& d, std::shared_ptr<SessionDataTask> record) -> std::optional<foundation::Bytes> {
        auto target = d.delegate();
        ImageDownloaderDelegate& answerer = target ? *target : d;
        return answerer.didDownloadData(d, record->mutableData(), *record);
      });
}

void ImageDownloader::createDownloadContext(const std::string& url, const VellumParsedOptionsInfo& options,
                                            std::function<void(foundation::Result<Context, VellumError>)> done) {
  httpkit::URLRequest request{url, httpkit::HTTPMethod::get, {}, std::nullopt};
  request.cachePolicy = httpkit::URLRequestCachePolicy::reloadIgnoringLocalCacheData;
  request.timeoutInterval = downloadTimeout();
  request.httpShouldUsePipelining = requestsUsePipelining();
  if (options.lowDataModeSource) request.allowsConstrainedNetworkAccess = false;

  auto finish = [options, done](std::optional<httpkit::URLRequest> modified) {
    using Outcome = foundation::Result<Context, VellumError>;
    if (!modified) return done(Outcome::failure(VellumError::requestError(VellumError::RequestErrorReason::EmptyRequest{})));
    if (modified->url.empty() || !httpkit::parseURL(modified->url)) {
      return done(Outcome::failure(VellumError::requestError(VellumError::RequestErrorReason::InvalidURL{*modified})));
    }
    std::string finalURL = modified->url;
    done(Outcome::success(Context{std::move(finalURL), std::move(*modified), options}));
  };
  const auto& modifier = options.requestModifier;
  if (!modifier) return finish(std::move(request));
  if (auto* sync = dynamic_cast<ImageDownloadRequestModifier*>(modifier.get())) {
    return finish(sync->modifiedSync(std::move(request)));
  }
  boost::asio::post(foundation::ThreadPool::shared(), [modifier, request = std::move(request), finish]() mutable {
    modifier->modified(std::move(request), finish);
  });
}

std::shared_ptr<DownloadTask> ImageDownloader::addDownloadTask(const Context& context,
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
  return delegate->add(session->dataTask(context.request), context.url, std::move(callback));
}

std::shared_ptr<DownloadTask> ImageDownloader::startDownloadTask(
    const Context& context, SessionDataTask::TaskCallback callback,
    std::function<void(const std::shared_ptr<DownloadTask>&)> beforeResume) {
  auto downloadTask = addDownloadTask(context, std::move(callback));
  auto record = downloadTask->sessionTask();
  if (!record || record->started()) {
    if (beforeResume) beforeResume(downloadTask);
    return downloadTask;
  }
  std::weak_ptr<ImageDownloader> weak = weak_from_this();
  std::weak_ptr<SessionDataTask> weakRecord = record;
  record->setOnTaskDone([weak, context, weakRecord](const SessionDataTask::TaskResult& result,
                                                    const std::vector<SessionDataTask::TaskCallback>& callbacks) {
    taskDone(weak, context, weakRecord, result, callbacks);
  });
  if (beforeResume) beforeResume(downloadTask);
  if (auto target = delegate()) target->willDownloadImage(*this, context.url, context.request);
  record->resume();
  return downloadTask;
}

void ImageDownloader::taskDone(const std::weak_ptr<ImageDownloader>& weak, const Context& context,
                               const std::weak_ptr<SessionDataTask>& weakRecord, const SessionDataTask::TaskResult& result,
                               const std::vector<SessionDataTask::TaskCallback>& callbacks) {
  auto self = weak.lock();
  if (!self) {
    for (const auto& callback : callbacks) answer(callback, DownloadResult::failure(cancelledBySession(context.url)));
    return;
  }
  if (auto target = self->delegate()) {
    if (result) {
      target->didFinishDownloadingImage(*self, context.url, result.value().response, nullptr);
    } else {
      target->didFinishDownloadingImage(*self, context.url, std::nullopt, &result.error());
    }
  }
  if (!result) {
    for (const auto& callback : callbacks) answer(callback, DownloadResult::failure(result.error()));
    return;
  }
  const auto& downloaded = result.value();
  const CallbackQueue queue = context.options.processingQueue.value_or(ImageDataProcessor::sharedProcessingQueue());
  auto processor = std::make_shared<ImageDataProcessor>(downloaded.data, callbacks, queue);
  // Read while the session still holds the record: afterwards only the callers' handles may keep it.
  std::optional<NetworkMetrics> metrics;
  if (auto record = weakRecord.lock()) metrics = record->metrics();
  processor->setOnImageProcessed([weak, context, metrics, data = downloaded.data, response = downloaded.response](
                                     const ImageDataProcessor::Outcome& outcome, const SessionDataTask::TaskCallback& callback) {
    auto self = weak.lock();
    if (!self) return answer(callback, DownloadResult::failure(cancelledBySession(context.url)));
    if (!outcome) return answer(callback, DownloadResult::failure(outcome.error()));
    if (auto target = self->delegate()) target->didDownloadImage(*self, outcome.value(), context.url, response);
    answer(callback, DownloadResult::success(ImageLoadingResult{outcome.value(), context.url, data, metrics}));
  });
  processor->process();
}

std::shared_ptr<DownloadTask> ImageDownloader::downloadImage(const std::string& url, const VellumParsedOptionsInfo& options,
                                                             Completion completion) {
  auto downloadTask = std::make_shared<DownloadTask>();
  createDownloadContext(url, options, [self = shared_from_this(), completion, options, downloadTask](
                                          foundation::Result<Context, VellumError> context) {
    if (!context) {
      if (completion) {
        options.callbackQueue.deliver(completion, DownloadResult::failure(std::move(context.error())));
      }
      return;
    }
    // The caller's completion is not bound to the downloader: callers are answered even after it has gone.
    SessionDataTask::TaskCallback callback{completion ? std::make_shared<const Completion>(completion) : nullptr, options};
    if (!options.requestModifier) {
      downloadTask->setLinkedTask(self->startDownloadTask(context.value(), std::move(callback), nullptr));
      return;
    }
    auto started = options.requestModifier->onDownloadTaskStarted();
    self->startDownloadTask(context.value(), std::move(callback), [downloadTask, started](const std::shared_ptr<DownloadTask>& actual) {
      downloadTask->setLinkedTask(actual);
      if (started) started(downloadTask);
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
      [&](Completion completion) { return downloadImage(url, options, std::move(completion)); }, stop);
}

std::future<ImageLoadingResult> ImageDownloader::downloadImageAsync(const std::string& url,
                                                                    const std::optional<VellumOptionsInfo>& options,
                                                                    ProgressBlock progressBlock, std::stop_token stop) {
  return downloadImageAsync(url, withProgress(options, std::move(progressBlock)), std::move(stop));
}

std::shared_ptr<DownloadTask> ImageDownloader::downloadLivePhotoResource(
    const std::string& url, const VellumParsedOptionsInfo& options, std::function<void(const LivePhotoResult&)> completion) {
  VellumParsedOptionsInfo raw = options;
  if (!raw.processor || raw.processor->identifier() != LivePhotoImageProcessor::kIdentifier) {
    raw.processor = LivePhotoImageProcessor::shared();
  }
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
        return downloadLivePhotoResource(url, options, std::move(completion));
      },
      stop);
}

void ImageDownloader::cancelAll() { sessionDelegate()->cancelAll(); }
void ImageDownloader::cancel(const std::string& url) { sessionDelegate()->cancel(url); }

}  // namespace vellum
