#pragma once
// VellumManager: one call turns a Source into an image. It looks in the cache, else processes an original
// kept in the original cache, else downloads (network sources) or asks the provider (provider sources),
// stores what it made, and answers once on the options' callback queue. Failed attempts are retried by the
// options' retry strategy, then the low-data source and the alternative sources are tried in order.
//
// Example, given const vellum::URL& url, std::function<void(vellum::ImagePtr)> show:
//   auto task = VellumManager::shared()->retrieveImage(
//       Source::network(VL::ImageResource(url)), VellumOptionsInfo{VellumOptionsInfoItem::forceRefresh()},
//       nullptr, [show](const VellumManager::RetrieveResult& r) { if (r) show(r.value().image); });
//   // No task when the memory cache answered during the call: there is nothing left to cancel.
//   if (task) task->cancel();   // ends the retrieval: the completion gets the cancellation, no alternative is tried
//
// The road of one attempt (`retrieveImageInContext`), in order:
//   1. `forceRefresh` skips the cache.
//   2. The target cache (else this manager's) under `Source::cacheKey` and the processor's identifier.
//   3. With a processor of a non-empty identifier, an original kept under the bare key in the original cache
//      (else the target cache) is processed; one processing per key and processor runs at a time, and the
//      callers that come meanwhile share its image.
//   4. With `onlyFromCache`, a miss fails with `imageNotExisting` (code 3006).
//   5. `loadAndCache`: the download or the provider's data, processed by the options' processor, stored in
//      the target cache (memory, and disk unless `cacheMemoryOnly`); with `cacheOriginalImage` and a
//      processor, the original bytes also under the bare key. `waitForCache` holds the completion until the
//      stores are done. The image modifier changes only the image handed to the caller.
//
// After a failed attempt (`retrieveAttemptFinished`):
//   - a cancellation ends the chain at once, with the cancellation;
//   - the retry strategy is asked, with one RetryContext per source, its count raised on each later failure,
//     on the shared pool (never on the thread the attempt ended on, which may serve other retrievals);
//   - for a constrained-network failure, the low-data source is tried once;
//   - then the alternative sources, in order.
//   The low-data and alternative sources are each started on the shared pool, never inside the failed call.
//   Without alternative sources the caller gets the last source's own error. With them, when every one has
//   failed, the caller gets `alternativeSourcesExhausted` listing one PropagationError per failed source in the
//   order they were tried, the first source's error first.
//
// Cancelling any handle of a retrieval (the one returned, or one reported through the task callback) ends
// the whole retrieval: the running attempt is cancelled, a retry that waits (for a delay, for the network),
// a disk read or a processing of the original stops being waited for, and the completion receives the
// cancellation at once, exactly once.
//
// A retrieval whose options' `sourceTaskIdentifierChecker` says its request is no longer wanted downloads
// nothing: instead of loading it answers `notCurrentSourceTask` (with the source, no result and no error)
// and, as after a cancel, tries nothing more. One that stops being wanted while its download runs is
// answered so when the download ends, and stores nothing.
//
// Many retrievals may join one download (one transfer per URL): the image it brings is stored once per
// cache, key and medium (memory, or memory and disk) for the whole download, by the first of them; the
// others find it there (and with `waitForCache`, wait for that store).
//
// Application code the manager calls is guarded: a completion, a task report or an image modifier that
// throws is logged and changes nothing for anyone else; a retry strategy that throws has said stop; a
// `sourceTaskIdentifierChecker` that throws has said the request is no longer wanted.
//
// Threads: every member may be called from any thread. Completions run on the options' callback queue.
// Lifetime: a retrieval holds the manager, its caches and downloader until it has answered.
#include <atomic>
#include <filesystem>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <stop_token>
#include <string>
#include <unordered_map>
#include <vector>

#include "foundation/bytes.hpp"
#include "foundation/result.hpp"
#include "vellum/networking/download_task.hpp"
#include "vellum/cache/image_cache.hpp"
#include "vellum/networking/image_downloader.hpp"
#include "vellum/image/image_progressive.hpp"
#include "vellum/sources/live_photo_source.hpp"
#include "vellum/networking/network_metrics.hpp"
#include "vellum/general/options.hpp"
#include "vellum/networking/retry_strategy.hpp"
#include "vellum/sources/source.hpp"
#include "vellum/general/vellum_error.hpp"

