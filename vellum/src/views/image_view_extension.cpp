#include "vellum/views/image_view_extension.hpp"

#include <utility>

#include "vellum/general/box.hpp"
#include "vellum/views/guarded_call.hpp"

namespace vellum {

namespace {

char kPlaceholderKey;
char kIndicatorKey;
char kIndicatorTypeKey;
char kIndicatorLoadKey;

// The one load a request counts on the indicator it started. It is given back once: when a later request
// replaces this one (the replaced load may never end, or end long after) or when this one ends, whichever
// comes first. The indicator is held weakly: one dropped since has no view left to stop.
class IndicatorLoad {
 public:
  explicit IndicatorLoad(const std::shared_ptr<Indicator>& indicator) : indicator_(indicator) {}
  void giveBack() {
    auto started = std::exchange(indicator_, {}).lock();
    if (started) guardedCall("An indicator's stop", [&] { started->stopAnimatingView(); });
  }

 private:
  std::weak_ptr<Indicator> indicator_;
};

// The indicator a view keeps, with the view it put on the image view for it. What was put on is what is taken
// off: the indicator's own answer is the application's code, which may throw by then or name another view.
struct KeptIndicator {
  std::shared_ptr<Indicator> indicator;
  std::shared_ptr<View> shown;
};

// Gives back the load the view's previous request counted, if it still counts one.
void giveBackReplacedLoad(ImageView& view) {
  if (auto replaced = view.associatedObject<IndicatorLoad>(&kIndicatorLoadKey)) {
    view.removeAssociatedObject(&kIndicatorLoadKey);
    replaced->giveBack();
  }
}

}  // namespace

const TaskSlotKeys& ImageViewLoading::taskKeys() {
  // Only the addresses matter; distinct variables have distinct addresses.
  static char identifier, task, token;
  static const TaskSlotKeys keys{&identifier, &task, &token};
  return keys;
}

std::shared_ptr<Placeholder> ImageViewLoading::placeholder(const ImageView& view) {
  auto box = view.associatedObject<Box<std::shared_ptr<Placeholder>>>(&kPlaceholderKey);
  return box ? box->value : nullptr;
}

void ImageViewLoading::setPlaceholder(ImageView& view, std::shared_ptr<Placeholder> placeholder) {
  VELLUM_REQUIRE_MAIN_QUEUE();
  // The placeholder is the application's: one that throws is still taken off or put on in the books, so the
  // view never keeps a placeholder it was told to drop.
  auto stored = ImageViewLoading::placeholder(view);
  if (stored) {
    guardedCall("A placeholder's removal", [&] { stored->remove(view.placeholderHost()); });
  }
  if (placeholder) {
    guardedCall("A placeholder's addition", [&] { placeholder->add(view.placeholderHost()); });
  } else {
    view.setImage(nullptr);
  }
  if (placeholder) {
    view.setAssociatedObject(&kPlaceholderKey, std::make_shared<Box<std::shared_ptr<Placeholder>>>(placeholder));
  } else if (stored) {
    // Every load without a placeholder comes through here, most of them with none stored.
    view.removeAssociatedObject(&kPlaceholderKey);
  }
}

std::shared_ptr<Indicator> ImageViewLoading::indicator(const ImageView& view) {
  auto kept = view.associatedObject<KeptIndicator>(&kIndicatorKey);
  return kept ? kept->indicator : nullptr;
}

void ImageViewLoading::setIndicator(ImageView& view, std::shared_ptr<Indicator> indicator) {
  VELLUM_REQUIRE_MAIN_QUEUE();
  if (auto kept = view.associatedObject<KeptIndicator>(&kIndicatorKey)) {
    if (kept->shown) kept->shown->removeFromSuperview();
  }
  if (indicator) {
    // The indicator is the application's: a view it cannot give leaves nothing to put on, an offset or a size
    // it cannot give leaves its view centred at its own size, and it is kept to run with the loads either way.
    std::shared_ptr<View> shown;
    guardedCall("An indicator's view", [&] { shown = indicator->view(); });
    if (shown) {
      auto host = view.self();
      host->addSubview(shown);
      shown->setTranslatesAutoresizingMaskIntoConstraints(false);
      Point offset{};
      guardedCall("An indicator's offset", [&] { offset = indicator->centerOffset(); });
      View::activate(shown, LayoutAttribute::centerX, host, LayoutAttribute::centerX, offset.x);
      View::activate(shown, LayoutAttribute::centerY, host, LayoutAttribute::centerY, offset.y);
      IndicatorSizeStrategy strategy = IndicatorSizeStrategy::intrinsicSize();
      guardedCall("An indicator's size strategy", [&] { strategy = indicator->sizeStrategy(view); });
      switch (strategy.kind) {
        case IndicatorSizeStrategy::Kind::intrinsicSize:
          break;
        case IndicatorSizeStrategy::Kind::full:
          View::activate(shown, LayoutAttribute::height, host, LayoutAttribute::height, 0);
          View::activate(shown, LayoutAttribute::width, host, LayoutAttribute::width, 0);
          break;
        case IndicatorSizeStrategy::Kind::size:
          View::activate(shown, LayoutAttribute::height, nullptr, LayoutAttribute::notAnAttribute,
                         strategy.size.height);
          View::activate(shown, LayoutAttribute::width, nullptr, LayoutAttribute::notAnAttribute, strategy.size.width);
          break;
      }
      shown->setHidden(true);
    }
    view.setAssociatedObject(&kIndicatorKey,
                             std::make_shared<KeptIndicator>(KeptIndicator{std::move(indicator), std::move(shown)}));
  } else {
    view.removeAssociatedObject(&kIndicatorKey);
  }
}

IndicatorType ImageViewLoading::indicatorType(const ImageView& view) {
  auto stored = view.associatedObject<IndicatorType>(&kIndicatorTypeKey);
  return stored ? *stored : IndicatorType::none();
}

void ImageViewLoading::setIndicatorType(ImageView& view, IndicatorType type) {
  VELLUM_REQUIRE_MAIN_QUEUE();
  setIndicator(view, type.makeIndicator());
  view.setAssociatedObject(&kIndicatorTypeKey, std::make_shared<IndicatorType>(std::move(type)));
}

std::shared_ptr<DownloadTask> ImageViewLoading::setImage(const std::shared_ptr<ImageView>& view,
                                                         const std::optional<Source>& source,
                                                         std::shared_ptr<Placeholder> placeholder,
                                                         VellumParsedOptionsInfo&& options,
                                                         DownloadProgressBlock progressBlock,
                                                         RetrieveImageCompletion completionHandler) {
  VELLUM_REQUIRE_MAIN_QUEUE();
  // The same closures for every request: made once rather than per call.
  // Never destroyed: the main queue may set images while the process exits and its static objects go.
  static const TaskPropertyAccessor& tasks = *new TaskPropertyAccessor(taskKeys().accessor());
  if (!source) {
    setPlaceholder(*view, std::move(placeholder));
    giveBackReplacedLoad(*view);
    image_setting::endWithoutSource(*view, tasks, completionHandler);
    return nullptr;
  }

  bool keepCurrent = options.keepCurrentImageWhileLoading && (view->image() || ImageViewLoading::placeholder(*view));
  if (!keepCurrent) setPlaceholder(*view, std::move(placeholder));

  // This request's load is counted before the replaced one's is given back, so an indicator that goes on
  // showing never hides in between.
  auto indicator = ImageViewLoading::indicator(*view);
  std::shared_ptr<IndicatorLoad> load;
  if (indicator) {
    guardedCall("An indicator's start", [&] { indicator->startAnimatingView(); });
    load = std::make_shared<IndicatorLoad>(indicator);
  }
  giveBackReplacedLoad(*view);
  if (load) view->setAssociatedObject(&kIndicatorLoadKey, load);
  if (view->shouldPreloadAllAnimation()) options.preloadAllAnimationData = true;

  image_setting::Steps steps;
  steps.setImage = [](AssociatedObjects& target, const ImagePtr& image) {
    static_cast<ImageView&>(target).setImage(image);
  };
  steps.getImage = [](AssociatedObjects& target) { return static_cast<ImageView&>(target).image(); };
  // The indicator started here is the one stopped, even when another has been set meanwhile, unless a later
  // request gave this load back already.
  if (load) steps.onFinish = [load] { load->giveBack(); };
  steps.applyResult =
      image_setting::showingResult(options.onFailureImage, [](AssociatedObjects& target, const ImagePtr& image, bool) {
        auto& imageView = static_cast<ImageView&>(target);
        setPlaceholder(imageView, nullptr);
        imageView.setImage(image);
      });
  return image_setting::start(view, *source, std::move(options), std::move(progressBlock),
                              std::move(completionHandler), tasks, std::move(steps));
}

}  // namespace vellum
