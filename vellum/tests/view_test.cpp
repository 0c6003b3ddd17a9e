#include "vellum/views/view.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "main_queue_support.hpp"
#include "test_images.hpp"
#include "vellum/views/image_holders.hpp"
#include "vellum/views/image_view.hpp"
#include "vellum/views/animated_image_view.hpp"
#include "vellum/views/image_binder.hpp"
#include "vellum/views/image_view_extension.hpp"
#include "vellum/views/progress_indicator.hpp"

namespace vellum {
namespace {

using test::onMain;

// A view that writes down every hook it is given, in order.
class RecordingView : public View {
 public:
  explicit RecordingView(std::vector<std::string>* log, std::string name, bool wantsLayer = false)
      : log_(log), name_(std::move(name)), wantsLayer_(wantsLayer) {}
  void setFrameSize(Size size) override {
    log_->push_back(name_ + ".size");
    View::setFrameSize(size);
  }
  void viewDidMoveToWindow() override { log_->push_back(name_ + (window() ? ".window" : ".nowindow")); }
  void viewDidMoveToSuperview() override { log_->push_back(name_ + (superview() ? ".super" : ".nosuper")); }
  void viewDidChangeBackingProperties() override {
    log_->push_back(name_ + ".scale" + std::to_string(static_cast<int>(backingScaleFactor())));
  }
  bool wantsUpdateLayer() const override { return wantsLayer_; }
  void updateLayer() override { log_->push_back(name_ + ".update"); }

