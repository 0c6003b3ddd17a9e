#pragma once
// The image-setting flow: what every `vl(object).setImage(...)` runs. It shows a placeholder, stamps the
// object with a fresh request identifier, asks the retrieval manager for the image and, on the main queue,
// puts the result into the object, but only while the object still exists and carries that identifier. A
// result for a replaced request never touches the object: its caller gets `notCurrentSourceTask`.
//
// Example (on the main queue), given std::shared_ptr<vellum::MenuItem> menuItem, const vellum::URL& url,
//                                   vellum::ImagePtr placeholder, std::function<void(std::string)> report:
//   std::shared_ptr<std::int64_t> percent = std::make_shared<std::int64_t>(0);
//   vl(menuItem).setImage(Source::network(VL::ImageResource(url)), placeholder,
//       VellumOptionsInfo{VellumOptionsInfoItem::transition(ImageTransition::fade(0.25))},
//       [percent](std::int64_t received, std::int64_t expected) {
//         if (expected > 0) *percent = received * 100 / expected;
//       },
//       [report](const RetrieveImageOutcome& outcome) {
//         if (!outcome) report(outcome.error().what());
//       });
//
// The flow reaches its target only through two accessors (the image, and the request bookkeeping), so one
// flow serves every kind of object and every image slot of an object (a button has two). The bookkeeping of
// a slot lives on the object itself (AssociatedObjects) under keys of that slot's own.
//
// Thread rule: main queue only; the completion handler and the progress block are called there. Lifetime: a
// request holds its target weakly and locks it only on the main queue, so no worker thread is ever the last
// owner of a view.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "foundation/result.hpp"
#include "vellum/general/associated_objects.hpp"
#include "vellum/general/cancellation_token.hpp"
#include "vellum/networking/download_task.hpp"
#include "vellum/image/image.hpp"
#include "vellum/sources/image_data_provider.hpp"
#include "vellum/general/options.hpp"
#include "vellum/sources/resource.hpp"
#include "vellum/sources/source.hpp"
#include "vellum/general/vellum_error.hpp"
#include "vellum/retrieval/vellum_manager.hpp"

namespace vellum {

using RetrieveImageOutcome = foundation::Result<RetrieveImageResult, VellumError>;
using RetrieveImageCompletion = std::function<void(const RetrieveImageOutcome&)>;
using DownloadProgressBlock = std::function<void(std::int64_t receivedSize, std::int64_t expectedSize)>;

struct ImagePropertyAccessor {
  std::function<void(AssociatedObjects& target, ImagePtr image, const VellumParsedOptionsInfo& options)> setImage;
  std::function<ImagePtr(AssociatedObjects& target)> getImage;
};

struct TaskPropertyAccessor {
  std::function<void(AssociatedObjects& target, std::optional<std::uint64_t> identifier)> setTaskIdentifier;
  std::function<std::optional<std::uint64_t>(AssociatedObjects& target)> getTaskIdentifier;
  std::function<void(AssociatedObjects& target, std::shared_ptr<DownloadTask> task)> setTask;
  std::function<std::shared_ptr<CancellationToken>(AssociatedObjects& target)> getCancellationToken;
  std::function<void(AssociatedObjects& target, std::shared_ptr<CancellationToken> token)> setCancellationToken;
};

// The three keys of one image slot's bookkeeping. Each family (plain image holders, the image view, each of
// the button's slots, the text attachment, the live-photo view) has its own.
struct TaskSlotKeys {
  const void* identifier;
  const void* task;
  const void* token;