namespace vellum {

struct RetrieveImageResult {
  // Made member by member: built as an aggregate, the whole record (most of it the room for metrics a
  // memory hit never has) was cleared before being filled, on every hit.
  RetrieveImageResult(ImagePtr shown, CacheType from, Source loaded, Source asked,
                      std::optional<foundation::Bytes> bytes = std::nullopt,
                      std::optional<NetworkMetrics> measured = std::nullopt)
      : image(std::move(shown)), cacheType(from), source(std::move(loaded)), originalSource(std::move(asked)),
        data(std::move(bytes)), metrics(std::move(measured)) {}
  // Only the manager makes one: a memory hit answered during the call names one source twice, and
  // `originalSource` then reads `source`'s payload rather than counting it a second time. Such a record
  // reaches application code only by const reference; its copies hold the payload as any source does.
  class SameSource {
    friend class VellumManager;
    SameSource() = default;
  };
  RetrieveImageResult(SameSource, ImagePtr shown, CacheType from, const Source& loaded)
      : image(std::move(shown)), cacheType(from), source(loaded), originalSource(Source::borrowing(source)) {}

  ImagePtr image;
  CacheType cacheType = CacheType::none;
  Source source;
  Source originalSource;
  std::optional<foundation::Bytes> data;  // the bytes downloaded or provided; none from the cache
  std::optional<NetworkMetrics> metrics;
};

struct PropagationError {
  Source source;
  VellumError error;
};

struct LivePhotoLoadingInfoResult {
  std::vector<std::filesystem::path> fileURLs;  // one per resource, in the source's order
  CacheType cacheType = CacheType::none;        // disk when every file was already on disk
  LivePhotoSource source;
  LivePhotoSource originalSource;
  // Reads the files; throws std::filesystem::filesystem_error when one cannot be read (gone, or no longer a
  // regular file).
  std::function<std::vector<foundation::Bytes>()> data;
};

// The state of one retrieval across its retries and alternative sources.
class RetrievingContext {
 public:
  RetrievingContext(VellumParsedOptionsInfo options, Source originalSource);

  // The options the retrieval was asked with, less their alternative sources: the context keeps those.
  const VellumParsedOptionsInfo options;
  const Source originalSource;

  std::vector<PropagationError> propagationErrors() const;
  bool isCancelled() const;

 private:
  friend class VellumManager;
  using Completion = std::function<void()>;

  // Whether the retrieval was given alternative sources (tried or not).
  bool hasAlternatives() const;
  std::optional<Source> popAlternativeSource();
  std::shared_ptr<RetryContext> retryContext(const Source& source, const VellumError& error, bool& isNew);
  void appendError(PropagationError error);
  // Runs `deliver` unless the retrieval has already answered; true when it ran.
  bool finishOnce(const std::function<void()>& deliver);
  void setCurrentTask(std::shared_ptr<DownloadTask> task);
  // Waits are registered so that a cancel can end them and answer in their place. One wait at a time: a
  // retry's (`retry` set), or one on the cache or on processing.
  void beginWait(std::shared_ptr<RetryContext> retry, std::function<void()> answerCancelled);
  void endWait();
  // A wait on the cache or on processing: the returned claim goes to whichever of its end
  // (`endCancellableWait`, true when the wait won and must answer) and a cancel comes first.
  std::shared_ptr<std::atomic<bool>> beginCancellableWait(std::function<void()> answerCancelled);
  bool endCancellableWait(const std::shared_ptr<std::atomic<bool>>& claim);
  void cancel();

  using Alternatives = std::optional<std::vector<std::shared_ptr<const Source>>>;
  RetrievingContext(std::pair<VellumParsedOptionsInfo, Alternatives> split, Source originalSource);

  mutable std::mutex lock_;  // guards the fields below
  Alternatives alternatives_;
  std::size_t nextAlternative_ = 0;
  bool lowDataTried_ = false;
  // One a source that failed with a retry strategy set; looked up at every failure, so by hash: a long list of
  // alternatives would otherwise compare each source with all those before it.
  std::unordered_map<Source, std::shared_ptr<RetryContext>> retryContexts_;
  std::vector<PropagationError> errors_;
  std::shared_ptr<DownloadTask> currentTask_;
  std::shared_ptr<RetryContext> waitingRetry_;
  std::function<void()> answerCancelled_;
  bool cancelled_ = false;
  bool finished_ = false;
};

class VellumManager : public std::enable_shared_from_this<VellumManager> {
 public:
  using RetrieveResult = foundation::Result<RetrieveImageResult, VellumError>;
  using Completion = std::function<void(const RetrieveResult&)>;
  using DownloadTaskUpdated = std::function<void(const std::shared_ptr<DownloadTask>&)>;
  using LivePhotoProgress = std::function<void(std::int64_t receivedSize, std::int64_t totalSize)>;
  using LivePhotoCompletion = std::function<void(const foundation::Result<LivePhotoLoadingInfoResult, VellumError>&)>;

