#pragma once
// ImageBinder: the loading state of one rendered declarative image. The renderer owns one per identity and
// reads its fields at each build; the binder starts one retrieval through the shared manager, and moves
// progress, partial images and the result onto its fields on the main queue, sending a will-change notice
// before each visible change. The context's delegates are told on the main queue, behind the field writes,
// also when the binder itself is gone by then. Partial images of a progressive download show only while the
// load runs, and a failure takes a partial image away: it is never reported as the loaded image.
//
// Each start has a number: results and progress of an earlier start (one that was cancelled when its row
// left the screen, say) write no field of a binder that has started again; their success or failure still
// reaches the delegates, and their progress does not, as for a binder that is gone. The number is the one
// field read off the main queue (by a completion delivered where its transfer ended), so it is atomic.
//
// Thread rule: main queue only (start() checks), the start number excepted.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "vellum/general/callback_queue.hpp"
#include "vellum/views/declarative_host.hpp"
#include "vellum/views/guarded_call.hpp"
#include "vellum/networking/download_task.hpp"
#include "vellum/general/image_loading_progress_side_effect.hpp"
#include "vellum/image/image_progressive_provider.hpp"
#include "vellum/retrieval/vellum_manager.hpp"
#include "vellum/views/vl_image_context.hpp"

namespace vellum {

class ImageBinder : public ObservableObject, public std::enable_shared_from_this<ImageBinder> {
 public:
  std::shared_ptr<DownloadTask> downloadTask;
  bool loading = false;
  bool loaded = false;
  bool animating = false;
  std::shared_ptr<Progress> progress = std::make_shared<Progress>();
  bool usesFailureImage = false;
  // Set by the renderer's first build that asks to start before appearing; later builds never start it.
  bool startBeforeAppearingAsked = false;

  const ImagePtr& loadedImage() const { return loadedImage_; }
  // REQUIRES: on the main queue (the writers below).
  void setLoadedImage(ImagePtr image) {
    VELLUM_REQUIRE_MAIN_QUEUE();
    sendWillChange();
    loadedImage_ = std::move(image);
    showsPartialImage_ = false;
  }
  const std::function<AnyView()>& failureView() const { return failureView_; }
  void setFailureView(std::function<AnyView()> view) {
    VELLUM_REQUIRE_MAIN_QUEUE();
    sendWillChange();
    failureView_ = std::move(view);
  }

  void markLoading() {
    VELLUM_REQUIRE_MAIN_QUEUE();
    loading = true;
  }
  // A start is on its way in a task of its own: from now on what earlier starts report is stale, as it would be
  // after the start itself, which takes the number given out here.
  void markStarting() {
    VELLUM_REQUIRE_MAIN_QUEUE();
    loading = true;
    ++startNumber_;
    startReserved_ = true;
  }
  void markLoaded(bool sendChangeEvent) {
    VELLUM_REQUIRE_MAIN_QUEUE();
    loaded = true;
    if (sendChangeEvent) sendWillChange();
  }

  // Shown: an image and loaded. Busy: loading, or holding an image.
  bool isShown() const { return loadedImage_ && loaded; }
  bool isBusy() const { return loading || loadedImage_ != nullptr; }
  std::uint64_t startNumber() const { return startNumber_.load(); }

  // REQUIRES: on the main queue.
  template <class HoldingView>
  void start(const std::shared_ptr<VLImageContext<HoldingView>>& context);

  // Runs `start` on the main queue after the starts asked for before it. A list that puts thousands of rows
  // on screen at once asks for thousands of starts in one rebuild: they run in slices of bounded time, each
  // slice a main-queue task that queues the next one behind whatever came meanwhile, so the queue keeps
  // answering other work between them. A start that throws costs only itself. REQUIRES: on the main queue.
  static void startInTurn(std::function<void()> start);

 private:
  // The binder to write for a step of start `number`: none once it is gone or has started again. Any thread.
  static std::shared_ptr<ImageBinder> current(const std::weak_ptr<ImageBinder>& weak, std::uint64_t number) {
    auto binder = weak.lock();
    return binder && binder->startNumber_.load() == number ? binder : nullptr;
  }
  template <class HoldingView>
  void succeed(const std::shared_ptr<VLImageContext<HoldingView>>& context, const RetrieveImageResult& value);
  template <class HoldingView>
  void fail(const std::shared_ptr<VLImageContext<HoldingView>>& context);

