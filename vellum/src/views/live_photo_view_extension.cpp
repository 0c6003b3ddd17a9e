#include "vellum/views/live_photo_view_extension.hpp"

#include <atomic>

#include "vellum/general/box.hpp"
#include "vellum/views/guarded_call.hpp"

namespace vellum {

namespace {

// Only the addresses matter; distinct variables have distinct addresses.
char kTaskIdentifierKey, kTargetSizeKey, kContentModeKey, kTokenKey, kAssemblerKey;

using Outcome = RetrieveLivePhotoOutcome;
using Reason = VellumError::ImageSettingErrorReason;

// One request's completion, called once whatever the manager and the assembler deliver afterwards.
class OnceCompletion {
 public:
  explicit OnceCompletion(RetrieveLivePhotoCompletion handler) : handler_(std::move(handler)) {}
  bool completed() const { return completed_.load(); }
  void operator()(const Outcome& outcome) {
    if (completed_.exchange(true)) return;
    if (handler_) guardedCall("A completion handler", [&] { handler_(outcome); });
  }

 private:
  RetrieveLivePhotoCompletion handler_;
  std::atomic<bool> completed_{false};
};

}  // namespace

void LivePhotoTask::cancel() {
  std::vector<std::shared_ptr<DownloadTask>> downloads;
  {
    std::lock_guard lock(lock_);
    if (cancelled_ || loaded_) return;
    cancelled_ = true;
    downloads.swap(downloads_);
  }
  for (auto& download : downloads) download->cancel();
}

bool LivePhotoTask::isCancelled() const {
  std::lock_guard lock(lock_);
  return cancelled_;
}

void LivePhotoTask::downloadStarted(std::shared_ptr<DownloadTask> task) {
  {
    std::lock_guard lock(lock_);
    if (!cancelled_) {
      downloads_.push_back(std::move(task));
      return;
    }
  }
  // A download that starts after the cancel is cancelled at once.
  task->cancel();
}

void LivePhotoTask::filesLoaded() {
  std::lock_guard lock(lock_);
  loaded_ = true;
  downloads_.clear();
}

std::optional<std::uint64_t> LivePhotoViewLoading::taskIdentifier(const LivePhotoView& view) {
  auto box = view.associatedObject<Box<std::uint64_t>>(&kTaskIdentifierKey);
  return box ? std::optional<std::uint64_t>(box->value) : std::nullopt;
}

Size LivePhotoViewLoading::targetSize(const LivePhotoView& view) {
  auto stored = view.associatedObject<Size>(&kTargetSizeKey);
  return stored ? *stored : Size{};
}

void LivePhotoViewLoading::setTargetSize(LivePhotoView& view, Size size) {
  VELLUM_REQUIRE_MAIN_QUEUE();
  view.setAssociatedObject(&kTargetSizeKey, std::make_shared<Size>(size));
}

LivePhotoContentMode LivePhotoViewLoading::contentMode(const LivePhotoView& view) {
  auto stored = view.associatedObject<LivePhotoContentMode>(&kContentModeKey);
  return stored ? *stored : LivePhotoContentMode::aspectFit;
}

void LivePhotoViewLoading::setContentMode(LivePhotoView& view, LivePhotoContentMode mode) {
  VELLUM_REQUIRE_MAIN_QUEUE();
  view.setAssociatedObject(&kContentModeKey, std::make_shared<LivePhotoContentMode>(mode));
}

std::shared_ptr<LivePhotoAssembler> LivePhotoViewLoading::assembler(const LivePhotoView& view) {
  auto box = view.associatedObject<Box<std::shared_ptr<LivePhotoAssembler>>>(&kAssemblerKey);
  if (box && box->value) return box->value;
  return DefaultLivePhotoAssembler::shared();
}

void LivePhotoViewLoading::setAssembler(LivePhotoView& view, std::shared_ptr<LivePhotoAssembler> assembler) {
  VELLUM_REQUIRE_MAIN_QUEUE();
  view.setAssociatedObject(&kAssemblerKey,
                           std::make_shared<Box<std::shared_ptr<LivePhotoAssembler>>>(std::move(assembler)));
}

std::shared_ptr<LivePhotoTask> LivePhotoViewLoading::setImage(const std::shared_ptr<LivePhotoView>& view,
                                                              const std::optional<LivePhotoSource>& source,
                                                              const std::optional<VellumOptionsInfo>& options,
                                                              RetrieveLivePhotoCompletion completionHandler) {
  VELLUM_REQUIRE_MAIN_QUEUE();
  if (!source) {
    view->setLivePhoto(nullptr);
    view->removeAssociatedObject(&kTaskIdentifierKey);
    if (completionHandler) {
      guardedCall("A completion handler", [&] {
        completionHandler(Outcome::failure(VellumError::imageSettingError({Reason::EmptySource{}})));
      });
    }
    return nullptr;
  }
  const std::uint64_t issued = Source::Identifier::next();
  view->setAssociatedObject(&kTaskIdentifierKey, std::make_shared<Box<std::uint64_t>>(issued));

  auto token = std::make_shared<CancellationToken>();
  if (auto previous = view->associatedObject<CancellationToken>(&kTokenKey)) previous->cancel();
  view->setAssociatedObject(&kTokenKey, token);

  const Size targetSize = LivePhotoViewLoading::targetSize(*view);
  const LivePhotoContentMode mode = contentMode(*view);
  auto assembler = LivePhotoViewLoading::assembler(*view);
  std::weak_ptr<LivePhotoView> weakView = view;
  auto sharedSource = std::make_shared<const LivePhotoSource>(*source);
  auto complete = std::make_shared<OnceCompletion>(std::move(completionHandler));

  // Nothing when the request is still the view's (or the view is gone); else the error that says it is not.
  auto staleness = [weakView, issued, sharedSource](std::shared_ptr<const RetrieveLivePhotoResult> result,
                                                    UnderlyingError error) -> std::optional<VellumError> {
    auto strong = weakView.lock();
    if (!strong || taskIdentifier(*strong) == issued) return std::nullopt;
    return VellumError::imageSettingError(
        {Reason::NotCurrentLivePhotoSourceTask{std::move(result), std::move(error), sharedSource}});
  };

  auto task = std::make_shared<LivePhotoTask>();
  auto manager = VellumManager::shared();
  VellumParsedOptionsInfo parsed = manager->parsedOptions(options);
  auto reporting = VellumManager::optionsReportingDownloadTask(
      parsed, [weakTask = std::weak_ptr<LivePhotoTask>(task)](std::shared_ptr<DownloadTask> download) {
        if (auto strong = weakTask.lock()) strong->downloadStarted(std::move(download));
      });
  VellumOptionsInfo items = options.value_or(VellumOptionsInfo{});
  items.push_back(VellumOptionsInfoItem::requestModifier(reporting.requestModifier));
  // The request goes on where it started: on the main queue.
  items.push_back(VellumOptionsInfoItem::callbackQueue(CallbackQueue::mainCurrentOrAsync()));

  auto onAssembled = [weakView, staleness, complete, sharedSource](const LivePhotoLoadingInfoResult& loaded,
                                                                   std::shared_ptr<const LivePhoto> livePhoto,
                                                                   const LivePhotoInfo& info) {
    // The assembler may answer again after the request has ended; those answers change nothing.
    if (complete->completed()) return;
    auto full = std::make_shared<const RetrieveLivePhotoResult>(RetrieveLivePhotoResult{loaded, livePhoto, info});
    if (auto stale = staleness(full, nullptr)) return (*complete)(Outcome::failure(*stale));
    if (auto strong = weakView.lock()) strong->setLivePhoto(livePhoto);
    if (info.error) {
      return (*complete)(
          Outcome::failure(VellumError::imageSettingError({Reason::LivePhotoResultError{full, info.error, sharedSource}})));
    }
    if (info.cancelled) {
      return (*complete)(Outcome::failure(
          VellumError::requestError(VellumError::RequestErrorReason::LivePhotoTaskCancelled{sharedSource})));
    }
    if (info.degraded) return;
    (*complete)(Outcome::success(*full));
  };

  manager->retrieveLivePhoto(
      *source, items, nullptr, [token] { return !token->isCancelled(); },
      [task, staleness, complete, assembler, targetSize, mode, onAssembled,
       sharedSource](const foundation::Result<LivePhotoLoadingInfoResult, VellumError>& loaded) {
        task->filesLoaded();
        if (!loaded) {
          auto error = loaded.error();
          if (auto stale = staleness(nullptr, std::make_exception_ptr(error))) {
            return (*complete)(Outcome::failure(*stale));
          }
          return (*complete)(Outcome::failure(error));
        }
        LivePhotoLoadingInfoResult info = loaded.value();
        auto partial = std::make_shared<const RetrieveLivePhotoResult>(RetrieveLivePhotoResult{info, nullptr, {}});
        if (auto stale = staleness(partial, nullptr)) return (*complete)(Outcome::failure(*stale));
        try {
          assembler->requestLivePhoto(
              info.fileURLs, nullptr, targetSize, mode,
              [info, onAssembled](std::shared_ptr<const LivePhoto> livePhoto, LivePhotoInfo assembled) {
                // Assemblers answer on threads of their own choosing; the view is touched on the main queue.
                CallbackQueue::mainCurrentOrAsync().execute([info, onAssembled, livePhoto, assembled] {
                  onAssembled(info, livePhoto, assembled);
                });
              });
        } catch (...) {
          // The assembler is the application's: what it throws instead of answering is this request's failure.
          (*complete)(Outcome::failure(VellumError::imageSettingError(
              {Reason::LivePhotoResultError{partial, std::current_exception(), sharedSource}})));
        }
      });
  return task;
}

}  // namespace vellum
