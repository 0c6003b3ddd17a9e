#include "vellum/retrieval/image_prefetcher.hpp"

#include <sstream>
#include <utility>

#include <boost/asio/post.hpp>

#include "foundation/thread_pool.hpp"
#include "general/guarded_call.hpp"
#include "networking/answer_once.hpp"
#include "vellum/cache/image_cache.hpp"
#include "vellum/networking/image_downloader.hpp"
#include "vellum/retrieval/vellum_manager.hpp"

namespace vellum {

namespace {

// Loads that answer during their own start (refused at once) must not start the next from inside it: a long
// list of them would nest one start in another as deep as the list. Such an answer leaves the next start
// to the queue.
thread_local int launching = 0;
struct Launching {
  Launching() { ++launching; }
  ~Launching() { --launching; }
  Launching(const Launching&) = delete;
  Launching& operator=(const Launching&) = delete;
};

ImagePrefetcher::Resources resourcesOf(const ImagePrefetcher::Sources& sources) {
  ImagePrefetcher::Resources resources;
  for (const auto& source : sources) {
    if (source.kind() == Source::Kind::network) resources.push_back(source.resource());
  }
  return resources;
}

// Hands the three lists to both reports; each is the caller's code, so one that throws keeps nothing from
// the other.
void report(const ImagePrefetcher::SourceReport& sourceReport, const ImagePrefetcher::ResourceReport& resourceReport,
            const ImagePrefetcher::Sources& skipped, const ImagePrefetcher::Sources& failed,
            const ImagePrefetcher::Sources& completed) {
  if (sourceReport) callGuarded("A prefetcher's report", [&] { sourceReport(skipped, failed, completed); });
  if (resourceReport) {
    callGuarded("A prefetcher's report",
                [&] { resourceReport(resourcesOf(skipped), resourcesOf(failed), resourcesOf(completed)); });
  }
}

}  // namespace

std::shared_ptr<ImagePrefetcher> ImagePrefetcher::make(const std::vector<URL>& urls,
                                                       const std::optional<VellumOptionsInfo>& options,
                                                       ResourceReport progressBlock, ResourceReport completionHandler) {
  std::vector<Source> sources;
  sources.reserve(urls.size());
  for (const auto& url : urls) sources.push_back(convertToSource(url));
  auto prefetcher = std::make_shared<ImagePrefetcher>(std::move(sources), options);
  prefetcher->progressBlock_ = std::move(progressBlock);
  prefetcher->completionHandler_ = std::move(completionHandler);
  return prefetcher;
}

std::shared_ptr<ImagePrefetcher> ImagePrefetcher::make(const std::vector<std::shared_ptr<const Resource>>& resources,
                                                       const std::optional<VellumOptionsInfo>& options,
                                                       ResourceReport progressBlock, ResourceReport completionHandler) {
  std::vector<Source> sources;
  sources.reserve(resources.size());
  for (const auto& resource : resources) {
    if (resource) sources.push_back(resource->convertToSource());
  }
  auto prefetcher = std::make_shared<ImagePrefetcher>(std::move(sources), options);
  prefetcher->progressBlock_ = std::move(progressBlock);
  prefetcher->completionHandler_ = std::move(completionHandler);
  return prefetcher;
}

std::shared_ptr<ImagePrefetcher> ImagePrefetcher::make(const std::vector<Source>& sources,
                                                       const std::optional<VellumOptionsInfo>& options,
                                                       SourceReport progressBlock, SourceReport completionHandler) {
  auto prefetcher = std::make_shared<ImagePrefetcher>(sources, options);
  prefetcher->progressSourceBlock_ = std::move(progressBlock);
  prefetcher->completionSourceHandler_ = std::move(completionHandler);
  return prefetcher;
}

ImagePrefetcher::ImagePrefetcher(std::vector<Source> sources, const std::optional<VellumOptionsInfo>& options)
    : prefetchQueue_(std::make_shared<foundation::SerialQueue>(kPrefetchQueueLabel)),
      prefetchSources_(std::move(sources)),
      optionsInfo_(options) {
  optionsInfo_.callbackQueue = CallbackQueue::dispatch(prefetchQueue_);
  manager_ = VellumManager::make(optionsInfo_.downloader ? optionsInfo_.downloader : ImageDownloader::default_(),
                                 optionsInfo_.targetCache ? optionsInfo_.targetCache : ImageCache::defaultCache());
}

int ImagePrefetcher::maxConcurrentDownloads() const { return maxConcurrentDownloads_.load(); }
void ImagePrefetcher::setMaxConcurrentDownloads(int count) { maxConcurrentDownloads_.store(count); }

void ImagePrefetcher::start() {
  prefetchQueue_->post([self = shared_from_this()] { self->startOnQueue(); });
}

void ImagePrefetcher::stop() {
  stopRequested_.store(true);
  prefetchQueue_->post([self = shared_from_this()] { self->stopOnQueue(); });
}

bool ImagePrefetcher::finished() const {
  bool result = false;
  prefetchQueue_->sync([&] { result = finishedOnQueue(); });
  return result;
}

std::string ImagePrefetcher::description() const {
  std::ostringstream text;
  text << static_cast<const void*>(this);
  return text.str();
}

bool ImagePrefetcher::finishedOnQueue() const {
  return failedSources_.size() + skippedSources_.size() + completedSources_.size() == prefetchSources_.size() &&
         tasks_.empty() && waiting_.empty();
}

void ImagePrefetcher::startOnQueue() {
  const int limit = maxConcurrentDownloads_.load();
  if (stopped_ || limit < 1 || prefetchSources_.empty()) return handleComplete();
  keepAlive_ = shared_from_this();
  const std::size_t batch = std::min<std::size_t>(static_cast<std::size_t>(limit), prefetchSources_.size());
  for (std::size_t i = 0; i < batch; ++i) {
    const auto next = claimNext();
    if (!next) break;
    startPrefetching(prefetchSources_[*next]);
  }
  // A start after the run has ended finds nothing to do; it must not keep the prefetcher alive for it.
  if (finishedOnQueue()) handleComplete();
}

void ImagePrefetcher::stopOnQueue() {
  if (finishedOnQueue()) return;
  stopped_ = true;
  for (const auto& [id, holder] : tasks_) holder->cancel();
  // A source waiting for its retry has nothing running to cancel; it fails now, and its strategy's answer,
  // should one still come, finds nothing to act on.
  auto waiting = std::move(waiting_);
  waiting_.clear();
  for (auto& [id, entry] : waiting) {
    entry.retry->cancel();
    failedSources_.push_back(entry.source);
  }
  if (!waiting.empty()) reportProgress();
  reportCompletionOrStartNext();
}

void ImagePrefetcher::settle(std::vector<Source>& list, const Source& source, bool startNext) {
  list.push_back(source);
  reportProgress();
  reportCompletionOrStartNext(startNext);
}

std::optional<std::size_t> ImagePrefetcher::claimNext() {
  // Claims past the end leave the counter beyond it, which every reader takes as nothing left.
  const std::size_t next = nextPending_.fetch_add(1);
  if (next < prefetchSources_.size()) return next;
  return std::nullopt;
}

bool ImagePrefetcher::needsLoad(const Source& source) const {
  if (optionsInfo_.forceRefresh) return true;
  if (optionsInfo_.onlyFromCache) return false;
  const std::string identifier = optionsInfo_.processor ? optionsInfo_.processor->identifier() : std::string();
  return manager_->cache()->imageCachedType(source.cacheKey(), identifier, std::nullopt) == CacheType::none;
}

void ImagePrefetcher::startPrefetching(const Source& source) {
  if (optionsInfo_.forceRefresh) return startLoading(source, nullptr);
  const std::string identifier = optionsInfo_.processor ? optionsInfo_.processor->identifier() : std::string();
  const CacheType type = manager_->cache()->imageCachedType(source.cacheKey(), identifier, std::nullopt);
  switch (type) {
    case CacheType::none:
      return downloadAndCache(source);
    case CacheType::memory:
      return settle(skippedSources_, source);
    case CacheType::disk: {
      if (!optionsInfo_.alsoPrefetchToMemory) return settle(skippedSources_, source);
      auto context = std::make_shared<RetrievingContext>(optionsInfo_, source);
      auto self = shared_from_this();
      const bool willReport =
          manager_->retrieveFromCache(source, context, [self, source](const VellumManager::RetrieveResult& result) {
            if (result) return self->settle(self->skippedSources_, source);
            self->downloadAndCache(source);
          });
      if (!willReport) downloadAndCache(source);
      return;
    }
  }
}

void ImagePrefetcher::downloadAndCache(const Source& source) {
  if (optionsInfo_.onlyFromCache) return settle(failedSources_, source);
  startLoading(source, nullptr);
}

void ImagePrefetcher::startLoading(const Source& source, std::shared_ptr<RetryContext> retry) {
  if (stopped_) return settle(failedSources_, source);
  launch(source, std::move(retry), true);
}

void ImagePrefetcher::launch(const Source& source, std::shared_ptr<RetryContext> retry, bool onQueue,
                             std::function<void()> thenOnQueue) {
  const std::uint64_t id = nextId_.fetch_add(1);
  auto holder = std::make_shared<CancellationDownloadTask>();
  auto self = shared_from_this();
  // Known to the queue before the load can answer: from another thread the registration is queued ahead of
  // the answer's bookkeeping, and a stop that came first cancels the load as it registers.
  if (onQueue) {
    tasks_[id] = holder;
  } else {
    prefetchQueue_->post([self, id, holder, then = std::move(thenOnQueue)] {
      self->tasks_[id] = holder;
      if (self->stopped_) holder->cancel();
      if (then) then();
    });
  }
  // Held weakly: the options travel with the transfer's record, which the task in the holder keeps.
  auto loadOptions = VellumManager::optionsReportingDownloadTask(
      optionsInfo_, [weak = std::weak_ptr(holder)](std::shared_ptr<DownloadTask> task) {
        if (auto holder = weak.lock()) holder->setTask(std::move(task));
      });
  // Answered where the load ends, so that the next load starts there without waiting for a turn of the
  // queue; only the bookkeeping goes through it.
  loadOptions.callbackQueue = CallbackQueue::untouch();
  auto context = std::make_shared<RetrievingContext>(std::move(loadOptions), source);
  const Launching inside;
  holder->setTask(manager_->loadAndCache(source, context, [self, id, source, retry](const VellumManager::RetrieveResult& result) {
    self->loadAnswered(id, source, retry, result ? std::nullopt : std::optional<VellumError>(result.error()));
  }));
}

void ImagePrefetcher::loadAnswered(std::uint64_t id, const Source& source, std::shared_ptr<RetryContext> retry,
                                   std::optional<VellumError> error) {
  // A source that will be retried stays in flight; one that settles makes room for the next, started here.
  if ((!error || !optionsInfo_.retryStrategy) && !stopRequested_.load() && launching == 0) {
    if (const auto next = claimNext()) {
      // The look at the disk cache may wait for the file system (behind the cache's own writes to the same
      // folder): it runs on the shared pool, not on the thread that answered, which serves other loads. One
      // turn of the queue then books this load and registers the next (or settles it when cached).
      std::function<void()> booking = [self = shared_from_this(), id, source, retry, error]() mutable {
        self->loadFinished(id, source, std::move(retry), std::move(error), false);
      };
      boost::asio::post(foundation::ThreadPool::shared(), [self = shared_from_this(), next = *next,
                                                           booking = std::move(booking)]() mutable {
        const Source& nextSource = self->prefetchSources_[next];
        bool load = false;
        try {
          load = !self->stopRequested_.load() && self->needsLoad(nextSource);
        } catch (...) {
          logThrown("A prefetcher's look at the cache");
        }
        if (load) return self->launch(nextSource, nullptr, false, std::move(booking));
        // A cached source is settled (or read into memory) by the queue, as is one claimed as the run stops.
        self->prefetchQueue_->post([self, nextSource, booking = std::move(booking)] {
          booking();
          self->startPrefetching(nextSource);
        });
      });
      return;
    }
  }
  prefetchQueue_->post([self = shared_from_this(), id, source, retry = std::move(retry), error = std::move(error)]() mutable {
    self->loadFinished(id, source, std::move(retry), std::move(error), true);
  });
}

void ImagePrefetcher::loadFinished(std::uint64_t id, const Source& source, std::shared_ptr<RetryContext> retry,
                                   std::optional<VellumError> error, bool startNext) {
  tasks_.erase(id);
  if (!error) return settle(completedSources_, source, startNext);
  const auto& strategy = optionsInfo_.retryStrategy;
  if (!strategy || stopped_) return settle(failedSources_, source, startNext);
  if (retry) {
    retry->increaseRetryCount();
  } else {
    retry = std::make_shared<RetryContext>(source, *error);
  }
  waiting_.emplace(id, Waiting{source, retry});
  std::weak_ptr<ImagePrefetcher> weak = shared_from_this();
  auto queue = prefetchQueue_;
  // Only the first decision counts; a strategy that throws before it decides has said stop.
  auto decide = answerOnce<RetryDecision>([weak, queue, id](RetryDecision decision) {
    queue->post([weak, id, decision = std::move(decision)] {
      if (auto self = weak.lock()) self->decided(id, decision);
    });
  });
  if (!callGuarded("A retry strategy", [&] { strategy->retry(retry, decide); })) decide(RetryDecision::stop());
}

void ImagePrefetcher::decided(std::uint64_t id, RetryDecision decision) {
  auto entry = waiting_.find(id);
  if (entry == waiting_.end()) return;  // settled meanwhile (stopped)
  Waiting waiting = std::move(entry->second);
  waiting_.erase(entry);
  if (decision.kind() == RetryDecision::Kind::stop || stopped_) return settle(failedSources_, waiting.source);
  waiting.retry->setUserInfo(decision.userInfo());
  startLoading(waiting.source, waiting.retry);
}

void ImagePrefetcher::reportProgress() {
  if (!progressBlock_ && !progressSourceBlock_) return;
  CallbackQueue::mainCurrentOrAsync().execute([sourceBlock = progressSourceBlock_, block = progressBlock_,
                                               skipped = skippedSources_, failed = failedSources_,
                                               completed = completedSources_] {
    report(sourceBlock, block, skipped, failed, completed);
  });
}

void ImagePrefetcher::reportCompletionOrStartNext(bool startNext) {
  if (startNext && !stopped_ && nextPending_.load() < prefetchSources_.size()) {
    // Started here rather than posted, saving a trip through the queue per source. A source settled during
    // its own start (a cache hit) lands back here: it is owed a start that the outer loop makes, so a long
    // run of hits never recurses.
    ++startsOwed_;
    if (starting_) return;
    starting_ = true;
    while (startsOwed_ > 0 && !stopped_) {
      const auto next = claimNext();
      if (!next) break;
      --startsOwed_;
      startPrefetching(prefetchSources_[*next]);
    }
    startsOwed_ = 0;
    starting_ = false;
    if (finishedOnQueue()) handleComplete();
    return;
  }
  if (stopped_) {
    for (std::size_t i = nextPending_.exchange(prefetchSources_.size()); i < prefetchSources_.size(); ++i) {
      failedSources_.push_back(prefetchSources_[i]);
    }
  }
  if (finishedOnQueue()) handleComplete();
}

void ImagePrefetcher::handleComplete() {
  auto release = std::move(keepAlive_);
  keepAlive_.reset();
  if (!completionHandler_ && !completionSourceHandler_) return;
  auto sourceHandler = std::move(completionSourceHandler_);
  auto handler = std::move(completionHandler_);
  completionSourceHandler_ = nullptr;
  completionHandler_ = nullptr;
  progressBlock_ = nullptr;
  progressSourceBlock_ = nullptr;
  CallbackQueue::mainCurrentOrAsync().execute([sourceHandler, handler, skipped = skippedSources_,
                                               failed = failedSources_, completed = completedSources_] {
    report(sourceHandler, handler, skipped, failed, completed);
  });
}

}  // namespace vellum