  // Over the default downloader and the default cache; made on first use, never released. The default cache
  // is made only when a load uses it: loads that all name their own cache leave it unmade.
  static const std::shared_ptr<VellumManager>& shared();
  static std::shared_ptr<VellumManager> make(std::shared_ptr<ImageDownloader> downloader,
                                             std::shared_ptr<ImageCache> cache);
  VellumManager(std::shared_ptr<ImageDownloader> downloader, std::shared_ptr<ImageCache> cache);

  // The cache of loads that name none.
  const std::shared_ptr<ImageCache>& cache() const;
  const std::shared_ptr<ImageDownloader>& downloader() const { return downloader_; }
  VellumOptionsInfo defaultOptions() const;
  void setDefaultOptions(VellumOptionsInfo options);

  // The whole retrieval: default options then `options`, one context, attempts and the chain after them.
  // Returns a handle that ends the retrieval; none when the memory cache answered during the call.
  std::shared_ptr<DownloadTask> retrieveImage(const Source& source, const std::optional<VellumOptionsInfo>& options,
                                              DownloadTaskUpdated downloadTaskUpdated, Completion completion);
  // The same with a list at hand, read where it is rather than copied into an optional.
  std::shared_ptr<DownloadTask> retrieveImage(const Source& source, const VellumOptionsInfo& options,
                                              DownloadTaskUpdated downloadTaskUpdated, Completion completion);
  std::future<RetrieveImageResult> retrieveImageAsync(const Source& source,
                                                      const std::optional<VellumOptionsInfo>& options);

  // One attempt on `source`, as the road above says. The returned handle cancels the whole retrieval of
  // `context`; none when the memory cache answered during the call. `downloadTaskUpdated` is kept for the
  // attempts that follow; `isAsync` is accepted for callers that pass it and changes nothing (every caller
  // passes false and every attempt is asynchronous already). `memoryChecked`: the caller has just looked in
  // the memory cache under the same options and missed, so the attempt does not look there again.
  std::shared_ptr<DownloadTask> retrieveImageInContext(const Source& source,
                                                       const std::shared_ptr<RetrievingContext>& context,
                                                       DownloadTaskUpdated downloadTaskUpdated, bool isAsync,
                                                       Completion completion, bool memoryChecked = false);
  // The step after an attempt; calls `completion` exactly once for the retrieval, with its final result.
  void retrieveAttemptFinished(const RetrieveResult& result, const Source& source,
                               const std::shared_ptr<RetrievingContext>& context,
                               DownloadTaskUpdated downloadTaskUpdated, Completion completion);

  // Loads `source` (download or provider), stores it as the options say and answers once. Returns the
  // download's or the provider's handle; cancelling it makes the completion a failure.
  std::shared_ptr<DownloadTask> loadAndCache(const Source& source, const std::shared_ptr<RetrievingContext>& context,
                                             Completion completion);
  // False when nothing usable is cached (the completion is not called); true when it will be called once.
  bool retrieveFromCache(const Source& source, const std::shared_ptr<RetrievingContext>& context,
                         Completion completion);
  // A copy of `options` whose request modifier also hands each DownloadTask the download makes to `report`.
  static VellumParsedOptionsInfo optionsReportingDownloadTask(const VellumParsedOptionsInfo& options,
                                                              std::function<void(std::shared_ptr<DownloadTask>)> report);

  // What an attempt on `source` answers from the memory cache, made at once on the calling thread: the
  // image (through the options' image modifier) with cache type `memory`; none when `forceRefresh` skips
  // the cache or memory does not hold the image. Nothing is scheduled and no handle is made, so callers
  // answer a memory hit before they make any retrieval state.
  std::optional<RetrieveImageResult> memoryCacheResult(const Source& source, const Source& originalSource,
                                                       const VellumParsedOptionsInfo& options) const;

  // Asks the progressive options which image to show and shows it through `setter`.
  static void progressiveRefresh(const ImagePtr& image, const ImageProgressive& progressive,
                                 const std::function<void(const ImagePtr&)>& setter);

