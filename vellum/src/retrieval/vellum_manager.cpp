#include "vellum/retrieval/vellum_manager.hpp"

#include <algorithm>
#include <stop_token>

#include <boost/asio/post.hpp>

#include "foundation/thread_pool.hpp"
#include "general/guarded_call.hpp"
#include "general/settle_promise.hpp"
#include "image/guarded_processing.hpp"
#include "networking/answer_once.hpp"
#include "vellum/networking/image_data_processor.hpp"
#include "vellum/image/image_progressive_provider.hpp"
#include "vellum/networking/request_modifier.hpp"
#include "vellum/sources/resource.hpp"

namespace vellum {

namespace {

using RetrieveResult = VellumManager::RetrieveResult;

VellumError cancelledError() {
  return VellumError::requestError(VellumError::RequestErrorReason::TaskCancelled{nullptr, 0});
}

// The answer to a retrieval whose checker says its request is no longer wanted.
VellumError notWantedError(const Source& source) {
  return VellumError::imageSettingError(
      VellumError::ImageSettingErrorReason::NotCurrentSourceTask{nullptr, nullptr, std::make_shared<const Source>(source)});
}

const VellumOptionsInfo& noOptions() {
  static const auto* const none = new VellumOptionsInfo();  // never destroyed: read by threads still running at exit
  return *none;
}

// A checker that throws cannot say the request is wanted: it is answered as one that is not.
bool stillWanted(const VellumParsedOptionsInfo& options) {
  if (!options.sourceTaskIdentifierChecker) return true;
  bool wanted = false;
  callGuarded("A source task checker", [&] { wanted = options.sourceTaskIdentifierChecker(); });
  return wanted;
}

// Errors after which nothing more is tried: the caller left, or no longer wants the image.
bool endsRetrieval(const VellumError& error) {
  if (error.isTaskCancelled()) return true;
  if (const auto* setting = error.imageSettingReason()) {
    return std::holds_alternative<VellumError::ImageSettingErrorReason::NotCurrentSourceTask>(setting->value);
  }
  const auto* reason = error.requestReason();
  return reason && (std::holds_alternative<VellumError::RequestErrorReason::DataProviderCancelled>(reason->value) ||
                    std::holds_alternative<VellumError::RequestErrorReason::LivePhotoTaskCancelled>(reason->value));
}

std::string processorIdentifier(const VellumParsedOptionsInfo& options) {
  return options.processor ? options.processor->identifier() : std::string();
}

// The identifier names the cache entries of what a processor makes, and is the application's code: through a
// processor whose identifier throws there is no entry to look in or to store to. Such a retrieval fails as
// processing fails, before a cache or the network is asked. None for a processor that names itself.
std::optional<VellumError> unnamedProcessorError(const VellumParsedOptionsInfo& options) {
  if (!options.processor) return std::nullopt;
  if (callGuarded("A processor's identifier", [&] { (void)options.processor->identifier(); })) return std::nullopt;
  return VellumError::processorError(VellumError::ProcessorErrorReason::ProcessingFailed::of(
      options.processor, ImageProcessItem::data(foundation::Bytes())));
}

ImagePtr modified(const VellumParsedOptionsInfo& options, ImagePtr image) {
  if (!options.imageModifier || !image) return image;
  // The stored image is right; one the modifier threw on is handed to the caller as it is.
  ImagePtr changed;
  if (!callGuarded("An image modifier", [&] { changed = options.imageModifier->modify(image); })) return image;
  return changed;
}

// The options' processor over `item`; a processor that throws or gives nothing fails the same way.
foundation::Result<ImagePtr, VellumError> runProcessor(const ImageProcessItem& item, const VellumParsedOptionsInfo& options) {
  ImagePtr image = processGuarded(item, options);
  if (image) return foundation::Result<ImagePtr, VellumError>::success(std::move(image));
  return foundation::Result<ImagePtr, VellumError>::failure(
      VellumError::processorError(VellumError::ProcessorErrorReason::ProcessingFailed::of(options.processor, item)));
}

// A key that names `cache` too, for bookkeeping that spans caches.
std::string scopedKey(const ImageCache& cache, const std::string& key) {
  return std::to_string(reinterpret_cast<std::uintptr_t>(&cache)) + "\n" + key;
}

CallbackQueue processingQueue(const VellumParsedOptionsInfo& options) {
  return options.processingQueue.value_or(ImageDataProcessor::sharedProcessingQueue());
}

// The caller's completion, run here and now: what it throws is logged and stays with it.
void complete(const VellumManager::Completion& completion, const RetrieveResult& result) {
  if (completion) callGuarded("A retrieval's completion", [&] { completion(result); });
}

// Tells the caller of a new attempt's task; only told, so what it throws changes nothing of the retrieval.
void reportTask(const VellumManager::DownloadTaskUpdated& report, const std::shared_ptr<DownloadTask>& task) {
  if (task && report) callGuarded("A download task report", [&] { report(task); });
}

// Taken by reference: the forms below hand their own value on without another move of it.
void answer(const CallbackQueue& queue, const VellumManager::Completion& completion, RetrieveResult&& result) {
  if (!completion) return;
  // The caller holds the completion through the call, so an answer given at once needs no copy of it.
  if (queue.runsAtOnce()) return complete(completion, result);
  queue.deliver(completion, std::move(result));
}

void answer(const VellumParsedOptionsInfo& options, const VellumManager::Completion& completion, RetrieveResult result) {
  answer(options.callbackQueue, completion, std::move(result));
}

// What a cancel answers in place of a wait on the cache or on processing.
std::function<void()> cancelAnswer(const VellumParsedOptionsInfo& options, const VellumManager::Completion& completion) {
  // Only the queue is kept: a wait is set up on every disk look-up, and the options are many.
  return [queue = options.callbackQueue, completion] {
    answer(queue, completion, RetrieveResult::failure(cancelledError()));
  };
}

// Reports each DownloadTask the download makes, then whatever the caller's modifier reported. A modifier
// that answers at once keeps answering at once (the downloader then stays on the caller's thread).
// `modifiedSync` overrides only in the synchronous instantiation, so it cannot carry `override` in both.
#if defined(__clang__)
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Winconsistent-missing-override"
#endif
template <class Base>
class ReportingModifier final : public Base {
 public:
  using Report = std::function<void(std::shared_ptr<DownloadTask>)>;
  ReportingModifier(std::shared_ptr<AsyncImageDownloadRequestModifier> inner, Report report)
      : inner_(std::move(inner)), report_(std::move(report)) {}
  std::optional<httpkit::URLRequest> modifiedSync(httpkit::URLRequest request) {
    auto* sync = dynamic_cast<ImageDownloadRequestModifier*>(inner_.get());
    return sync ? sync->modifiedSync(std::move(request)) : std::optional<httpkit::URLRequest>(std::move(request));
  }
  void modified(httpkit::URLRequest request, AsyncImageDownloadRequestModifier::Completion completion) override {
    if (!inner_) return completion(std::move(request));
    inner_->modified(std::move(request), std::move(completion));
  }
  AsyncImageDownloadRequestModifier::TaskStarted onDownloadTaskStarted() const override {
    auto innerStarted = inner_ ? inner_->onDownloadTaskStarted() : nullptr;
    return [report = report_, innerStarted](const std::shared_ptr<DownloadTask>& task) {
      if (report) report(task);
      if (innerStarted) innerStarted(task);
    };
  }

