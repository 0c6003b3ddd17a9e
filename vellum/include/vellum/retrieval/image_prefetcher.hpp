#pragma once
// ImagePrefetcher: loads a list of images into the cache ahead of need, a few at a time, and reports which
// were skipped (already cached), which failed and which completed.
//
// Example, given std::vector<vellum::URL> urls:
//   auto prefetcher = ImagePrefetcher::make(urls, VellumOptionsInfo{}, nullptr,
//       [](const auto& /*skipped*/, const auto& /*failed*/, const auto& /*completed*/) {
//         // once, on the main queue: the sources skipped (already cached), those that failed, those loaded
//       });
//   prefetcher->start();
//   prefetcher->stop();   // running loads are cancelled; they, the waiting and the pending ones fail
//
// `maxConcurrentDownloads` (5) sources are in flight at most: one more starts as each one settles. A source
// whose retry waits (for a delay, for the network) stays in flight until its strategy answers. `stop` does
// not wait for such a source: it cancels the wait and reports the source failed at once; a decision that
// comes later for it is ignored. A strategy that throws before it decides has decided to stop: its source
// fails and the run goes on. A report that throws is logged; the other report of the same moment still runs.
// A count below 1, or an empty list, completes at once with three empty lists.
//
// `make(urls)` turns file URLs into local-file providers and other URLs into network sources; providers
// appear only in the source reports, never in the resource reports.
//
// Threads: every member may be called from any thread. The bookkeeping runs one piece at a time: what a
// member asks for on the prefetcher's own serial queue; the booking of a finished load, and the start of one
// more source, on the thread the load finished on (the sources after it, on the queue). Reports are posted
// to the main queue, never run inside the bookkeeping.
// Lifetime: a running prefetcher keeps itself alive until it has completed; the completion is reported at
// most once.
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "foundation/serial_queue.hpp"
#include "vellum/networking/download_task.hpp"
#include "vellum/general/options.hpp"
#include "vellum/sources/resource.hpp"
#include "vellum/networking/retry_strategy.hpp"
#include "vellum/sources/source.hpp"
#include "vellum/sources/url.hpp"

namespace vellum {

class VellumManager;
class ExclusiveRunner;

class ImagePrefetcher : public std::enable_shared_from_this<ImagePrefetcher> {
 public:
  static constexpr const char* kPrefetchQueueLabel = "com.marrowby.Vellum.ImagePrefetcher.prefetchQueue";
  static constexpr const char* kRequestingQueueLabel = "com.marrowby.Vellum.ImagePrefetcher.requestingQueue";

  using Resources = std::vector<std::shared_ptr<const Resource>>;
  using Sources = std::vector<Source>;
  using ResourceReport = std::function<void(const Resources& skipped, const Resources& failed, const Resources& completed)>;
  using SourceReport = std::function<void(const Sources& skipped, const Sources& failed, const Sources& completed)>;

  static std::shared_ptr<ImagePrefetcher> make(const std::vector<URL>& urls,
                                               const std::optional<VellumOptionsInfo>& options = std::nullopt,
                                               ResourceReport progressBlock = nullptr,
                                               ResourceReport completionHandler = nullptr);
  static std::shared_ptr<ImagePrefetcher> make(const std::vector<std::shared_ptr<const Resource>>& resources,
                                               const std::optional<VellumOptionsInfo>& options = std::nullopt,
                                               ResourceReport progressBlock = nullptr,
                                               ResourceReport completionHandler = nullptr);
  static std::shared_ptr<ImagePrefetcher> make(const std::vector<Source>& sources,
                                               const std::optional<VellumOptionsInfo>& options = std::nullopt,
                                               SourceReport progressBlock = nullptr,
                                               SourceReport completionHandler = nullptr);

  ImagePrefetcher(std::vector<Source> sources, const std::optional<VellumOptionsInfo>& options);

  int maxConcurrentDownloads() const;
  void setMaxConcurrentDownloads(int count);

  void start();
  void stop();

  // True when every source has settled and no load runs, after what start() and stop() asked before it.
  // Waits for the bookkeeping; a report may ask it too (reports never run inside the bookkeeping).
  bool finished() const;
  // The prefetcher's address, as text ("0x7f3a5c0012a0"): tells instances apart in logs.
  std::string description() const;

 private:
  struct Waiting {
    Source source;
    std::shared_ptr<RetryContext> retry;
  };

  void startOnQueue();
  void stopOnQueue();
  void startPrefetching(const Source& source);
  void downloadAndCache(const Source& source);
  void startLoading(const Source& source, std::shared_ptr<RetryContext> retry);
  void loadFinished(std::uint64_t id, const Source& source, std::shared_ptr<RetryContext> retry,
                    std::optional<VellumError> error);
  void decided(std::uint64_t id, RetryDecision decision);
  // A wait cancelled by the stop is gone.
  void waitReleased();
  struct Settled;
  using SettledList = std::vector<Source> Settled::*;
  void settle(SettledList list, const Source& source);
  void reportProgress();
  void reportCompletionOrStartNext();
  void startOwed();
  void handleComplete();
  bool finishedOnQueue() const;
  // Runs `task` as a piece of the bookkeeping, after what the queue holds.
  void post(std::function<void()> task) const;

  const std::shared_ptr<foundation::SerialQueue> prefetchQueue_;
  const std::shared_ptr<ExclusiveRunner> bookkeeping_;
  // Fields below: only in the bookkeeping's pieces (the report closures are set before `start`).
  std::atomic<int> maxConcurrentDownloads_{5};
  const std::vector<Source> prefetchSources_;
  VellumParsedOptionsInfo optionsInfo_;
  std::shared_ptr<VellumManager> manager_;
  ResourceReport progressBlock_;
  ResourceReport completionHandler_;
  SourceReport progressSourceBlock_;
  SourceReport completionSourceHandler_;
  std::map<std::uint64_t, std::shared_ptr<CancellationDownloadTask>> tasks_;
  std::map<std::uint64_t, Waiting> waiting_;
  std::size_t releasing_ = 0;  // waits cancelled by the stop and not yet gone
  std::uint64_t nextId_ = 0;
  std::size_t nextPending_ = 0;
  std::size_t startsOwed_ = 0;  // starts asked for while a start was running
  bool starting_ = false;
  // The skipped, failed and completed sources, kept once for the bookkeeping and every report.
  const std::shared_ptr<Settled> settled_;
  bool stopped_ = false;
  std::shared_ptr<ImagePrefetcher> keepAlive_;  // set while a run is going
};

}  // namespace vellum