  ImagePtr loadedImage_;
  bool showsPartialImage_ = false;  // `loadedImage_` is a partial image of a progressive download
  std::function<AnyView()> failureView_;
  std::atomic<std::uint64_t> startNumber_{0};
  bool startReserved_ = false;  // main queue only: markStarting gave out the number the next start takes
};

template <class HoldingView>
void ImageBinder::start(const std::shared_ptr<VLImageContext<HoldingView>>& context) {
  VELLUM_REQUIRE_MAIN_QUEUE();
  const std::uint64_t number = startReserved_ ? startNumber_.load() : ++startNumber_;
  startReserved_ = false;
  std::weak_ptr<ImageBinder> weak = weak_from_this();
  if (!context->source) {
    CallbackQueue::mainCurrentOrAsync().execute([weak, context, number] {
      // The delegate is the application's: what it throws leaves the row failed all the same.
      guardedCall("A declarative image's failure delegate", [&] {
        context->onFailureDelegate->call(
            VellumError::imageSettingError(VellumError::ImageSettingErrorReason::EmptySource{}));
      });
      auto binder = current(weak, number);
      if (!binder) return;
      if (auto view = context->failureView()) {
        binder->setFailureView(std::move(view));
      } else if (auto failureImage = context->options().onFailureImage) {
        binder->usesFailureImage = true;
        binder->setLoadedImage(*failureImage);
      }
      binder->loading = false;
      binder->loaded = true;
    });
    return;
  }
  loading = true;
  progress = std::make_shared<Progress>();
  VellumParsedOptionsInfo options = context->options();
  auto sideEffects = options.onDataReceived.value_or(std::vector<std::shared_ptr<DataReceivingSideEffect>>{});
  sideEffects.push_back(std::make_shared<ImageLoadingProgressSideEffect>(
      [weak, context, number](std::int64_t received, std::int64_t expected) {
        auto binder = current(weak, number);
        if (!binder) return;
        binder->progress->totalUnitCount = expected;
        binder->progress->completedUnitCount = received;
        binder->sendWillChange();
        context->onProgressDelegate->call({received, expected});
      }));
  auto progressive = options.progressiveJPEG;
  // Cleared by the completion: pictures of scans decoded after it could never be shown, so none is made.
  auto running = std::make_shared<std::atomic<bool>>(true);
  if (auto provider = ImageProgressiveProvider::make(options, [weak, number, progressive](const ImagePtr& partial) {
        if (!progressive) return;
        VellumManager::progressiveRefresh(partial, *progressive, [weak, number](const ImagePtr& image) {
          CallbackQueue::mainCurrentOrAsync().execute([weak, number, image] {
            auto binder = current(weak, number);
            // One decoded before the result came but queued behind it would replace the result.
            if (!binder || !binder->loading) return;
            binder->markLoaded(true);
            binder->usesFailureImage = false;
            binder->setLoadedImage(image);
            binder->showsPartialImage_ = true;
          });
        });
      })) {
    provider->setOnShouldApply([running] { return running->load(); });
    sideEffects.push_back(provider);
  }
  options.onDataReceived = std::move(sideEffects);
  const Source source = *context->source;
  auto retrieving = std::make_shared<RetrievingContext>(options, source);
  auto manager = VellumManager::shared();
  auto completion = [weak, context, number, running](const VellumManager::RetrieveResult& result) {
    running->store(false);
    auto binder = current(weak, number);
    if (!binder) {
      CallbackQueue::mainAsync().execute([context, result] {
        if (result) {
          context->onSuccessDelegate->call(result.value());
        } else {
          context->onFailureDelegate->call(result.error());
        }
      });
      return;
    }
    CallbackQueue::mainCurrentOrAsync().execute([weak, number] {
      if (auto b = current(weak, number)) {
        b->downloadTask.reset();
        b->loading = false;
      }
    });
    if (result) {
      CallbackQueue::mainCurrentOrAsync().execute([weak, number, context, value = result.value()] {
        if (auto b = current(weak, number)) {
          b->succeed(context, value);
        } else {
          CallbackQueue::mainAsync().execute([context, value] { context->onSuccessDelegate->call(value); });
        }
      });
    } else {
      CallbackQueue::mainCurrentOrAsync().execute([weak, number, context] {
        if (auto b = current(weak, number)) b->fail(context);
      });
      CallbackQueue::mainAsync().execute([context, error = result.error()] { context->onFailureDelegate->call(error); });
    }
  };
  downloadTask = manager->retrieveImageInContext(
      source, retrieving, nullptr, false,
      [manager, source, retrieving, completion](const VellumManager::RetrieveResult& result) {
        manager->retrieveAttemptFinished(result, source, retrieving, nullptr, completion);
      });
}

template <class HoldingView>
void ImageBinder::succeed(const std::shared_ptr<VLImageContext<HoldingView>>& context,
                          const RetrieveImageResult& value) {
  std::weak_ptr<ImageBinder> weak = weak_from_this();
  const std::uint64_t number = startNumber_.load();
  auto reveal = [weak, number, context, value](Animation animation) {
    CallbackQueue::mainAsync().execute([weak, number, context, value, animation] {
      // The delegate hears of the result even when the binder is gone by now.
      if (auto binder = current(weak, number)) {
        withAnimation(animation, [&] { binder->markLoaded(true); });
        binder->animating = false;
      }
      context->onSuccessDelegate->call(value);
    });
  };
  if (context->swiftUITransition() && context->shouldApplyFade(value.cacheType)) {
    animating = true;
    usesFailureImage = false;
    setLoadedImage(value.image);
    reveal(context->swiftUIAnimation().value_or(Animation::defaultAnimation()));
    return;
  }
  if (auto duration = context->fadeTransitionDuration(value.cacheType)) {
    animating = true;
    usesFailureImage = false;
    setLoadedImage(value.image);
    reveal(Animation::linear(*duration));
    return;
  }
  loaded = true;
  usesFailureImage = false;
  setLoadedImage(value.image);
  CallbackQueue::mainAsync().execute([context, value] { context->onSuccessDelegate->call(value); });
}

template <class HoldingView>
void ImageBinder::fail(const std::shared_ptr<VLImageContext<HoldingView>>& context) {
  // A partial image is no image: the failure view, the failure image or the placeholder shows instead.
  if (showsPartialImage_) setLoadedImage(nullptr);
  if (auto view = context->failureView()) {
    setFailureView(std::move(view));
  } else if (auto failureImage = context->options().onFailureImage) {
    usesFailureImage = true;
    setLoadedImage(*failureImage);
  }
  loaded = true;
}

}  // namespace vellum