 private:
  std::shared_ptr<AsyncImageDownloadRequestModifier> inner_;
  Report report_;
};
#if defined(__clang__)
#pragma clang diagnostic pop
#endif

}  // namespace

// ---- context ----

namespace {

// The options apart from their alternative sources. Every attempt copies the options it works with: carrying
// the list along, a retrieval of N alternatives would copy it N times over.
std::pair<VellumParsedOptionsInfo, std::optional<std::vector<std::shared_ptr<const Source>>>> splitAlternatives(
    VellumParsedOptionsInfo options) {
  auto alternatives = std::exchange(options.alternativeSources, std::nullopt);
  return {std::move(options), std::move(alternatives)};
}

}  // namespace

RetrievingContext::RetrievingContext(VellumParsedOptionsInfo options, Source originalSource)
    : RetrievingContext(splitAlternatives(std::move(options)), std::move(originalSource)) {}

RetrievingContext::RetrievingContext(std::pair<VellumParsedOptionsInfo, Alternatives> split, Source originalSource)
    : options(std::move(split.first)), originalSource(std::move(originalSource)), alternatives_(std::move(split.second)) {}

std::vector<PropagationError> RetrievingContext::propagationErrors() const {
  std::lock_guard lock(lock_);
  return errors_;
}

bool RetrievingContext::isCancelled() const {
  std::lock_guard lock(lock_);
  return cancelled_;
}

bool RetrievingContext::hasAlternatives() const {
  std::lock_guard lock(lock_);
  return alternatives_ && !alternatives_->empty();
}

std::optional<Source> RetrievingContext::popAlternativeSource() {
  std::lock_guard lock(lock_);
  while (alternatives_ && nextAlternative_ < alternatives_->size()) {
    const auto& next = (*alternatives_)[nextAlternative_++];
    if (next) return *next;
  }
  return std::nullopt;
}

std::shared_ptr<RetryContext> RetrievingContext::retryContext(const Source& source, const VellumError& error,
                                                              bool& isNew) {
  std::lock_guard lock(lock_);
  if (const auto known = retryContexts_.find(source); known != retryContexts_.end()) {
    isNew = false;
    return known->second;
  }
  isNew = true;
  auto context = std::make_shared<RetryContext>(source, error);
  retryContexts_.emplace(source, context);
  return context;
}

void RetrievingContext::appendError(PropagationError error) {
  std::lock_guard lock(lock_);
  errors_.push_back(std::move(error));
}

bool RetrievingContext::finishOnce(const std::function<void()>& deliver) {
  {
    std::lock_guard lock(lock_);
    if (finished_) return false;
    finished_ = true;
    answerCancelled_ = nullptr;
    waitingRetry_.reset();
    currentTask_.reset();
  }
  deliver();
  return true;
}

void RetrievingContext::setCurrentTask(std::shared_ptr<DownloadTask> task) {
  if (!task) return;
  bool cancelled = false;
  {
    std::lock_guard lock(lock_);
    cancelled = cancelled_;
    currentTask_ = task;
  }
  if (cancelled) task->cancel();
}

void RetrievingContext::beginWait(std::shared_ptr<RetryContext> retry, std::function<void()> answerCancelled) {
  bool cancelled = false;
  {
    std::lock_guard lock(lock_);
    cancelled = cancelled_;
    if (!cancelled) {
      waitingRetry_ = retry;
      answerCancelled_ = answerCancelled;
    }
  }
  if (!cancelled) return;
  if (retry) return retry->cancel(std::move(answerCancelled));
  answerCancelled();
}

std::shared_ptr<std::atomic<bool>> RetrievingContext::beginCancellableWait(std::function<void()> answerCancelled) {
  auto claim = std::make_shared<std::atomic<bool>>(false);
  beginWait(nullptr, [claim, answerCancelled = std::move(answerCancelled)] {
    if (!claim->exchange(true)) answerCancelled();
  });
  return claim;
}

bool RetrievingContext::endCancellableWait(const std::shared_ptr<std::atomic<bool>>& claim) {
  if (claim->exchange(true)) return false;
  endWait();
  return true;
}

void RetrievingContext::endWait() {
  std::lock_guard lock(lock_);
  waitingRetry_.reset();
  answerCancelled_ = nullptr;
}

void RetrievingContext::cancel() {
  std::shared_ptr<DownloadTask> task;
  std::shared_ptr<RetryContext> retry;
  std::function<void()> answerCancelled;
  {
    std::lock_guard lock(lock_);
    if (cancelled_) return;
    cancelled_ = true;
    task = currentTask_;
    retry = std::move(waitingRetry_);
    answerCancelled = std::move(answerCancelled_);
  }
  if (task) task->cancel();
  // A strategy may be registering its wait on another thread right now: the caller hears of the cancel once
  // that wait is gone too, never while it still waits on the caller's behalf.
  if (retry) return retry->cancel(std::move(answerCancelled));
  if (answerCancelled) answerCancelled();
}

// ---- coalescer ----

// One processing of an original per target cache, key and processor at a time; callers that come meanwhile
// wait for its image. The entry is removed before the image is handed out, so a later caller starts afresh.
struct VellumManager::Coalescer {
  using Outcome = foundation::Result<ImagePtr, VellumError>;  // a null image: the original was not there
  using Waiter = std::function<void(const Outcome&)>;

