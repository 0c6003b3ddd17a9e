#include "vellum/image_setting.hpp"

#include <utility>

#include "vellum/box.hpp"
#include "vellum/image_loading_progress_side_effect.hpp"
#include "vellum/image_progressive_provider.hpp"
#include "vellum/view.hpp"

namespace vellum {

TaskPropertyAccessor TaskSlotKeys::accessor() const {
  TaskSlotKeys keys = *this;
  return TaskPropertyAccessor{
      [keys](AssociatedObjects& target, std::optional<std::uint64_t> identifier) {
        keys.setTaskIdentifier(target, identifier);
      },
      [keys](AssociatedObjects& target) { return keys.taskIdentifier(target); },
      [keys](AssociatedObjects& target, std::shared_ptr<DownloadTask> task) {
        target.setAssociatedObject(keys.task, std::move(task));
      },
      [keys](AssociatedObjects& target) { return keys.storedToken(target); },
      [keys](AssociatedObjects& target, std::shared_ptr<CancellationToken> token) {
        target.setAssociatedObject(keys.token, std::move(token));
      },
  };
}

std::optional<std::uint64_t> TaskSlotKeys::taskIdentifier(const AssociatedObjects& target) const {
  auto box = target.associatedObject<Box<std::uint64_t>>(identifier);
  if (!box) return std::nullopt;
  return box->value;
}

void TaskSlotKeys::setTaskIdentifier(AssociatedObjects& target, std::optional<std::uint64_t> value) const {
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
  return VellumManager::shared()->parsedOptions(options.value_or(VellumOptionsInfo{}));
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

void reportEmptySource(const RetrieveImageCompletion& completionHandler) {
  if (!completionHandler) return;
  completionHandler(RetrieveImageOutcome::failure(
      VellumError::imageSettingError({VellumError::ImageSettingErrorReason::EmptySource{}})));
}

void cancelStoredToken(AssociatedObjects& target, const TaskPropertyAccessor& taskAccessor) {
  if (auto token = taskAccessor.getCancellationToken(target)) token->cancel();
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

std::shared_ptr<DownloadTask> start(const std::shared_ptr<AssociatedObjects>& target, const Source& source,
                                    VellumParsedOptionsInfo options, DownloadProgressBlock progressBlock,
                                    RetrieveImageCompletion completionHandler, const TaskPropertyAccessor& taskAccessor,
                                    Steps steps) {
  VELLUM_REQUIRE_MAIN_QUEUE();
  const std::uint64_t issuedIdentifier = Source::Identifier::next();
  taskAccessor.setTaskIdentifier(*target, issuedIdentifier);

  auto token = std::make_shared<CancellationToken>();
  cancelStoredToken(*target, taskAccessor);
  taskAccessor.setCancellationToken(*target, token);

  if (!options.onDataReceived) options.onDataReceived.emplace();
  if (progressBlock) {
    options.onDataReceived->push_back(std::make_shared<ImageLoadingProgressSideEffect>(std::move(progressBlock)));
  }

  std::weak_ptr<AssociatedObjects> weakTarget = target;
  if (options.progressiveJPEG && steps.setProgressiveImage) {
    auto progressive = options.progressiveJPEG;
    auto setProgressiveImage = steps.setProgressiveImage;
    auto provider = ImageProgressiveProvider::make(options, [weakTarget, token, progressive,
                                                             setProgressiveImage](const ImagePtr& image) {
      // Partial images are shown on the main queue; one decoded just before a newer request started is
      // dropped there.
      CallbackQueue::mainCurrentOrAsync().execute([weakTarget, token, progressive, setProgressiveImage, image] {
        if (token->isCancelled()) return;
        VellumManager::progressiveRefresh(image, *progressive, [&](const ImagePtr& shown) {
          if (auto strong = weakTarget.lock()) setProgressiveImage(*strong, shown);
        });
      });
    });
    if (provider) options.onDataReceived->push_back(std::move(provider));
  }

  auto stillWanted = [token] { return !token->isCancelled(); };
  for (auto& sideEffect : *options.onDataReceived) sideEffect->setOnShouldApply(stillWanted);
  options.sourceTaskIdentifierChecker = stillWanted;

  // A task is stored only while the slot still carries this request: a replaced request that retries must
  // not overwrite the task of the request that replaced it.
  auto storeIfCurrent = [weakTarget, taskAccessor, issuedIdentifier](std::shared_ptr<DownloadTask> task) {
    auto strong = weakTarget.lock();
    if (!strong || taskAccessor.getTaskIdentifier(*strong) != issuedIdentifier) return;
    taskAccessor.setTask(*strong, std::move(task));
  };

  VellumManager::DownloadTaskUpdated taskUpdated;
  if (steps.storesReportedTasks) {
    taskUpdated = [storeIfCurrent](const std::shared_ptr<DownloadTask>& task) {
      CallbackQueue::mainCurrentOrAsync().execute([storeIfCurrent, task] { storeIfCurrent(task); });
    };
  }

  auto finish = [weakTarget, taskAccessor, issuedIdentifier, source, steps,
                 completionHandler = std::move(completionHandler)](const RetrieveImageOutcome& result) {
    CallbackQueue::mainCurrentOrAsync().execute([weakTarget, taskAccessor, issuedIdentifier, source, steps,
                                                 completionHandler, result] {
      auto strong = weakTarget.lock();
      if (!strong) {
        if (completionHandler) completionHandler(result);
        return;
      }
      if (steps.onFinish) steps.onFinish();
      if (taskAccessor.getTaskIdentifier(*strong) != issuedIdentifier) {
        if (completionHandler) completionHandler(RetrieveImageOutcome::failure(notCurrent(result, source)));
        return;
      }
      taskAccessor.setTask(*strong, nullptr);
      taskAccessor.setTaskIdentifier(*strong, std::nullopt);
      steps.applyResult(*strong, result);
      if (completionHandler) completionHandler(result);
    });
  };

  auto manager = VellumManager::shared();
  auto context = std::make_shared<RetrievingContext>(options, source);
  // The context keeps the attempt's task, whose cancel path holds this closure: the closure lets go of the
  // context once it has run, so a finished request frees its target's completion handler (and a builder).
  auto heldContext = std::make_shared<std::shared_ptr<RetrievingContext>>(context);
  auto task = manager->retrieveImageInContext(
      source, context, taskUpdated, false,
      [manager, source, heldContext, taskUpdated, finish](const VellumManager::RetrieveResult& result) {
        auto attempted = std::exchange(*heldContext, nullptr);
        if (attempted) manager->retrieveAttemptFinished(result, source, attempted, taskUpdated, finish);
      });
  storeIfCurrent(task);
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
    taskAccessor.setTaskIdentifier(*target, std::nullopt);
    // The previous request must stop reporting progress and partial images to a caller that cleared it.
    image_setting::cancelStoredToken(*target, taskAccessor);
    image_setting::reportEmptySource(completionHandler);
    return nullptr;
  }
  if (!(options.keepCurrentImageWhileLoading && imageAccessor.getImage(*target))) {
    imageAccessor.setImage(*target, placeholder, options);
  }
  image_setting::Steps steps;
  steps.setProgressiveImage = [imageAccessor, options](AssociatedObjects& t, const ImagePtr& image) {
    imageAccessor.setImage(t, image, options);
  };
  steps.applyResult = [imageAccessor, options](AssociatedObjects& t, const RetrieveImageOutcome& result) {
    if (result) {
      imageAccessor.setImage(t, result.value().image, options);
    } else if (options.onFailureImage) {
      imageAccessor.setImage(t, *options.onFailureImage, options);
    }
  };
  return image_setting::start(target, *source, std::move(options), std::move(progressBlock),
                              std::move(completionHandler), taskAccessor, std::move(steps));
}

}  // namespace vellum