 private:
  std::vector<std::string>* log_;
  std::string name_;
  bool wantsLayer_;
};

TEST(View, WindowsAndSuperviewsReachEveryViewOfTheTree) {
  onMain([] {
    std::vector<std::string> log;
    auto window = Window::make(2.0);
    auto root = std::make_shared<RecordingView>(&log, "root");
    auto child = std::make_shared<RecordingView>(&log, "child");
    root->addSubview(child);
    EXPECT_EQ(child->superview(), root);
    window->setContentView(root);
    EXPECT_EQ(child->window(), window);
    EXPECT_EQ(child->backingScaleFactor(), 2.0);
    window->setBackingScaleFactor(3.0);
    child->setFrame(Rect{{1, 1}, {10, 10}});
    child->setFrame(Rect{{2, 2}, {10, 10}});  // same size: no size hook
    child->removeFromSuperview();
    EXPECT_EQ(child->window(), nullptr);
    EXPECT_EQ(child->backingScaleFactor(), 1.0);
    EXPECT_EQ(log, (std::vector<std::string>{"child.super", "root.window", "child.window", "root.scale2",
                                             "child.scale2", "root.scale3", "child.scale3", "child.size",
                                             "child.nosuper", "child.nowindow"}));
    EXPECT_TRUE(root->subviews().empty());
    // A view cannot become its own ancestor.
    root->addSubview(child);
    child->addSubview(root);
    EXPECT_EQ(root->superview(), nullptr);
    EXPECT_EQ(child->superview(), root);
  });
}

// A view stands in one place at a time: taken as another window's content view, or as a subview, it is no
// longer the content of the window it left. Before, that window kept it, and letting it go later took the
// view out of the window it had moved to (an animation there stopped).
TEST(View, AViewIsTheContentOfOneWindowAtMost) {
  onMain([] {
    std::vector<std::string> log;
    auto a = Window::make(), b = Window::make();
    auto view = std::make_shared<RecordingView>(&log, "v");
    a->setContentView(view);
    b->setContentView(view);
    EXPECT_EQ(a->contentView(), nullptr);
    EXPECT_EQ(view->window(), b);
    a->setContentView(View::make());
    EXPECT_EQ(view->window(), b) << "a window lets go only of what is its own";

    auto root = View::make();
    a->setContentView(root);
    root->addSubview(view);
    EXPECT_EQ(b->contentView(), nullptr);
    EXPECT_EQ(view->window(), a);
    b->setContentView(nullptr);
    EXPECT_EQ(view->window(), a);
    EXPECT_EQ(view->superview(), root);
  });
}

TEST(View, RemovingAViewDropsTheConstraintsThatNameItOrItsSubviews) {
  onMain([] {
    auto host = View::make(Rect{{0, 0}, {100, 100}});
    auto badge = View::make();
    auto inner = View::make();
    auto other = View::make();
    host->addSubview(badge);
    badge->addSubview(inner);
    host->addSubview(other);
    View::activate(badge, LayoutAttribute::centerX, host, LayoutAttribute::centerX, 4);
    View::activate(inner, LayoutAttribute::top, other, LayoutAttribute::bottom);
    View::activate(other, LayoutAttribute::width, nullptr, LayoutAttribute::notAnAttribute, 16);
    ASSERT_EQ(host->constraints().size(), 2u);
    ASSERT_EQ(other->constraints().size(), 1u);
    EXPECT_EQ(host->constraintsNaming(*badge).front()->constant, 4);

    badge->removeFromSuperview();
    EXPECT_TRUE(host->constraints().empty());
    EXPECT_EQ(other->constraints().size(), 1u);
    EXPECT_TRUE(host->constraintsNaming(*inner).empty());
  });
}

TEST(View, TheDisplayPassUpdatesOnlyMarkedLayerViewsAndForgetsTheirRectangles) {
  onMain([] {
    std::vector<std::string> log;
    auto window = Window::make();
    auto root = std::make_shared<RecordingView>(&log, "root", true);
    auto drawn = std::make_shared<RecordingView>(&log, "drawn", false);
    auto layered = std::make_shared<RecordingView>(&log, "layered", true);
    root->addSubview(drawn);
    root->addSubview(layered);
    window->setContentView(root);
    log.clear();
    drawn->setNeedsDisplayInRect(Rect{{0, 0}, {5, 5}});
    layered->setNeedsDisplayInRect(Rect{{1, 1}, {2, 2}});
    layered->setNeedsDisplayInRect(Rect{{3, 3}, {2, 2}});
    EXPECT_EQ(layered->dirtyRects().size(), 2u);
    window->displayIfNeeded();
    window->displayIfNeeded();
    EXPECT_EQ(log, std::vector<std::string>{"layered.update"});
    EXPECT_FALSE(layered->needsDisplay());
    EXPECT_TRUE(layered->dirtyRects().empty());
    EXPECT_FALSE(drawn->needsDisplay());
  });
}

TEST(View, AssociatedValuesAreTypedPerKeyAndReleasedWithTheObject) {
  static const char kFirst = 0;
  static const char kSecond = 0;
  std::weak_ptr<int> released;
  onMain([&] {
    auto item = std::make_shared<MenuItem>();
    auto value = std::make_shared<int>(7);
    released = value;
    item->setAssociatedObject(&kFirst, value);
    item->setAssociatedObject(&kSecond, std::make_shared<std::string>("x"));
    EXPECT_EQ(*item->associatedObject<int>(&kFirst), 7);
    EXPECT_EQ(item->associatedObject<std::string>(&kFirst), nullptr);
    EXPECT_EQ(*item->associatedObject<std::string>(&kSecond), "x");
    item->removeAssociatedObject(&kSecond);
    EXPECT_EQ(item->associatedObjectCount(), 1u);
  });
  EXPECT_TRUE(released.expired());
}

TEST(View, ImageViewPlaceholdersBecomeItsImageOrItsSubview) {
  onMain([] {
    auto view = ImageView::make();
    auto gray = Image::make(test::gradient(2, 2));
    ImagePlaceholder(gray).add(view->placeholderHost());
    EXPECT_EQ(view->image(), gray);
    auto spinner = ProgressIndicator::make();
    spinner->add(view->placeholderHost());
    ASSERT_EQ(view->subviews().size(), 1u);
    EXPECT_EQ(spinner->superview(), view);
    spinner->remove(view->placeholderHost());
    EXPECT_TRUE(view->subviews().empty());
    spinner->startAnimation();
    spinner->startAnimation();
    spinner->stopAnimation();
    spinner->startAnimation();
    EXPECT_EQ(spinner->animationStarts(), 2);
  });
}

// Checked in every build, Release included: a call from another thread would otherwise race on the view.
TEST(View, ACallOffTheMainQueueStopsTheProcessSayingHowToGetOntoIt) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto view = onMain([] { return View::make(); });
  auto item = onMain([] { return std::make_shared<MenuItem>(); });
  const std::string howTo = "must run on the main queue: post it with foundation::MainQueue::post, or call it from "
                            "the thread that drives the queue with foundation::MainQueue::run\\(\\) or poll\\(\\)";
  EXPECT_DEATH(view->setHidden(true), "View::setHidden.* " + howTo);
  EXPECT_DEATH(item->setImage(nullptr), "setImage.* " + howTo);
  onMain([&] { view->setHidden(true); });
  EXPECT_TRUE(onMain([&] { return view->isHidden(); }));
}

// The small setters too: each is main-queue state that another thread would race on.
TEST(View, EverySetterOffTheMainQueueStopsNamingItself) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto imageView = onMain([] { return ImageView::make(); });
  auto spinner = onMain([] { return ProgressIndicator::make(); });
  auto animated = onMain([] { return AnimatedImageView::make(); });
  auto binder = onMain([] { return std::make_shared<ImageBinder>(); });
  const std::pair<std::string, std::function<void()>> calls[] = {
      {"View::setTranslatesAutoresizingMaskIntoConstraints",
       [&] { imageView->setTranslatesAutoresizingMaskIntoConstraints(false); }},
      {"ImageView::setCanDrawSubviewsIntoLayer", [&] { imageView->setCanDrawSubviewsIntoLayer(true); }},
      {"ProgressIndicator::setStyle", [&] { spinner->setStyle(ProgressIndicator::Style::spinning); }},
      {"ProgressIndicator::setControlSize", [&] { spinner->setControlSize(ProgressIndicator::ControlSize::small); }},
      {"AnimatedImageView::setDisplayLinkFactory", [&] { animated->setDisplayLinkFactory(nullptr); }},
      {"TaskSlotKeys::setTaskIdentifier", [&] { vl(imageView).setTaskIdentifier(7); }},
      {"ImageBinder::setLoadedImage", [&] { binder->setLoadedImage(nullptr); }},
      {"ImageBinder::setFailureView", [&] { binder->setFailureView(nullptr); }},
      {"ImageBinder::markLoading", [&] { binder->markLoading(); }},
      {"ImageBinder::markLoaded", [&] { binder->markLoaded(false); }},
  };
  for (const auto& [name, call] : calls) {
    EXPECT_DEATH(call(), name + ".* must run on the main queue") << name;
  }
}