  TaskPropertyAccessor accessor() const;
  std::optional<std::uint64_t> taskIdentifier(const AssociatedObjects& target) const;
  void setTaskIdentifier(AssociatedObjects& target, std::optional<std::uint64_t> identifier) const;
  std::shared_ptr<DownloadTask> storedTask(const AssociatedObjects& target) const;
  std::shared_ptr<CancellationToken> storedToken(const AssociatedObjects& target) const;
  // Cancels the stored task, then the stored token; clears nothing.
  void cancelDownloadTask(const AssociatedObjects& target) const;
};

// The options a view operation starts from: the shared manager's default options, then `options`.
VellumParsedOptionsInfo parsedViewOptions(const std::optional<VellumOptionsInfo>& options);
VellumParsedOptionsInfo parsedViewOptions(const VellumOptionsInfo& options);
// A nil resource or provider stays nil; a resource becomes a source by its own conversion (a file URL a
// local-file provider).
std::optional<Source> sourceFrom(const Resource* resource);
std::optional<Source> sourceFrom(const ImageDataProvider* provider);

// The shared flow for one target and one image slot. Returns the request's task (none for a nil source, a
// memory-cache hit, or a request that completed during the call).
// REQUIRES: on the main queue.
std::shared_ptr<DownloadTask> setImage(const std::shared_ptr<AssociatedObjects>& target,
                                       const std::optional<Source>& source, const ImagePtr& placeholder,
                                       VellumParsedOptionsInfo options, DownloadProgressBlock progressBlock,
                                       RetrieveImageCompletion completionHandler,
                                       const ImagePropertyAccessor& imageAccessor,
                                       const TaskPropertyAccessor& taskAccessor);

namespace image_setting {

// The variant points of the flow. The image view and the text attachment run the same steps as every other
// object with these filled in differently.
struct Steps {
  // Shows an image as it is, placeholder untouched: a partial image of a progressive download, or, when
  // the request fails, what the target showed before its first partial image. Without it no partial image
  // is shown. Called on the main queue while the target lives.
  std::function<void(AssociatedObjects& target, const ImagePtr& image)> setImage;
  // The image the target shows now. Called on the main queue while the target lives.
  std::function<ImagePtr(AssociatedObjects& target)> getImage;
  // When the request ends and the target lives, before the currency check (the image view stops its
  // indicator here, whether or not the request is still current).
  std::function<void()> onFinish;
  // Puts a current request's final result into the target (identifier and task already cleared).
  std::function<void(AssociatedObjects& target, const RetrieveImageOutcome& result)> applyResult;
  // Whether tasks reported by the manager after the call (retries, alternative sources) are stored.
  bool storesReportedTasks = true;
};

// The last step most targets take: a result's image is shown, and so is the failure image when a request
// fails and the options name one; otherwise a failure leaves the target showing what it shows.
// `show(target, image, fromResult)` puts the image in the target; `fromResult` is false for the failure
// image. Without a failure image the step holds only `show`: a stateless one makes it allocate nothing.
template <class Show>
std::function<void(AssociatedObjects&, const RetrieveImageOutcome&)> showingResult(
    const std::optional<ImagePtr>& onFailureImage, Show show) {
  if (!onFailureImage) {
    return [show](AssociatedObjects& target, const RetrieveImageOutcome& result) {
      if (result) show(target, result.value().image, true);
    };
  }
  return [show, failureImage = *onFailureImage](AssociatedObjects& target, const RetrieveImageOutcome& result) {
    if (result) {
      show(target, result.value().image, true);
    } else {
      show(target, failureImage, false);
    }
  };
}

// Steps 3 onwards of the flow with a source: the identifier, the token, the side effects, the manager call
// and the completion. The options record is large and most requests end here from memory: it is taken as
// it is handed over and moved once, into the retrieval, only when one is made. REQUIRES: on the main queue.
std::shared_ptr<DownloadTask> start(const std::shared_ptr<AssociatedObjects>& target, const Source& source,
                                    VellumParsedOptionsInfo&& options, DownloadProgressBlock progressBlock,
                                    RetrieveImageCompletion completionHandler, const TaskPropertyAccessor& taskAccessor,
                                    Steps steps);

// Cancels the token a slot holds from its previous request, so that request's progress reports and partial
// images stop, without touching its download.
void cancelStoredToken(AssociatedObjects& target, const TaskPropertyAccessor& taskAccessor);

// The end of a request with a nil source, once its placeholder is shown: the slot's identifier is cleared,
// the previous request's token cancelled (so it stops reporting progress and partial images to a caller
// that cleared it; its download is left alone) and `emptySource` reported at once.
void endWithoutSource(AssociatedObjects& target, const TaskPropertyAccessor& taskAccessor,
                      const RetrieveImageCompletion& completionHandler);

}  // namespace image_setting

}  // namespace vellum