  // Every resource from the disk cache or through the live-photo download, each stored on disk under its
  // file type's extension (read from the bytes when the type does not say); a resource whose file is already
  // on disk is answered from there (a type that names no extension is looked for under none, "heic" and
  // "mov"). `referenceTaskIdentifierChecker` is asked before each resource; false ends the load with
  // `livePhotoTaskCancelled`. Resources load one after another, in the source's order.
  void retrieveLivePhoto(const LivePhotoSource& source, const std::optional<VellumOptionsInfo>& options,
                         LivePhotoProgress progressBlock, std::function<bool()> referenceTaskIdentifierChecker,
                         LivePhotoCompletion completion);
  std::future<LivePhotoLoadingInfoResult> retrieveLivePhotoAsync(const LivePhotoSource& source,
                                                                 const std::optional<VellumOptionsInfo>& options,
                                                                 LivePhotoProgress progressBlock = nullptr,
                                                                 std::function<bool()> checker = nullptr);

  // The options a retrieval starts from: the default options, then `options`.
  VellumParsedOptionsInfo parsedOptions(const std::optional<VellumOptionsInfo>& options) const;
  VellumParsedOptionsInfo parsedOptions(const VellumOptionsInfo& options) const;

 private:
  // The image memory holds for `source` as the options look it up; null when `forceRefresh` skips the cache.
  ImagePtr memoryImage(const Source& source, const VellumParsedOptionsInfo& options) const;
  // The hit of `memoryCacheResult` answered to `completion` on the options' queue, its result made only
  // once; false, answering nothing, on a miss.
  bool answerFromMemory(const Source& source, const Source& originalSource, const VellumParsedOptionsInfo& options,
                        const Completion& completion) const;
  struct Coalescer;
  const std::shared_ptr<ImageCache>& targetCache(const VellumParsedOptionsInfo& options) const;
  const std::shared_ptr<ImageCache>& originalCache(const VellumParsedOptionsInfo& options) const;
  // retrieveImageInContext; `memoryChecked` when the caller has just looked in memory and missed.
  std::shared_ptr<DownloadTask> startAttempt(const Source& source, const std::shared_ptr<RetrievingContext>& context,
                                             const Completion& completion, bool memoryChecked);
  std::shared_ptr<DownloadTask> attempt(const Source& source, const std::shared_ptr<RetrievingContext>& context,
                                        Completion completion);
  bool lookUpCache(const Source& source, const std::shared_ptr<RetrievingContext>& context, Completion completion,
                   bool memoryChecked, bool& answeredNow);
  void processOriginal(const Source& source, const std::shared_ptr<RetrievingContext>& context,
                       Completion completion);
  std::shared_ptr<DownloadTask> loadFromNetwork(const Source& source, const std::shared_ptr<RetrievingContext>& context,
                                                Completion completion);
  std::shared_ptr<DownloadTask> loadFromProvider(const Source& source, const std::shared_ptr<RetrievingContext>& context,
                                                 Completion completion);
  // `stores`, for an image of a shared download: where its callers have stored it, so that each place is
  // stored once for the whole download.
  void cacheAndDeliver(const Source& source, const std::shared_ptr<RetrievingContext>& context, ImagePtr image,
                       std::optional<foundation::Bytes> original, std::optional<NetworkMetrics> metrics,
                       Completion completion, std::shared_ptr<TransferStoreLedger> stores = nullptr);
  void finishChain(const RetrieveResult& result, const Source& source,
                   const std::shared_ptr<RetrievingContext>& context, DownloadTaskUpdated downloadTaskUpdated,
                   Completion completion);
  void tryNextSource(const VellumError& error, const Source& source,
                     const std::shared_ptr<RetrievingContext>& context, DownloadTaskUpdated downloadTaskUpdated,
                     Completion completion);
  std::shared_ptr<DownloadTask> handleFor(const std::shared_ptr<RetrievingContext>& context,
                                          std::shared_ptr<DownloadTask> attemptTask);

  // The shared manager's: the cache comes from `makeCache` on first use.
  VellumManager(std::shared_ptr<ImageDownloader> downloader, std::function<std::shared_ptr<ImageCache>()> makeCache);

  const std::shared_ptr<ImageDownloader> downloader_;
  const std::function<std::shared_ptr<ImageCache>()> makeCache_;  // none when the cache was given
  mutable std::once_flag cacheMade_;
  mutable std::shared_ptr<ImageCache> cache_;  // written once, under `cacheMade_`, when made on first use
  const std::shared_ptr<Coalescer> coalescer_;
  mutable std::mutex optionsLock_;  // guards `defaultOptions_`
  std::shared_ptr<const VellumOptionsInfo> defaultOptions_ = std::make_shared<const VellumOptionsInfo>();
  // Most managers never get default options: their calls then take no lock to parse.
  std::atomic<bool> hasDefaultOptions_{false};
};

}  // namespace vellum
