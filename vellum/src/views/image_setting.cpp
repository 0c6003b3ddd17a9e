#include "vellum/views/image_setting.hpp"

#include <utility>

#include "vellum/general/box.hpp"
#include "vellum/general/image_loading_progress_side_effect.hpp"
#include "vellum/image/image_progressive_provider.hpp"
#include "vellum/views/view.hpp"
#include "vellum/views/guarded_call.hpp"

namespace vellum {

TaskPropertyAccessor TaskSlotKeys::accessor() const {
  // The keys are statics of each family, so the closures refer to them instead of carrying copies.
  const TaskSlotKeys* keys = this;
  return TaskPropertyAccessor{
      [keys](AssociatedObjects& target, std::optional<std::uint64_t> identifier) {
        keys->setTaskIdentifier(target, identifier);
      },
      [keys](AssociatedObjects& target) { return keys->taskIdentifier(target); },
      [keys](AssociatedObjects& target, std::shared_ptr<DownloadTask> task) {
        target.setAssociatedObject(keys->task, std::move(task));
      },
      [keys](AssociatedObjects& target) { return keys->storedToken(target); },
      [keys](AssociatedObjects& target, std::shared_ptr<CancellationToken> token) {
        target.setAssociatedObject(keys->token, std::move(token));
      },
  };
}

std::optional<std::uint64_t> TaskSlotKeys::taskIdentifier(const AssociatedObjects& target) const {
  auto box = target.associatedObject<Box<std::uint64_t>>(identifier);
  if (!box) return std::nullopt;
  return box->value;
}

void TaskSlotKeys::setTaskIdentifier(AssociatedObjects& target, std::optional<std::uint64_t> value) const {
  VELLUM_REQUIRE_MAIN_QUEUE();
  if (value) {
    target.setAssociatedObject(identifier, std::make_shared<Box<std::uint64_t>>(*value));
  } else {
    target.removeAssociatedObject(identifier);
  }
}

std::shared_ptr<DownloadTask> TaskSlotKeys::storedTask(const AssociatedObjects& target) const {
  return target.associatedObject<DownloadTask>(task);
}

std::shared_ptr<CancellationToken> TaskSlotKeys::storedToken(const AssociatedObjects& target) const {
  return target.associatedObject<CancellationToken>(token);
}

void TaskSlotKeys::cancelDownloadTask(const AssociatedObjects& target) const {
  VELLUM_REQUIRE_MAIN_QUEUE();
  if (auto stored = storedTask(target)) stored->cancel();
  if (auto stored = storedToken(target)) stored->cancel();
}

VellumParsedOptionsInfo parsedViewOptions(const std::optional<VellumOptionsInfo>& options) {
  return options ? parsedViewOptions(*options) : parsedViewOptions(VellumOptionsInfo{});
}

VellumParsedOptionsInfo parsedViewOptions(const VellumOptionsInfo& options) {
  return VellumManager::shared()->parsedOptions(options);
}

std::optional<Source> sourceFrom(const Resource* resource) {
  if (!resource) return std::nullopt;
  return resource->convertToSource();
}

std::optional<Source> sourceFrom(const ImageDataProvider* provider) {
  if (!provider) return std::nullopt;
  return Source::provider(*provider);
}

namespace image_setting {

void cancelStoredToken(AssociatedObjects& target, const TaskPropertyAccessor& taskAccessor) {
  if (auto token = taskAccessor.getCancellationToken(target)) token->cancel();
}

void endWithoutSource(AssociatedObjects& target, const TaskPropertyAccessor& taskAccessor,
                      const RetrieveImageCompletion& completionHandler) {
  taskAccessor.setTaskIdentifier(target, std::nullopt);
  cancelStoredToken(target, taskAccessor);
  if (!completionHandler) return;
  guardedCall("A completion handler", [&] {
    completionHandler(RetrieveImageOutcome::failure(
        VellumError::imageSettingError({VellumError::ImageSettingErrorReason::EmptySource{}})));
  });
}

namespace {

VellumError notCurrent(const RetrieveImageOutcome& result, const Source& source) {
  VellumError::ImageSettingErrorReason::NotCurrentSourceTask reason;
  if (result) {
    reason.result = std::make_shared<const RetrieveImageResult>(result.value());
  } else {
    reason.error = std::make_exception_ptr(result.error());
  }
  reason.source = std::make_shared<const Source>(source);
  return VellumError::imageSettingError({std::move(reason)});
}

}  // namespace

namespace {

// One request with a source, shared by every closure that acts for it, so handing it around copies a pointer.
// Its fields are written on the main queue only.
struct Request {
  explicit Request(Source s) : source(std::move(s)) {}
  std::weak_ptr<AssociatedObjects> target;
  TaskPropertyAccessor tasks;
  std::uint64_t issuedIdentifier = 0;
  Source source;
  Steps steps;
  RetrieveImageCompletion completionHandler;
  DownloadProgressBlock progressBlock;
  std::shared_ptr<CancellationToken> token;
  std::shared_ptr<const ImageProgressive> progressive;
  // What the target showed before this request's first partial image; none until one is shown.
  std::optional<ImagePtr> shownBeforePartialImages;

