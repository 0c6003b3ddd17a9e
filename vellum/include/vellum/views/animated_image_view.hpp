#pragma once
// AnimatedImageView: an image view that plays an animated image frame by frame itself. For an image with a
// frame source it builds an Animator (a window of frames decoded at the size the view shows them) and drives
// it from a display link: each refresh adds elapsed time, and once the current frame's time is used up the
// animator moves on and the layer is redrawn. It starts and stops with its window, follows its size, scale
// and scaling mode, honours a repeat count and tells a delegate of loops and of the end.
//
// Example (on the main queue), given std::shared_ptr<vellum::Window> window, vellum::ImagePtr gif:
//   auto view = std::make_shared<vellum::AnimatedImageView>(vellum::Rect{{0, 0}, {64, 64}});
//   view->setImage(gif);               // builds the animator
//   window->setContentView(view);      // autoplay: the link is unpaused
//
// Tests hand the view a display-link factory over a ManualFrameSource before the link is first made.
//
// A GIF of a single frame is a still picture: it gets no animator and no display refresh. The view plays once
// it is in a window, as a subview or as the window's content view, and autoplay is on.
//
// Thread rule: main queue only: every operation checks first, and a call from elsewhere stops the process
// naming it. The public fields below cannot check: they are read when the view builds its animator and
// tells its delegate, on the main queue, and are written there too. The one exception is the last release: a view released on another thread sends its animator and
// link to the main queue, where they are cancelled and invalidated.
// At exit: views may still be made and used on the main queue while the process exits (after main returned or
// exit() was called, up to its very end); nothing of the library they reach is destroyed by then.
#include <functional>
#include <memory>
#include <string>

#include "foundation/serial_queue.hpp"
#include "vellum/views/animator.hpp"
#include "vellum/general/display_link.hpp"
#include "vellum/views/image_view.hpp"

namespace vellum {

// Never destroyed: the main queue goes on making views while the process exits and its static objects go.
inline const std::string& kRunLoopCommonModes = *new std::string("kCFRunLoopCommonModes");

class AnimatedImageView;

class AnimatedImageViewDelegate {
 public:
  virtual ~AnimatedImageViewDelegate() = default;
  virtual void animatedImageViewDidCompleteLoops(AnimatedImageView& view, unsigned count) = 0;
  virtual void animatedImageViewDidFinish(AnimatedImageView& view) = 0;
};

class AnimatedImageView : public ImageView, public AnimatorDelegate {
 public:
  using Animator = vellum::Animator;
  using AnimatedFrame = vellum::AnimatedFrame;
  using RepeatCount = vellum::RepeatCount;
  // Makes the view's link for a target and the callback that drives it.
  using DisplayLinkFactory =
      std::function<std::shared_ptr<DisplayLinkCompatible>(DisplayLink::Target, DisplayLink::Selector)>;

  explicit AnimatedImageView(Rect frame = {});
  ~AnimatedImageView() override;
  static std::shared_ptr<AnimatedImageView> make(Rect frame = {}) {
    return std::make_shared<AnimatedImageView>(frame);
  }

  bool autoPlayAnimatedImage = true;
  // Read by the next animator built; 0 or less counts as 1.
  int framePreloadCount = 10;
  bool needsPrescaling = true;
  // Kept for callers; playback decodes on the preload queue whatever it says.
  bool backgroundDecode = true;
  std::weak_ptr<AnimatedImageViewDelegate> delegate;

  const std::string& runLoopMode() const {
    VELLUM_REQUIRE_MAIN_QUEUE();
    return runLoopMode_;
  }
  // A different mode moves the link to it and starts playing.
  void setRunLoopMode(std::string mode);
  const RepeatCount& repeatCount() const {
    VELLUM_REQUIRE_MAIN_QUEUE();
    return repeatCount_;
  }
  // A count not equal to the old one rebuilds the animator.
  void setRepeatCount(RepeatCount count);

  const std::shared_ptr<Animator>& animator() const {
    VELLUM_REQUIRE_MAIN_QUEUE();
    return animator_;
  }
  void clearFrames(bool keepingCurrentFrame);
  const std::shared_ptr<foundation::SerialQueue>& preloadQueue();
  bool isDisplayLinkInitialized() const {
    VELLUM_REQUIRE_MAIN_QUEUE();
    return displayLink_ != nullptr;
  }
  // Made (paused, scheduled on the main queue in runLoopMode) on first use.
  DisplayLinkCompatible& displayLink();
  // Only before the link is first made.
  void setDisplayLinkFactory(DisplayLinkFactory factory) {
    VELLUM_REQUIRE_MAIN_QUEUE();
    displayLinkFactory_ = std::move(factory);
  }
  ImagePtr currentFrame() const {
    VELLUM_REQUIRE_MAIN_QUEUE();
    return currentFrame_;
  }

  void startAnimating();
  void stopAnimating();
  void reset();
  // One display refresh.
  void updateFrameIfNeeded();

  // ImageView and View hooks.
  void setImage(ImagePtr image) override;
  void setHighlighted(bool highlighted) override;
  bool animates() const override;
  void setAnimates(bool animates) override;
  void setImageScaling(ImageScaling scaling) override;
  bool shouldPreloadAllAnimation() const override { return false; }
  void setFrameSize(Size size) override;
  void viewDidChangeBackingProperties() override;
  void viewDidMoveToWindow() override;
  void viewDidMoveToSuperview() override;
  bool wantsUpdateLayer() const override { return true; }
  void updateLayer() override;

  // AnimatorDelegate.
  void animatorDidCompleteLoop(Animator& animator, unsigned count) override;
  void animatorDidRefreshCurrentFrame(Animator& animator) override;

  // The view's size in pixels: bounds times the window's scale (1 without a window).
  Size pixelSize() const;
  LayerContentsGravity contentsGravity(const ImagePtr& image) const;

 private:
  class TargetProxy;
  void updateAnimatorSizing();
  // In a window, as a subview or as the window's content view: where autoplay plays.
  bool isPlacedInWindow() const;
  void startOrStopForPlacement();

  std::string runLoopMode_ = kRunLoopCommonModes;
  RepeatCount repeatCount_ = RepeatCount::infinite();
  std::shared_ptr<Animator> animator_;
  std::shared_ptr<foundation::SerialQueue> preloadQueue_;
  std::shared_ptr<DisplayLinkCompatible> displayLink_;
  DisplayLinkFactory displayLinkFactory_;
  ImagePtr currentFrame_;
};

}  // namespace vellum
