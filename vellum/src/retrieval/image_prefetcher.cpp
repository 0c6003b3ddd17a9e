#include "vellum/retrieval/image_prefetcher.hpp"

#include <array>
#include <future>
#include <mutex>
#include <sstream>

#include <boost/asio/post.hpp>

#include "foundation/thread_pool.hpp"
#include "general/guarded_call.hpp"
#include "networking/answer_once.hpp"
#include "retrieval/exclusive_runner.hpp"
#include "vellum/cache/image_cache.hpp"
#include "vellum/networking/image_downloader.hpp"
#include "vellum/retrieval/vellum_manager.hpp"

namespace vellum {

namespace {

// Hands the three lists to both reports; each is the caller's code, so one that throws keeps nothing from
// the other.
void report(const ImagePrefetcher::SourceReport& sourceReport, const ImagePrefetcher::ResourceReport& resourceReport,
            const std::array<const ImagePrefetcher::Sources*, 3>& sources,
            const std::array<const ImagePrefetcher::Resources*, 3>& resources) {
  if (sourceReport) callGuarded("A prefetcher's report", [&] { sourceReport(*sources[0], *sources[1], *sources[2]); });
  if (resourceReport) {
    callGuarded("A prefetcher's report", [&] { resourceReport(*resources[0], *resources[1], *resources[2]); });
  }
}

// Hands `task` to the bookkeeping from the queue, behind what the queue holds.
void handIn(const foundation::SerialQueue& queue, std::shared_ptr<ExclusiveRunner> bookkeeping,
            std::function<void()> task) {
  queue.post([bookkeeping = std::move(bookkeeping), task = std::move(task)]() mutable {
    bookkeeping->run(std::move(task));
  });
}

}  // namespace

// The sources settled so far, each list in the order its sources settled. Only the bookkeeping appends (under
// the lock, one piece at a time, so it reads the lists without it). A report queued for the main queue carries
// the lengths the lists had when it was made, not copies of them: a run of thousands settles far faster than
// a busy main queue takes its reports, and a copy per report would hold memory growing with the square of the
// run. The lists are only ever appended to, and reports run in the order they were made, so the lists handed
// to the application are brought up to each report's lengths, never rebuilt.
struct ImagePrefetcher::Settled {
  using Lengths = std::array<std::size_t, 3>;

  std::mutex mutex;
  Sources skipped, failed, completed;  // appended under `mutex`

  // Main queue only: the lists as the last report handed them over, and their network resources.
  std::array<Sources, 3> reported;
  std::array<Resources, 3> reportedResources;

  void append(SettledList list, Source source) {
    std::lock_guard lock(mutex);
    (this->*list).push_back(std::move(source));
  }
  // REQUIRES: in the bookkeeping.
  Lengths lengths() const { return {skipped.size(), failed.size(), completed.size()}; }
  std::size_t count() const { return skipped.size() + failed.size() + completed.size(); }