  // True when the caller is the first and must do the work.
  bool join(const std::string& key, Waiter waiter) {
    std::lock_guard lock(mutex);
    auto [entry, first] = waiting.try_emplace(key);
    entry->second.push_back(std::move(waiter));
    return first;
  }
  void publish(const std::string& key, const Outcome& outcome) {
    std::vector<Waiter> waiters;
    {
      std::lock_guard lock(mutex);
      auto entry = waiting.find(key);
      if (entry == waiting.end()) return;
      waiters = std::move(entry->second);
      waiting.erase(entry);
    }
    for (const auto& waiter : waiters) waiter(outcome);
  }

  std::mutex mutex;
  std::map<std::string, std::vector<Waiter>> waiting;
};

// ---- manager ----

const std::shared_ptr<VellumManager>& VellumManager::shared() {
  // The default cache makes a folder in the user's cache directory: only a load that uses it makes it.
  static auto* manager = new std::shared_ptr<VellumManager>(
      new VellumManager(ImageDownloader::default_(), std::function<std::shared_ptr<ImageCache>()>([] {
                          return ImageCache::defaultCache();
                        })));
  return *manager;
}

std::shared_ptr<VellumManager> VellumManager::make(std::shared_ptr<ImageDownloader> downloader,
                                                   std::shared_ptr<ImageCache> cache) {
  return std::make_shared<VellumManager>(std::move(downloader), std::move(cache));
}

VellumManager::VellumManager(std::shared_ptr<ImageDownloader> downloader, std::shared_ptr<ImageCache> cache)
    : downloader_(std::move(downloader)), cache_(std::move(cache)), coalescer_(std::make_shared<Coalescer>()) {}

VellumManager::VellumManager(std::shared_ptr<ImageDownloader> downloader,
                             std::function<std::shared_ptr<ImageCache>()> makeCache)
    : downloader_(std::move(downloader)), makeCache_(std::move(makeCache)), coalescer_(std::make_shared<Coalescer>()) {}

const std::shared_ptr<ImageCache>& VellumManager::cache() const {
  if (makeCache_) std::call_once(cacheMade_, [this] { cache_ = makeCache_(); });
  return cache_;
}

VellumOptionsInfo VellumManager::defaultOptions() const {
  std::lock_guard lock(optionsLock_);
  return *defaultOptions_;
}

void VellumManager::setDefaultOptions(VellumOptionsInfo options) {
  auto replacement = std::make_shared<const VellumOptionsInfo>(std::move(options));
  std::lock_guard lock(optionsLock_);
  hasDefaultOptions_.store(!replacement->empty(), std::memory_order_release);
  defaultOptions_ = std::move(replacement);
}

VellumParsedOptionsInfo VellumManager::parsedOptions(const std::optional<VellumOptionsInfo>& options) const {
  return options ? parsedOptions(*options) : parsedOptions(noOptions());
}

VellumParsedOptionsInfo VellumManager::parsedOptions(const VellumOptionsInfo& options) const {
  if (!hasDefaultOptions_.load(std::memory_order_acquire)) return VellumParsedOptionsInfo(noOptions(), options);
  std::shared_ptr<const VellumOptionsInfo> defaults;
  {
    std::lock_guard lock(optionsLock_);
    defaults = defaultOptions_;
  }
  return VellumParsedOptionsInfo(*defaults, options);
}

const std::shared_ptr<ImageCache>& VellumManager::targetCache(const VellumParsedOptionsInfo& options) const {
  return options.targetCache ? options.targetCache : cache();
}

const std::shared_ptr<ImageCache>& VellumManager::originalCache(const VellumParsedOptionsInfo& options) const {
  return options.originalCache ? options.originalCache : targetCache(options);
}

ImagePtr VellumManager::memoryImage(const Source& source, const VellumParsedOptionsInfo& options) const {
  if (options.forceRefresh) return nullptr;
  try {
    return targetCache(options)->retrieveImageInMemoryCache(source.cacheKey(), options);
  } catch (...) {
    // A processor whose identifier throws names no entry: a miss, which the attempt then fails.
    return nullptr;
  }
}

std::optional<RetrieveImageResult> VellumManager::memoryCacheResult(const Source& source, const Source& originalSource,
                                                                    const VellumParsedOptionsInfo& options) const {
  auto image = memoryImage(source, options);
  if (!image) return std::nullopt;
  return std::optional<RetrieveImageResult>(std::in_place, modified(options, std::move(image)), CacheType::memory,
                                            source, originalSource);
}

bool VellumManager::answerFromMemory(const Source& source, const Source& originalSource,
                                     const VellumParsedOptionsInfo& options, const Completion& completion) const {
  auto image = memoryImage(source, options);
  if (!image) return false;
  ImagePtr shown = modified(options, std::move(image));
  if (!completion) return true;
  // Made once, where it is answered: a hit is the common call, and the result is large to move about.
  if (!options.callbackQueue.runsAtOnce()) {
    answer(options.callbackQueue, completion,
           RetrieveResult::emplaceSuccess(std::move(shown), CacheType::memory, source, originalSource));
    return true;
  }
  // Answered here and gone when the completion returns: one count of the source serves both its names.
  if (&source == &originalSource) {
    complete(completion, RetrieveResult::emplaceSuccess(RetrieveImageResult::SameSource(), std::move(shown),
                                                        CacheType::memory, source));
  } else {
    complete(completion, RetrieveResult::emplaceSuccess(std::move(shown), CacheType::memory, source, originalSource));
  }
  return true;
}

std::shared_ptr<DownloadTask> VellumManager::retrieveImage(const Source& source,
                                                           const std::optional<VellumOptionsInfo>& options,
                                                           DownloadTaskUpdated downloadTaskUpdated,
                                                           Completion completion) {
  return retrieveImage(source, options ? *options : noOptions(), std::move(downloadTaskUpdated), std::move(completion));
}

std::shared_ptr<DownloadTask> VellumManager::retrieveImage(const Source& source, const VellumOptionsInfo& options,
                                                           DownloadTaskUpdated downloadTaskUpdated,
                                                           Completion completion) {
  // Most managers have no default options: their calls fold the list here, where the record is made.
  VellumParsedOptionsInfo parsed = hasDefaultOptions_.load(std::memory_order_acquire)
                                       ? parsedOptions(options)
                                       : VellumParsedOptionsInfo(noOptions(), options);
  // Most calls are memory hits: they are answered before any context, task or handle is made (a hit can
  // be neither cancelled nor retried, so it needs none).
  if (answerFromMemory(source, source, parsed, completion)) return nullptr;
  auto context = std::make_shared<RetrievingContext>(std::move(parsed), source);
  auto self = shared_from_this();
  return startAttempt(
      source, context,
      [self, source, context, downloadTaskUpdated, completion](const RetrieveResult& result) {
        self->retrieveAttemptFinished(result, source, context, downloadTaskUpdated, completion);
      },
      !context->options.forceRefresh);
}

std::future<RetrieveImageResult> VellumManager::retrieveImageAsync(const Source& source,
                                                                   const std::optional<VellumOptionsInfo>& options) {
  auto promise = std::make_shared<std::promise<RetrieveImageResult>>();
  auto future = promise->get_future();
  VellumOptionsInfo items = options.value_or(VellumOptionsInfo{});
  // A future is waited on by some thread; answering on the main queue would tie the two together.
  items.push_back(VellumOptionsInfoItem::callbackQueue(CallbackQueue::untouch()));
  retrieveImage(source, items, nullptr,
                [promise](const RetrieveResult& result) { settlePromise(*promise, RetrieveResult(result)); });
  return future;
}

std::shared_ptr<DownloadTask> VellumManager::handleFor(const std::shared_ptr<RetrievingContext>& context,
                                                       std::shared_ptr<DownloadTask> attemptTask) {
  auto state = std::make_shared<foundation::Cancellable::State>();
  std::weak_ptr<RetrievingContext> weak = context;
  state->onCancel = [weak] {
    if (auto context = weak.lock()) context->cancel();
  };
  auto handle = std::make_shared<DownloadTask>(foundation::Cancellable(state));
  if (attemptTask) handle->setLinkedTask(std::move(attemptTask));
  return handle;
}

std::shared_ptr<DownloadTask> VellumManager::retrieveImageInContext(const Source& source,
                                                                    const std::shared_ptr<RetrievingContext>& context,
                                                                    DownloadTaskUpdated, bool /*isAsync*/,
                                                                    Completion completion, bool memoryChecked) {
  return startAttempt(source, context, completion, memoryChecked);
}

std::shared_ptr<DownloadTask> VellumManager::startAttempt(const Source& source,
                                                          const std::shared_ptr<RetrievingContext>& context,
                                                          const Completion& completion, bool memoryChecked) {
  if (auto error = unnamedProcessorError(context->options)) {
    answer(context->options, completion, RetrieveResult::failure(std::move(*error)));
    return nullptr;
  }
  // A cancelled retrieval has answered already; `attempt` refuses to load for it.
  if (!context->options.forceRefresh && !context->isCancelled()) {
    bool answeredNow = false;
    if (lookUpCache(source, context, completion, memoryChecked, answeredNow)) {
      return answeredNow ? nullptr : handleFor(context, nullptr);
    }
  }
  return handleFor(context, attempt(source, context, completion));
}

// The cache missed (or was skipped): an original to process, a refusal, or a load.
std::shared_ptr<DownloadTask> VellumManager::attempt(const Source& source,
                                                     const std::shared_ptr<RetrievingContext>& context,
                                                     Completion completion) {
  const auto& options = context->options;
  if (context->isCancelled()) {
    answer(options, completion, RetrieveResult::failure(cancelledError()));
    return nullptr;
  }
  if (!options.forceRefresh) {
    const std::string identifier = processorIdentifier(options);
    if (!identifier.empty() &&
        cached(originalCache(options)->imageCachedType(source.cacheKey(), "", options.forcedExtension))) {
      processOriginal(source, context, std::move(completion));
      return nullptr;
    }
    if (options.onlyFromCache) {
      answer(options, completion,
             RetrieveResult::failure(VellumError::cacheError(VellumError::CacheErrorReason::ImageNotExisting{source.cacheKey()})));
      return nullptr;
    }
  }
  auto task = loadAndCache(source, context, std::move(completion));
  context->setCurrentTask(task);
  return task;
}

bool VellumManager::lookUpCache(const Source& source, const std::shared_ptr<RetrievingContext>& context,
                                Completion completion, bool memoryChecked, bool& answeredNow) {
  const auto& options = context->options;
  auto cache = targetCache(options);
  // Memory first, answered during the call: the common hit costs one look-up.
  if (!memoryChecked) {
    if (answerFromMemory(source, context->originalSource, options, completion)) {
      answeredNow = true;
      return true;
    }
  }
  const CacheType type = cache->imageCachedType(source.cacheKey(), processorIdentifier(options), options.forcedExtension);
  if (!cached(type)) return false;
  auto self = shared_from_this();
  auto answered = std::make_shared<std::atomic<bool>>(false);
  VellumParsedOptionsInfo lookup = options;
  lookup.callbackQueue = CallbackQueue::untouch();
  auto claim = context->beginCancellableWait(cancelAnswer(options, completion));
  cache->retrieveImage(
      source.cacheKey(), lookup, CallbackQueue::untouch(),
      [self, source, context, completion, answered, claim](foundation::Result<ImageCacheResult, VellumError> result) {
        answered->store(true);
        if (!context->endCancellableWait(claim)) return;  // a cancel has answered
        const auto& options = context->options;
        if (result && result.value().image()) {
          return answer(options.callbackQueue, completion,
                        RetrieveResult::emplaceSuccess(modified(options, result.value().image()),
                                                       result.value().cacheType(), source, context->originalSource));
        }
        // Gone between the check and the read (or unreadable): go on as a miss.
        self->attempt(source, context, completion);
      });
  answeredNow = answered->load() && type == CacheType::memory;
  return true;
}

bool VellumManager::retrieveFromCache(const Source& source, const std::shared_ptr<RetrievingContext>& context,
                                      Completion completion) {
  const auto& options = context->options;
  // Through a processor that names no entry there is nothing to look for.
  if (unnamedProcessorError(options)) return false;
  const std::string identifier = processorIdentifier(options);
  const bool inTarget = cached(targetCache(options)->imageCachedType(source.cacheKey(), identifier, options.forcedExtension));
  const bool original =
      !identifier.empty() && cached(originalCache(options)->imageCachedType(source.cacheKey(), "", options.forcedExtension));
  if (!inTarget && !original) return false;
  // What follows may only read caches: a miss found late answers `imageNotExisting` instead of loading.
  VellumParsedOptionsInfo cacheOnly = options;
  cacheOnly.onlyFromCache = true;
  cacheOnly.forceRefresh = false;
  auto onlyCache = std::make_shared<RetrievingContext>(std::move(cacheOnly), context->originalSource);
  bool answeredNow = false;
  if (!lookUpCache(source, onlyCache, completion, false, answeredNow)) attempt(source, onlyCache, std::move(completion));
  return true;
}

void VellumManager::processOriginal(const Source& source, const std::shared_ptr<RetrievingContext>& context,
                                    Completion completion) {
  const auto& options = context->options;
  auto target = targetCache(options);
  const std::string identifier = processorIdentifier(options);
  const std::string key = scopedKey(*target, ImageCache::computedKey(source.cacheKey(), identifier));
  auto self = shared_from_this();
  // A caller that cancels leaves the processing to the others who wait for it.
  auto claim = context->beginCancellableWait(cancelAnswer(options, completion));
  const bool first = coalescer_->join(key, [self, source, context, completion, claim](const Coalescer::Outcome& outcome) {
    if (!context->endCancellableWait(claim)) return;
    const auto& options = context->options;
    // Replaced or cleared while the shared work ran: nothing more is spent on it.
    if (!stillWanted(options)) return answer(options, completion, RetrieveResult::failure(notWantedError(source)));
    if (!outcome) return answer(options, completion, RetrieveResult::failure(outcome.error()));
    if (!outcome.value()) {
      // The original went away meanwhile: load as if nothing had been cached.
      if (options.onlyFromCache) {
        return answer(options, completion,
                      RetrieveResult::failure(VellumError::cacheError(
                          VellumError::CacheErrorReason::ImageNotExisting{source.cacheKey()})));
      }
      context->setCurrentTask(self->loadAndCache(source, context, completion));
      return;
    }
    answer(options.callbackQueue, completion,
           RetrieveResult::emplaceSuccess(modified(options, outcome.value()), CacheType::none, source,
                                          context->originalSource));
  });
  if (!first) return;

  VellumParsedOptionsInfo originalOptions = options;
  originalOptions.processor = DefaultImageProcessor::defaultProcessor();
  originalOptions.callbackQueue = CallbackQueue::untouch();
  // The read serves every caller that joined, not only this one: this caller being replaced meanwhile must
  // not make the original look missing to the others (they would each go to the network for it). Each
  // caller's own checker still decides what it is answered.
  originalOptions.sourceTaskIdentifierChecker = nullptr;
  auto coalescer = coalescer_;
  originalCache(options)->retrieveImage(
      source.cacheKey(), originalOptions, CallbackQueue::untouch(),
      [coalescer, key, source, options, target](foundation::Result<ImageCacheResult, VellumError> found) {
        if (!found || !found.value().image()) return coalescer->publish(key, Coalescer::Outcome::success(nullptr));
        processingQueue(options).execute([coalescer, key, source, options, target, original = found.value().image()] {
          auto outcome = runProcessor(ImageProcessItem::image(original), options);
          if (!outcome) return coalescer->publish(key, outcome);
          const ImagePtr processed = outcome.value();
          VellumParsedOptionsInfo storeOptions = options;
          storeOptions.callbackQueue = CallbackQueue::untouch();
          if (!options.waitForCache) {
            target->store(processed, std::nullopt, source.cacheKey(), storeOptions, !options.cacheMemoryOnly);
            return coalescer->publish(key, Coalescer::Outcome::success(processed));
          }
          target->store(processed, std::nullopt, source.cacheKey(), storeOptions, !options.cacheMemoryOnly,
                        [coalescer, key, processed](CacheStoreResult) {
                          coalescer->publish(key, Coalescer::Outcome::success(processed));
                        });
        });
      });
}

std::shared_ptr<DownloadTask> VellumManager::loadAndCache(const Source& source,
                                                          const std::shared_ptr<RetrievingContext>& context,
                                                          Completion completion) {
  if (auto error = unnamedProcessorError(context->options)) {
    answer(context->options, completion, RetrieveResult::failure(std::move(*error)));
    return nullptr;
  }
  // A request replaced or cleared meanwhile (while its image was read from disk, say) downloads nothing.
  if (!stillWanted(context->options)) {
    answer(context->options, completion, RetrieveResult::failure(notWantedError(source)));
    return nullptr;
  }
  if (source.kind() == Source::Kind::network) return loadFromNetwork(source, context, std::move(completion));
  return loadFromProvider(source, context, std::move(completion));
}

std::shared_ptr<DownloadTask> VellumManager::loadFromNetwork(const Source& source,
                                                             const std::shared_ptr<RetrievingContext>& context,
                                                             Completion completion) {
  VellumParsedOptionsInfo options = context->options;
  auto downloader = options.downloader ? options.downloader : downloader_;
  // The low-data source is what a constrained network may carry; asking for it as if it were the full one
  // would fail the same way.
  if (options.lowDataModeSource && *options.lowDataModeSource == source) options.lowDataModeSource.reset();
  if (options.progressiveJPEG) {
    auto effects = options.onDataReceived.value_or(std::vector<std::shared_ptr<DataReceivingSideEffect>>{});
    const bool present = std::any_of(effects.begin(), effects.end(), [](const auto& effect) {
      return dynamic_cast<ImageProgressiveProvider*>(effect.get()) != nullptr;
    });
    if (!present) {
      auto progressive = options.progressiveJPEG;
      // Without a view to show partial images in, the progressive options' own callback is where they go.
      auto provider = ImageProgressiveProvider::make(options, [progressive](const ImagePtr& image) {
        progressiveRefresh(image, *progressive, [](const ImagePtr&) {});
      });
      if (provider) {
        if (options.sourceTaskIdentifierChecker) provider->setOnShouldApply(options.sourceTaskIdentifierChecker);
        effects.push_back(provider);
        options.onDataReceived = std::move(effects);
      }
    }
  }
  const CallbackQueue callerQueue = options.callbackQueue;
  options.callbackQueue = CallbackQueue::untouch();
  auto self = shared_from_this();
  return downloader->downloadImage(
      source.resource()->downloadURL().absoluteString(), options,
      [self, source, context, completion](const ImageDownloader::DownloadResult& result) {
        if (!result) return answer(context->options, completion, RetrieveResult::failure(result.error()));
        // Replaced or cleared while the download ran: nothing more is spent on it, no store above all.
        if (!stillWanted(context->options)) {
          return answer(context->options, completion, RetrieveResult::failure(notWantedError(source)));
        }
        const auto& loaded = result.value();
        self->cacheAndDeliver(source, context, loaded.image, loaded.originalData, loaded.metrics, completion,
                              loaded.stores);
      });
}

std::shared_ptr<DownloadTask> VellumManager::loadFromProvider(const Source& source,
                                                              const std::shared_ptr<RetrievingContext>& context,
                                                              Completion completion) {
  struct Once {
    std::atomic<bool> received{false};
    std::atomic<bool> answered{false};
  };
  auto once = std::make_shared<Once>();
  auto provider = source.provider();
  const auto& options = context->options;
  auto state = std::make_shared<foundation::Cancellable::State>();
  // What the provider is handed reaches the work through this slot, emptied on the answer: a provider that
  // keeps its handler (one that never answers) then keeps nothing of this retrieval alive.
  struct Slot {
    std::mutex mutex;
    ImageDataProvider::Handler receive;
  };
  auto slot = std::make_shared<Slot>();
  // Whichever comes first of the provider's answer and a cancel is the one the caller hears. Answering
  // drops the cancel hook, which holds the completion: a handle kept by the caller holds nothing after.
  auto finish = [once, options, completion, weakState = std::weak_ptr(state),
                 weakSlot = std::weak_ptr(slot)](RetrieveResult result) {
    if (once->answered.exchange(true)) return;
    if (auto state = weakState.lock()) {
      std::lock_guard lock(state->mutex);
      state->onCancel = nullptr;
    }
    if (auto slot = weakSlot.lock()) {
      std::lock_guard lock(slot->mutex);
      slot->receive = nullptr;
    }
    answer(options, completion, std::move(result));
  };
  // A cancel also tells the provider, so that a long rendering (a video frame, a thumbnail) stops.
  std::stop_source stop;
  state->onCancel = [finish, provider, stop]() mutable {
    stop.request_stop();
    finish(RetrieveResult::failure(
        VellumError::requestError(VellumError::RequestErrorReason::DataProviderCancelled{provider})));
  };
  auto handle = std::make_shared<DownloadTask>(foundation::Cancellable(state));
  auto self = shared_from_this();
  auto deliver = [finish](const RetrieveResult& result) { finish(result); };
  slot->receive = [self, once, provider, source, context, finish, deliver](ImageDataProvider::DataResult data) {
    if (once->received.exchange(true) || once->answered.load()) return;
    const auto& options = context->options;
    if (!data) {
      return finish(RetrieveResult::failure(VellumError::imageSettingError(
          VellumError::ImageSettingErrorReason::DataProviderError{provider, data.error()})));
    }
    processingQueue(options).execute([self, once, source, context, finish, deliver, bytes = std::move(data.value())] {
      if (once->answered.load()) return;
      const auto& options = context->options;
      auto outcome = runProcessor(ImageProcessItem::data(bytes), options);
      if (!outcome) return finish(RetrieveResult::failure(outcome.error()));
      const ImagePtr image = outcome.value();
      VellumParsedOptionsInfo direct = options;
      direct.callbackQueue = CallbackQueue::untouch();
      auto directContext = std::make_shared<RetrievingContext>(direct, context->originalSource);
      self->cacheAndDeliver(source, directContext, image, bytes, std::nullopt, deliver);
    });
  };
  auto handOver = [slot](ImageDataProvider::DataResult data) {
    ImageDataProvider::Handler receive;
    {
      std::lock_guard lock(slot->mutex);
      receive = slot->receive;
    }
    if (receive) receive(std::move(data));
  };
  // A provider that throws instead of answering has failed with what it threw (an answer it gave first
  // stands).
  try {
    provider->cancellableData(stop.get_token(), handOver);
  } catch (...) {
    logThrown("A data provider");
    handOver(ImageDataProvider::DataResult::failure(std::current_exception()));
  }
  return handle;
}

void VellumManager::cacheAndDeliver(const Source& source, const std::shared_ptr<RetrievingContext>& context,
                                    ImagePtr image, std::optional<foundation::Bytes> original,
                                    std::optional<NetworkMetrics> metrics, Completion completion,
                                    std::shared_ptr<TransferStoreLedger> stores) {
  const auto& options = context->options;
  auto target = targetCache(options);
  const bool toDisk = !options.cacheMemoryOnly;
  const bool storeOriginal = options.cacheOriginalImage && !processorIdentifier(options).empty() && original && toDisk;
  RetrieveImageResult value{modified(options, image), CacheType::none, source, context->originalSource, original,
                            std::move(metrics)};
  auto result = std::make_shared<RetrieveResult>(RetrieveResult::success(std::move(value)));

  std::function<void()> storeDone;
  if (options.waitForCache) {
    auto remaining = std::make_shared<std::atomic<int>>(storeOriginal ? 2 : 1);
    storeDone = [remaining, options, completion, result] {
      if (remaining->fetch_sub(1) == 1) answer(options, completion, *result);
    };
  }
  // Each place is stored by the first caller of the download that claims it; a later one waits for that
  // store only when it waits for its stores at all.
  const std::string imagePlace = scopedKey(*target, (toDisk ? "disk\n" : "memory\n") +
                                                        ImageCache::computedKey(source.cacheKey(), processorIdentifier(options)));
  const std::string originalPlace = scopedKey(*originalCache(options), "original\n" + source.cacheKey());
  auto claim = [&](const std::string& place) { return !stores || stores->claim(place, storeDone); };
  auto whenStored = [&](const std::string& place) -> ImageCache::StoreHandler {
    if (!stores && !storeDone) return nullptr;
    return [stores, place, storeDone](CacheStoreResult) {
      if (stores) stores->stored(place);
      if (storeDone) storeDone();
    };
  };
  if (claim(imagePlace)) {
    VellumParsedOptionsInfo storeOptions = options;
    storeOptions.callbackQueue = CallbackQueue::untouch();
    target->store(image, original, source.cacheKey(), storeOptions, toDisk, whenStored(imagePlace));
  }
  if (storeOriginal && claim(originalPlace)) {
    originalCache(options)->storeToDisk(*original, source.cacheKey(), "", options.forcedExtension,
                                        options.diskCacheExpiration, CallbackQueue::untouch(), whenStored(originalPlace));
  }
  // The memory store is done by now (this caller's, or the first caller's of the same download), so a
  // caller told of the image finds it in the cache.
  if (!options.waitForCache) answer(options, completion, *result);
}

void VellumManager::retrieveAttemptFinished(const RetrieveResult& result, const Source& source,
                                            const std::shared_ptr<RetrievingContext>& context,
                                            DownloadTaskUpdated downloadTaskUpdated, Completion completion) {
  if (result) {
    context->finishOnce([&] { complete(completion, result); });
    return;
  }
  const VellumError& error = result.error();
  if (context->isCancelled() || endsRetrieval(error)) {
    // A cancel ends the retrieval; alternatives are for sources that failed, not for callers who left.
    context->finishOnce([&] { complete(completion, result); });
    return;
  }
  const auto& strategy = context->options.retryStrategy;
  if (!strategy) return tryNextSource(error, source, context, downloadTaskUpdated, completion);

  bool isNew = false;
  auto retry = context->retryContext(source, error, isNew);
  if (!isNew) retry->increaseRetryCount();
  const auto& options = context->options;
  context->beginWait(retry, [context, options, completion] {
    options.callbackQueue.execute([context, completion] {
      context->finishOnce([&] { complete(completion, RetrieveResult::failure(cancelledError())); });
    });
  });
  auto self = shared_from_this();
  // A strategy may decide later, from any thread; one that throws before it decides, or lets go of its
  // handler without deciding, has said stop.
  auto decide = answerOnceOrWhenDropped<RetryDecision>([self, retry, error, source, context, downloadTaskUpdated,
                                                        completion](RetryDecision decision) {
    context->options.callbackQueue.execute([=] {
      if (context->isCancelled()) return;  // the cancel has answered
      context->endWait();
      if (decision.kind() == RetryDecision::Kind::stop) {
        return self->tryNextSource(error, source, context, downloadTaskUpdated, completion);
      }
      retry->setUserInfo(decision.userInfo());
      auto task = self->retrieveImageInContext(
          source, context, downloadTaskUpdated, false,
          [self, source, context, downloadTaskUpdated, completion](const RetrieveResult& result) {
            self->retrieveAttemptFinished(result, source, context, downloadTaskUpdated, completion);
          });
      reportTask(downloadTaskUpdated, task);
    });
  }, RetryDecision::stop());
  // Asked on the shared pool, never where the attempt ended. That is often the downloader's delegate queue,
  // through which every other retrieval's answer passes: a strategy that takes its time to decide would hold
  // them all. And a decision given at once starts the next attempt inside this call: one that also fails at
  // once would ask again one call deeper, and a strategy allowing many retries would exhaust the stack. The
  // cancel hook set above answers a cancel meanwhile and refuses the strategy any wait.
  boost::asio::post(foundation::ThreadPool::shared(), [strategy, retry, decide] {
    if (!callGuarded("A retry strategy", [&] { strategy->retry(retry, decide); })) decide(RetryDecision::stop());
  });
}

void VellumManager::tryNextSource(const VellumError& error, const Source& source,
                                  const std::shared_ptr<RetrievingContext>& context,
                                  DownloadTaskUpdated downloadTaskUpdated, Completion completion) {
  const auto& options = context->options;
  auto self = shared_from_this();
  // Started on the shared pool, never inside the call that failed the last source: with a callback queue that
  // runs at once, a source that fails at once would have the next tried one call deeper each time, and a long
  // list of alternatives would exhaust the stack.
  auto next = [&](const Source& nextSource) {
    boost::asio::post(foundation::ThreadPool::shared(), [self, nextSource, context, downloadTaskUpdated, completion] {
      auto task = self->retrieveImageInContext(
          nextSource, context, downloadTaskUpdated, false,
          [self, nextSource, context, downloadTaskUpdated, completion](const RetrieveResult& result) {
            self->retrieveAttemptFinished(result, nextSource, context, downloadTaskUpdated, completion);
          });
      reportTask(downloadTaskUpdated, task);
    });
  };
  if (error.isConstrainedNetworkFailure() && options.lowDataModeSource) {
    bool first = false;
    {
      std::lock_guard lock(context->lock_);
      first = !context->lowDataTried_;
      context->lowDataTried_ = true;
    }
    if (first) return next(*options.lowDataModeSource);
  }
  if (!context->hasAlternatives()) {
    context->finishOnce([&] { complete(completion, RetrieveResult::failure(error)); });
    return;
  }
  context->appendError(PropagationError{source, error});
  if (auto alternative = context->popAlternativeSource()) return next(*alternative);
  std::vector<std::shared_ptr<const PropagationError>> errors;
  for (auto& e : context->propagationErrors()) errors.push_back(std::make_shared<const PropagationError>(std::move(e)));
  context->finishOnce([&] {
    complete(completion, RetrieveResult::failure(VellumError::imageSettingError(
                             VellumError::ImageSettingErrorReason::AlternativeSourcesExhausted{std::move(errors)})));
  });
}

VellumParsedOptionsInfo VellumManager::optionsReportingDownloadTask(
    const VellumParsedOptionsInfo& options, std::function<void(std::shared_ptr<DownloadTask>)> report) {
  VellumParsedOptionsInfo copy = options;
  const bool async = options.requestModifier && !dynamic_cast<ImageDownloadRequestModifier*>(options.requestModifier.get());
  if (async) {
    copy.requestModifier =
        std::make_shared<ReportingModifier<AsyncImageDownloadRequestModifier>>(options.requestModifier, std::move(report));
  } else {
    copy.requestModifier =
        std::make_shared<ReportingModifier<ImageDownloadRequestModifier>>(options.requestModifier, std::move(report));
  }
  return copy;
}

void VellumManager::progressiveRefresh(const ImagePtr& image, const ImageProgressive& progressive,
                                       const std::function<void(const ImagePtr&)>& setter) {
  vellum::progressiveRefresh(image, progressive, setter);
}

}  // namespace vellum
