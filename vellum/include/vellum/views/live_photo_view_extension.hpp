#pragma once
// Loading a live photo into a live-photo view: the retrieval manager loads and caches every file of the live
// photo, then the view's assembler makes a live photo of the files at the view's target size and content
// mode, and the view shows it. Only the latest request may touch the view.
//
// Example (on the main queue), given std::shared_ptr<vellum::LivePhotoView> view, std::vector<vellum::URL> urls:
//   vellum::vl(view).setTargetSize({300, 200});
//   auto task = vellum::vl(view).setImage(vellum::LivePhotoSource(urls), std::nullopt,
//       [](const vellum::RetrieveLivePhotoOutcome& /*outcome*/) { /* on the main queue */ });
//   if (task) task->cancel();   // while the files load: the completion gets the download's cancellation
//
// The completion handler is called exactly once per request, on the main queue: with the final live photo,
// with an error, or with `notCurrentLivePhotoSourceTask` once a newer request has taken the view. Degraded
// versions update the view without completing; answers after the completion change nothing.
//
// Thread rule: main queue only. Lifetime: a request holds the view weakly; a view released while loading
// still has its live photo requested and its completion called.
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "foundation/result.hpp"
#include "vellum/views/image_setting.hpp"
#include "vellum/views/live_photo.hpp"
#include "vellum/sources/live_photo_source.hpp"
#include "vellum/views/live_photo_view.hpp"
#include "vellum/retrieval/vellum_manager.hpp"
#include "vellum/general/vellum_wrapper.hpp"

namespace vellum {

struct RetrieveLivePhotoResult {
  LivePhotoLoadingInfoResult loadingInfo;
  std::shared_ptr<const LivePhoto> livePhoto;
  // Absent before the assembler has answered.
  std::optional<LivePhotoInfo> info;
};

using RetrieveLivePhotoOutcome = foundation::Result<RetrieveLivePhotoResult, VellumError>;
using RetrieveLivePhotoCompletion = std::function<void(const RetrieveLivePhotoOutcome&)>;

// The handle of one live-photo request. Cancelling it while the files load cancels their downloads (the
// completion then gets the downloader's cancellation); once the files are loaded it changes nothing.
// Threads: any.
class LivePhotoTask {
 public:
  void cancel();
  bool isCancelled() const;

  // The download of one file has started.
  void downloadStarted(std::shared_ptr<DownloadTask> task);
  // Every file is loaded: cancelling is too late from here on.
  void filesLoaded();

 private:
  mutable std::mutex lock_;  // guards the fields below
  std::vector<std::shared_ptr<DownloadTask>> downloads_;
  bool cancelled_ = false;
  bool loaded_ = false;
};

struct LivePhotoViewLoading {
  // REQUIRES: on the main queue (every function here).
  static std::shared_ptr<LivePhotoTask> setImage(const std::shared_ptr<LivePhotoView>& view,
                                                 const std::optional<LivePhotoSource>& source,
                                                 const std::optional<VellumOptionsInfo>& options,
                                                 RetrieveLivePhotoCompletion completionHandler);
  static std::optional<std::uint64_t> taskIdentifier(const LivePhotoView& view);
  // Zero when never set.
  static Size targetSize(const LivePhotoView& view);
  static void setTargetSize(LivePhotoView& view, Size size);
  // Aspect fit (raw value 0) when never set.
  static LivePhotoContentMode contentMode(const LivePhotoView& view);
  static void setContentMode(LivePhotoView& view, LivePhotoContentMode mode);
  // The shared default assembler when never set.
  static std::shared_ptr<LivePhotoAssembler> assembler(const LivePhotoView& view);
  static void setAssembler(LivePhotoView& view, std::shared_ptr<LivePhotoAssembler> assembler);
};

template <VellumCompatibleObject Base>
  requires std::derived_from<Base, LivePhotoView>
class VellumWrapper<Base> : public VellumObjectWrapper<Base> {
 public:
  using VellumObjectWrapper<Base>::VellumObjectWrapper;

  // None for a nil source (reported as `emptySource` at once).
  std::shared_ptr<LivePhotoTask> setImage(const std::optional<LivePhotoSource>& source,
                                          const std::optional<VellumOptionsInfo>& options = std::nullopt,
                                          RetrieveLivePhotoCompletion completionHandler = nullptr) {
    return LivePhotoViewLoading::setImage(this->base, source, options, std::move(completionHandler));
  }
  std::shared_ptr<LivePhotoTask> setImage(const std::vector<URL>& urls,
                                          const std::optional<VellumOptionsInfo>& options = std::nullopt,
                                          RetrieveLivePhotoCompletion completionHandler = nullptr) {
    return setImage(LivePhotoSource(urls), options, std::move(completionHandler));
  }

  std::optional<std::uint64_t> taskIdentifier() const { return LivePhotoViewLoading::taskIdentifier(*this->base); }
  Size targetSize() const { return LivePhotoViewLoading::targetSize(*this->base); }
  void setTargetSize(Size size) { LivePhotoViewLoading::setTargetSize(*this->base, size); }
  LivePhotoContentMode contentMode() const { return LivePhotoViewLoading::contentMode(*this->base); }
  void setContentMode(LivePhotoContentMode mode) { LivePhotoViewLoading::setContentMode(*this->base, mode); }
  std::shared_ptr<LivePhotoAssembler> assembler() const { return LivePhotoViewLoading::assembler(*this->base); }
  void setAssembler(std::shared_ptr<LivePhotoAssembler> a) {
    LivePhotoViewLoading::setAssembler(*this->base, std::move(a));
  }
};

}  // namespace vellum