  // Hands both reports the lists as long as `lengths`. REQUIRES: on the main queue, in the order the reports
  // were made.
  void report(const Lengths& lengths, const SourceReport& sourceReport, const ResourceReport& resourceReport) {
    {
      std::lock_guard lock(mutex);
      const std::array<const Sources*, 3> all{&skipped, &failed, &completed};
      for (std::size_t i = 0; i < 3; ++i) {
        for (std::size_t at = reported[i].size(); at < std::min(lengths[i], all[i]->size()); ++at) {
          const Source& source = (*all[i])[at];
          reported[i].push_back(source);
          if (source.kind() == Source::Kind::network) reportedResources[i].push_back(source.resource());
        }
      }
    }
    vellum::report(sourceReport, resourceReport, {&reported[0], &reported[1], &reported[2]},
                   {&reportedResources[0], &reportedResources[1], &reportedResources[2]});
  }
};

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
      bookkeeping_(std::make_shared<ExclusiveRunner>("A prefetcher's bookkeeping")),
      prefetchSources_(std::move(sources)),
      optionsInfo_(options),
      settled_(std::make_shared<Settled>()) {
  // A finished load is booked, and the next one started, on the thread it finished on: a turn of the queue
  // per load would keep every load of a run waiting for a worker to wake.
  optionsInfo_.callbackQueue = CallbackQueue::operationQueue(bookkeeping_);
  manager_ = VellumManager::make(optionsInfo_.downloader ? optionsInfo_.downloader : ImageDownloader::default_(),
                                 optionsInfo_.targetCache ? optionsInfo_.targetCache : ImageCache::defaultCache());
}

int ImagePrefetcher::maxConcurrentDownloads() const { return maxConcurrentDownloads_.load(); }
void ImagePrefetcher::setMaxConcurrentDownloads(int count) { maxConcurrentDownloads_.store(count); }

void ImagePrefetcher::post(std::function<void()> task) const { handIn(*prefetchQueue_, bookkeeping_, std::move(task)); }

void ImagePrefetcher::start() {
  post([self = shared_from_this()] { self->startOnQueue(); });
}

void ImagePrefetcher::stop() {
  post([self = shared_from_this()] { self->stopOnQueue(); });
}

bool ImagePrefetcher::finished() const {
  if (bookkeeping_->isCurrent()) return finishedOnQueue();
  std::promise<bool> answer;
  auto result = answer.get_future();
  // Handed in from the queue, so that it is answered after what start() and stop() asked before it. A runner
  // busy on another thread answers once its pieces in hand are done.
  prefetchQueue_->sync([&] { bookkeeping_->run([&] { answer.set_value(finishedOnQueue()); }); });
  return result.get();
}

std::string ImagePrefetcher::description() const {
  std::ostringstream text;
  text << static_cast<const void*>(this);
  return text.str();
}

bool ImagePrefetcher::finishedOnQueue() const {
  return settled_->count() == prefetchSources_.size() && tasks_.empty() && waiting_.empty() && releasing_ == 0;
}

void ImagePrefetcher::startOnQueue() {
  const int limit = maxConcurrentDownloads_.load();
  if (stopped_ || limit < 1 || prefetchSources_.empty()) return handleComplete();
  keepAlive_ = shared_from_this();
  const std::size_t batch = std::min<std::size_t>(static_cast<std::size_t>(limit), prefetchSources_.size());
  for (std::size_t i = 0; i < batch && nextPending_ < prefetchSources_.size(); ++i) {
    startPrefetching(prefetchSources_[nextPending_++]);
  }
  // A start after the run has ended finds nothing to do; it must not keep the prefetcher alive for it.
  if (finishedOnQueue()) handleComplete();
}

void ImagePrefetcher::stopOnQueue() {
  if (finishedOnQueue()) return;
  stopped_ = true;
  for (const auto& [id, holder] : tasks_) holder->cancel();
  // A source waiting for its retry has nothing running to cancel; it fails now, and its strategy's answer,
  // should one still come, finds nothing to act on. The run completes once each such wait is gone: its
  // strategy may be registering it on another thread at this very moment.
  auto waiting = std::move(waiting_);
  waiting_.clear();
  std::weak_ptr<ImagePrefetcher> weak = shared_from_this();
  for (auto& [id, entry] : waiting) {
    ++releasing_;
    entry.retry->cancel([weak, queue = prefetchQueue_, bookkeeping = bookkeeping_] {
      handIn(*queue, bookkeeping, [weak] {
        if (auto self = weak.lock()) self->waitReleased();
      });
    });
    settled_->append(&Settled::failed, entry.source);
  }
  if (!waiting.empty()) reportProgress();
  reportCompletionOrStartNext();
}

void ImagePrefetcher::waitReleased() {
  --releasing_;
  if (finishedOnQueue()) handleComplete();
}

void ImagePrefetcher::settle(SettledList list, const Source& source) {
  settled_->append(list, source);
  reportProgress();
  reportCompletionOrStartNext();
}

void ImagePrefetcher::startPrefetching(const Source& source) {
  if (optionsInfo_.forceRefresh) return startLoading(source, nullptr);
  // The processor's identifier is the application's code, and names the entries the source is looked up
  // and stored under: a source through one that throws has nowhere in the cache to go, and fails (a load
  // through it fails as well).
  std::string identifier;
  if (!callGuarded("A processor's identifier",
                   [&] { identifier = optionsInfo_.processor ? optionsInfo_.processor->identifier() : std::string(); })) {
    return settle(&Settled::failed, source);
  }
  const CacheType type = manager_->cache()->imageCachedType(source.cacheKey(), identifier, std::nullopt);
  switch (type) {
    case CacheType::none:
      return downloadAndCache(source);
    case CacheType::memory:
      return settle(&Settled::skipped, source);
    case CacheType::disk: {
      if (!optionsInfo_.alsoPrefetchToMemory) return settle(&Settled::skipped, source);
      auto context = std::make_shared<RetrievingContext>(optionsInfo_, source);
      auto self = shared_from_this();
      const bool willReport =
          manager_->retrieveFromCache(source, context, [self, source](const VellumManager::RetrieveResult& result) {
            if (result) return self->settle(&Settled::skipped, source);
            self->downloadAndCache(source);
          });
      if (!willReport) downloadAndCache(source);
      return;
    }
  }
}

void ImagePrefetcher::downloadAndCache(const Source& source) {
  if (optionsInfo_.onlyFromCache) return settle(&Settled::failed, source);
  startLoading(source, nullptr);
}

void ImagePrefetcher::startLoading(const Source& source, std::shared_ptr<RetryContext> retry) {
  if (stopped_) return settle(&Settled::failed, source);
  const std::uint64_t id = nextId_++;
  auto holder = std::make_shared<CancellationDownloadTask>();
  tasks_[id] = holder;
  // Held weakly: the options travel with the transfer's record, which the task in the holder keeps.
  auto loadOptions = VellumManager::optionsReportingDownloadTask(
      optionsInfo_, [weak = std::weak_ptr(holder)](std::shared_ptr<DownloadTask> task) {
        if (auto holder = weak.lock()) holder->setTask(std::move(task));
      });
  // Started from this prefetcher's queue alone: loads of other prefetchers start meanwhile, none waits for
  // another's start.
  auto self = shared_from_this();
  auto context = std::make_shared<RetrievingContext>(std::move(loadOptions), source);
  holder->setTask(manager_->loadAndCache(source, context, [self, id, source, retry](const VellumManager::RetrieveResult& result) {
    self->loadFinished(id, source, retry, result ? std::nullopt : std::optional<VellumError>(result.error()));
  }));
}

void ImagePrefetcher::loadFinished(std::uint64_t id, const Source& source, std::shared_ptr<RetryContext> retry,
                                   std::optional<VellumError> error) {
  tasks_.erase(id);
  if (!error) return settle(&Settled::completed, source);
  const auto& strategy = optionsInfo_.retryStrategy;
  if (!strategy || stopped_) return settle(&Settled::failed, source);
  if (retry) {
    retry->increaseRetryCount();
  } else {
    retry = std::make_shared<RetryContext>(source, *error);
  }
  waiting_.emplace(id, Waiting{source, retry});
  std::weak_ptr<ImagePrefetcher> weak = shared_from_this();
  // Only the first decision counts; a strategy that throws before it decides, or lets go of its handler
  // without deciding, has said stop. The strategy's thread never holds the prefetcher: it could be the last
  // to let go of it.
  auto decide = answerOnceOrWhenDropped<RetryDecision>(
      [weak, queue = prefetchQueue_, bookkeeping = bookkeeping_, id](RetryDecision decision) {
        handIn(*queue, bookkeeping, [weak, id, decision = std::move(decision)] {
          if (auto self = weak.lock()) self->decided(id, decision);
        });
      },
      RetryDecision::stop());
  // Asked away from the bookkeeping: a strategy may take its time to decide where it is called, and every
  // question, stop and booking of this prefetcher would wait for it meanwhile (as would the other work of
  // the thread the load finished on, often the one every image is decoded on). A stop meanwhile cancels the
  // context, which refuses or ends whatever wait the strategy makes through it.
  boost::asio::post(foundation::ThreadPool::shared(), [strategy, retry, decide] {
    if (!callGuarded("A retry strategy", [&] { strategy->retry(retry, decide); })) decide(RetryDecision::stop());
  });
}

void ImagePrefetcher::decided(std::uint64_t id, RetryDecision decision) {
  auto entry = waiting_.find(id);
  if (entry == waiting_.end()) return;  // settled meanwhile (stopped)
  Waiting waiting = std::move(entry->second);
  waiting_.erase(entry);
  if (decision.kind() == RetryDecision::Kind::stop || stopped_) return settle(&Settled::failed, waiting.source);
  waiting.retry->setUserInfo(decision.userInfo());
  startLoading(waiting.source, waiting.retry);
}

void ImagePrefetcher::reportProgress() {
  if (!progressBlock_ && !progressSourceBlock_) return;
  // Always posted: the bookkeeping may run on the main queue (a load that finished there), and a report run
  // inside it would be answered ahead of what it asks the prefetcher to do.
  CallbackQueue::mainAsync().execute([sourceBlock = progressSourceBlock_, block = progressBlock_, settled = settled_,
                                      lengths = settled_->lengths()] { settled->report(lengths, sourceBlock, block); });
}

void ImagePrefetcher::reportCompletionOrStartNext() {
  if (!stopped_ && nextPending_ < prefetchSources_.size()) {
    ++startsOwed_;
    return startOwed();
  }
  if (stopped_) {
    while (nextPending_ < prefetchSources_.size()) {
      settled_->append(&Settled::failed, prefetchSources_[nextPending_++]);
    }
  }
  if (finishedOnQueue()) handleComplete();
}

void ImagePrefetcher::startOwed() {
  // Started here rather than posted, saving a trip through the queue per source. A source settled during its
  // own start (a cache hit) lands back in reportCompletionOrStartNext: it is owed a start that the loop below
  // makes, so a long run of hits never recurses.
  if (starting_) return;
  starting_ = true;
  // A thread a load finished on (often the queue every image of the process is decoded on) starts one source
  // at most: a run of cached sources after it is this prefetcher's own work, and goes to its queue. (A piece
  // the queue hands in while that thread still runs pieces runs there too, and it starts one source as well.)
  const bool onQueue = prefetchQueue_->isCurrent();
  bool started = false;
  while (startsOwed_ > 0 && !stopped_ && nextPending_ < prefetchSources_.size()) {
    if (started && !onQueue) {
      starting_ = false;
      return post([self = shared_from_this()] { self->startOwed(); });
    }
    started = true;
    --startsOwed_;
    startPrefetching(prefetchSources_[nextPending_++]);
  }
  startsOwed_ = 0;
  starting_ = false;
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
  CallbackQueue::mainAsync().execute([sourceHandler, handler, settled = settled_, lengths = settled_->lengths()] {
    settled->report(lengths, sourceHandler, handler);
  });
}

}  // namespace vellum