// The getters too: a read from another thread races on the view as a write does (the layer's image, the
// subview list while the main queue changes them), so each one stops the process, naming itself, instead.
TEST(View, EveryGetterOffTheMainQueueStopsNamingItself) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto window = onMain([] { return Window::make(2.0); });
  auto animated = onMain([&] {
    auto view = AnimatedImageView::make(Rect{{0, 0}, {8, 8}});
    window->setContentView(view);
    return view;
  });
  const std::pair<std::string, std::function<void()>> calls[] = {
      {"View::frame", [&] { (void)animated->frame(); }},
      {"View::bounds", [&] { (void)animated->bounds(); }},
      {"View::isHidden", [&] { (void)animated->isHidden(); }},
      {"View::superview", [&] { (void)animated->superview(); }},
      {"View::subviews", [&] { (void)animated->subviews(); }},
      {"View::window", [&] { (void)animated->window(); }},
      {"View::backingScaleFactor", [&] { (void)animated->backingScaleFactor(); }},
      {"View::constraints", [&] { (void)animated->constraints(); }},
      {"View::needsDisplay", [&] { (void)animated->needsDisplay(); }},
      {"View::dirtyRects", [&] { (void)animated->dirtyRects(); }},
      {"View::layer", [&] { (void)animated->layer().contents; }},
      {"View::layer", [&] { (void)std::as_const(*animated).layer().contents; }},
      {"Window::contentView", [&] { (void)window->contentView(); }},
      {"Window::backingScaleFactor", [&] { (void)window->backingScaleFactor(); }},
      {"ImageView::image", [&] { (void)animated->image(); }},
      {"ImageView::imageScaling", [&] { (void)animated->imageScaling(); }},
      {"AnimatedImageView::animates", [&] { (void)animated->animates(); }},
      {"AnimatedImageView::animator", [&] { (void)animated->animator(); }},
      {"AnimatedImageView::currentFrame", [&] { (void)animated->currentFrame(); }},
      {"AnimatedImageView::repeatCount", [&] { (void)animated->repeatCount(); }},
  };
  for (const auto& [name, call] : calls) {
    EXPECT_DEATH(call(), name + ".* must run on the main queue") << name;
  }
  // On the main queue they answer as before.
  EXPECT_EQ(onMain([&] { return animated->window(); }), window);
  onMain([&] { window->setContentView(nullptr); });
}

}  // namespace
}  // namespace vellum