  // A task is stored only while the slot still carries this request: a replaced request that retries must
  // not overwrite the task of the request that replaced it. REQUIRES: on the main queue.
  void storeIfCurrent(std::shared_ptr<DownloadTask> task) const {
    auto strong = target.lock();
    if (!strong || tasks.getTaskIdentifier(*strong) != issuedIdentifier) return;
    tasks.setTask(*strong, std::move(task));
  }

  // REQUIRES: on the main queue.
  void showPartialImage(const ImagePtr& image) {
    auto strong = target.lock();
    if (!strong) return;
    guardedCall("Setting a partial image", [&] {
      if (!shownBeforePartialImages) shownBeforePartialImages = steps.getImage(*strong);
      steps.setImage(*strong, image);
    });
  }

  // REQUIRES: on the main queue.
  void finish(const RetrieveImageOutcome& result) {
    // Partial images still being decoded or queued for the main queue would land on top of the result: the
    // token stops them. What the caller handed in is let go now, whoever else still holds this request on
    // another thread, so a caller that waits for its handler to be released (a builder) sees it at once.
    token->cancel();
    const RetrieveImageCompletion handler = std::exchange(completionHandler, nullptr);
    progressBlock = nullptr;
    auto tell = [&handler](const RetrieveImageOutcome& outcome) {
      if (handler) guardedCall("A completion handler", [&] { handler(outcome); });
    };
    auto strong = target.lock();
    if (!strong) return tell(result);
    if (steps.onFinish) guardedCall("An indicator's stop", steps.onFinish);
    if (tasks.getTaskIdentifier(*strong) != issuedIdentifier) {
      return tell(RetrieveImageOutcome::failure(notCurrent(result, source)));
    }
    tasks.setTask(*strong, nullptr);
    tasks.setTaskIdentifier(*strong, std::nullopt);
    guardedCall("Setting a loaded image", [&] {
      // A partial image is not the image: a failure takes the target back to what it showed before (its
      // placeholder, say), and a failure image, if any, goes on top.
      if (!result && shownBeforePartialImages) steps.setImage(*strong, *shownBeforePartialImages);
      steps.applyResult(*strong, result);
    });
    tell(result);
  }
};

}  // namespace

namespace {

// A memory hit whose answer would come back at once (on this, the main queue) ends the request during the
// call, as a request that Request::finish ends at once would: the previous request's token is cancelled,
// the slot's identifier and task are cleared, then the target gets the image and the caller the result.
// Nothing else is made for it: its identifier is taken but never stored (nothing can read the slot in
// between), and the token it would hold is the previous request's, cancelled, which no one can tell from a
// new one cancelled on the spot. True when the request ended so.
bool finishFromMemory(AssociatedObjects& target, const Source& source, const VellumParsedOptionsInfo& options,
                      const RetrieveImageCompletion& completionHandler, const TaskPropertyAccessor& taskAccessor,
                      const Steps& steps) {
  if (!options.callbackQueue.runsAtOnce()) return false;
  auto hit = VellumManager::shared()->memoryCacheResult(source, source, options);
  if (!hit) return false;
  const RetrieveImageOutcome result = RetrieveImageOutcome::success(std::move(*hit));
  Source::Identifier::next();
  cancelStoredToken(target, taskAccessor);
  if (steps.onFinish) guardedCall("An indicator's stop", steps.onFinish);
  taskAccessor.setTask(target, nullptr);
  taskAccessor.setTaskIdentifier(target, std::nullopt);
  guardedCall("Setting a loaded image", [&] { steps.applyResult(target, result); });
  if (completionHandler) guardedCall("A completion handler", [&] { completionHandler(result); });
  return true;
}

}  // namespace

std::shared_ptr<DownloadTask> start(const std::shared_ptr<AssociatedObjects>& target, const Source& source,
                                    VellumParsedOptionsInfo&& options, DownloadProgressBlock progressBlock,
                                    RetrieveImageCompletion completionHandler, const TaskPropertyAccessor& taskAccessor,
                                    Steps steps) {
  VELLUM_REQUIRE_MAIN_QUEUE();
  // finishFromMemory() has looked in the memory cache whenever the answer would come at once.
  const bool memoryChecked = options.callbackQueue.runsAtOnce();
  if (finishFromMemory(*target, source, options, completionHandler, taskAccessor, steps)) return nullptr;
  auto request = std::make_shared<Request>(source);
  request->target = target;
  request->tasks = taskAccessor;
  request->issuedIdentifier = Source::Identifier::next();
  request->steps = std::move(steps);
  request->completionHandler = std::move(completionHandler);
  request->progressBlock = std::move(progressBlock);
  request->token = std::make_shared<CancellationToken>();
  taskAccessor.setTaskIdentifier(*target, request->issuedIdentifier);
  cancelStoredToken(*target, taskAccessor);
  taskAccessor.setCancellationToken(*target, request->token);

  if (request->progressBlock) {
    if (!options.onDataReceived) options.onDataReceived.emplace();
    // Progress is reported on the main queue, where the request lets go of the block when it ends.
    options.onDataReceived->push_back(
        std::make_shared<ImageLoadingProgressSideEffect>([request](std::int64_t received, std::int64_t expected) {
          // A copy runs: a block that cancels its own load ends the request, which lets go of its block.
          if (const DownloadProgressBlock block = request->progressBlock) block(received, expected);
        }));
  }

  if (options.progressiveJPEG && request->steps.setImage) {
    request->progressive = options.progressiveJPEG;
    auto provider = ImageProgressiveProvider::make(options, [request](const ImagePtr& image) {
      // Partial images are shown on the main queue; one decoded just before a newer request started, or
      // before this one ended, is dropped there.
      CallbackQueue::mainCurrentOrAsync().execute([request, image] {
        if (request->token->isCancelled()) return;
        VellumManager::progressiveRefresh(image, *request->progressive,
                                          [&](const ImagePtr& shown) { request->showPartialImage(shown); });
      });
    });
    if (provider) {
      if (!options.onDataReceived) options.onDataReceived.emplace();
      options.onDataReceived->push_back(std::move(provider));
    }
  }

  std::function<bool()> stillWanted = [token = request->token] { return !token->isCancelled(); };
  if (options.onDataReceived) {
    for (auto& sideEffect : *options.onDataReceived) sideEffect->setOnShouldApply(stillWanted);
  }
  options.sourceTaskIdentifierChecker = stillWanted;

  VellumManager::DownloadTaskUpdated taskUpdated;
  if (request->steps.storesReportedTasks) {
    taskUpdated = [request](const std::shared_ptr<DownloadTask>& task) {
      CallbackQueue::mainCurrentOrAsync().execute([request, task] { request->storeIfCurrent(task); });
    };
  }
  VellumManager::Completion finish = [request](const RetrieveImageOutcome& result) {
    CallbackQueue::mainCurrentOrAsync().execute([request, result] { request->finish(result); });
  };

  auto manager = VellumManager::shared();
  auto context = std::make_shared<RetrievingContext>(std::move(options), source);
  // The context keeps the attempt's task, whose cancel path holds this closure: the closure lets go of the
  // context once it has run, so a finished request frees its target's completion handler (and a builder).
  auto heldContext = std::make_shared<std::shared_ptr<RetrievingContext>>(context);
  auto task = manager->retrieveImageInContext(
      source, context, taskUpdated, false,
      [manager, request, heldContext, taskUpdated, finish](const VellumManager::RetrieveResult& result) {
        auto attempted = std::exchange(*heldContext, nullptr);
        if (attempted) manager->retrieveAttemptFinished(result, request->source, attempted, taskUpdated, finish);
      },
      memoryChecked);
  request->storeIfCurrent(task);
  return task;
}

}  // namespace image_setting

std::shared_ptr<DownloadTask> setImage(const std::shared_ptr<AssociatedObjects>& target,
                                       const std::optional<Source>& source, const ImagePtr& placeholder,
                                       VellumParsedOptionsInfo options, DownloadProgressBlock progressBlock,
                                       RetrieveImageCompletion completionHandler,
                                       const ImagePropertyAccessor& imageAccessor,
                                       const TaskPropertyAccessor& taskAccessor) {
  VELLUM_REQUIRE_MAIN_QUEUE();
  if (!source) {
    imageAccessor.setImage(*target, placeholder, options);
    image_setting::endWithoutSource(*target, taskAccessor, completionHandler);
    return nullptr;
  }
  if (!(options.keepCurrentImageWhileLoading && imageAccessor.getImage(*target))) {
    imageAccessor.setImage(*target, placeholder, options);
  }
  // The options the target's image setter is handed, shared by both steps rather than copied into each.
  auto shownWith = std::make_shared<const VellumParsedOptionsInfo>(options);
  image_setting::Steps steps;
  steps.setImage = [imageAccessor, shownWith](AssociatedObjects& t, const ImagePtr& image) {
    imageAccessor.setImage(t, image, *shownWith);
  };
  steps.getImage = imageAccessor.getImage;
  steps.applyResult = image_setting::showingResult(
      shownWith->onFailureImage, [imageAccessor, shownWith](AssociatedObjects& t, const ImagePtr& image, bool) {
        imageAccessor.setImage(t, image, *shownWith);
      });
  return image_setting::start(target, *source, std::move(options), std::move(progressBlock),
                              std::move(completionHandler), taskAccessor, std::move(steps));
}

}  // namespace vellum
