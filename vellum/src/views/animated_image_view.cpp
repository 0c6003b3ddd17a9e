#include "vellum/views/animated_image_view.hpp"

#include <algorithm>

#include "vellum/general/main_actor.hpp"
#include "vellum/views/guarded_call.hpp"

namespace vellum {

// What the link holds instead of the view, so that a link never keeps its view alive.
class AnimatedImageView::TargetProxy {
 public:
  explicit TargetProxy(std::weak_ptr<AnimatedImageView> target) : target_(std::move(target)) {}
  // Runs on the main queue, where the link performs its callback.
  void onScreenUpdate() {
    if (auto target = target_.lock()) target->updateFrameIfNeeded();
  }

 private:
  std::weak_ptr<AnimatedImageView> target_;
};

AnimatedImageView::AnimatedImageView(Rect frame) : ImageView(frame) { ImageView::setAnimates(false); }

AnimatedImageView::~AnimatedImageView() {
  auto teardown = [animator = std::move(animator_), link = std::move(displayLink_)] {
    if (animator) animator->cancel();
    if (link) link->invalidate();
  };
  if (foundation::MainQueue::isCurrent()) {
    teardown();
  } else {
    // The last owner may be a thread that is not the main one; the animator and link belong to the main
    // queue, so they go there, and nothing of this view goes with them.
    foundation::MainQueue::post(std::move(teardown));
  }
}

void AnimatedImageView::setRunLoopMode(std::string mode) {
  VELLUM_REQUIRE_MAIN_QUEUE();
  if (mode == runLoopMode_) return;
  stopAnimating();
  displayLink().remove(RunLoop::main(), runLoopMode_);
  displayLink().add(RunLoop::main(), mode);
  runLoopMode_ = std::move(mode);
  startAnimating();
}

void AnimatedImageView::setRepeatCount(RepeatCount count) {
  VELLUM_REQUIRE_MAIN_QUEUE();
  const bool changed = !(count == repeatCount_);
  repeatCount_ = count;
  if (!changed) return;
  reset();
  setNeedsDisplay(true);
}

void AnimatedImageView::clearFrames(bool keepingCurrentFrame) {
  VELLUM_REQUIRE_MAIN_QUEUE();
  if (animator_) animator_->clearFrames(keepingCurrentFrame);
}

const std::shared_ptr<foundation::SerialQueue>& AnimatedImageView::preloadQueue() {
  VELLUM_REQUIRE_MAIN_QUEUE();
  if (!preloadQueue_) preloadQueue_ = Animator::makePreloadQueue();
  return preloadQueue_;
}

DisplayLinkCompatible& AnimatedImageView::displayLink() {
  VELLUM_REQUIRE_MAIN_QUEUE();
  if (!displayLink_) {
    auto proxy = std::make_shared<TargetProxy>(std::static_pointer_cast<AnimatedImageView>(self()));
    DisplayLink::Selector selector = [](const DisplayLink::Target& target) {
      static_cast<TargetProxy*>(target.get())->onScreenUpdate();
    };
    displayLink_ = displayLinkFactory_ ? displayLinkFactory_(proxy, selector) : DisplayLink::make(proxy, selector);
    displayLink_->add(RunLoop::main(), runLoopMode_);
    displayLink_->setPaused(true);
  }
  return *displayLink_;
}

void AnimatedImageView::startAnimating() {
  VELLUM_REQUIRE_MAIN_QUEUE();
  if (!animator_ || animator_->hasReachedMaxRepeatCount()) return;
  displayLink().setPaused(false);
}

void AnimatedImageView::stopAnimating() {
  VELLUM_REQUIRE_MAIN_QUEUE();
  if (displayLink_) displayLink_->setPaused(true);
}

Size AnimatedImageView::pixelSize() const {
  VELLUM_REQUIRE_MAIN_QUEUE();
  const double scale = window() ? window()->backingScaleFactor() : 1.0;
  return Size{bounds().size.width * scale, bounds().size.height * scale};
}

void AnimatedImageView::updateAnimatorSizing() {
  if (animator_) animator_->updateFrameSizing(pixelSize(), imageScaling());
}

bool AnimatedImageView::isPlacedInWindow() const {
  auto shownIn = window();
  // A window's content view has no superview here, but stands in its window as a subview does.
  return shownIn && (superview() || shownIn->contentView().get() == this);
}

void AnimatedImageView::startOrStopForPlacement() {
  if (!autoPlayAnimatedImage || !animator_) return;
  if (isPlacedInWindow()) {
    startAnimating();
  } else {
    stopAnimating();
  }
}

void AnimatedImageView::reset() {
  VELLUM_REQUIRE_MAIN_QUEUE();
  if (animator_) {
    animator_->cancel();
    animator_.reset();
  }
  currentFrame_.reset();
  const ImagePtr shown = image();
  // One frame is a still picture: nothing to play, so no animator and no display refresh for it. A frame
  // source may be the application's: one that cannot even be copied or counted is a still picture too, and so
  // is one claiming more frames than an animator keeps (it would play none, with the refresh running for good).
  std::shared_ptr<ImageFrameSource> frames;
  std::size_t frameCount = 0;
  if (shown && shown->frameSource()) {
    guardedCall("A frame source", [&] {
      frames = shown->frameSource()->copy();
      frameCount = frames ? frames->frameCount() : 0;
    });
  }
  if (frames && frameCount > 1 && frameCount <= Animator::kMostFrames) {
    currentFrame_ = shown;
    auto animator = Animator::make(std::move(frames), imageScaling(), pixelSize(), shown->pixelSize(), 1.0,
                                   framePreloadCount, repeatCount_, preloadQueue());
    animator->delegate = std::shared_ptr<AnimatorDelegate>(self(), static_cast<AnimatorDelegate*>(this));
    animator->needsPrescaling = needsPrescaling;
    animator->prepareFrames();
    animator_ = std::move(animator);
  }
  if (!animator_ || animator_->hasReachedMaxRepeatCount()) {
    // Nothing left to play: the refresh that drove what played before stops with it.
    stopAnimating();
    return;
  }
  startOrStopForPlacement();
}

void AnimatedImageView::updateFrameIfNeeded() {
  VELLUM_REQUIRE_MAIN_QUEUE();
  if (!animator_) return;
  if (auto sizing = animator_->frameSizing(); sizing && sizing->kind == FrameSizing::Kind::pending) {
    updateAnimatorSizing();
  }
  if (animator_->isFinished) {
    stopAnimating();
    if (auto d = delegate.lock()) {
      guardedCall("An animated view's delegate", [&] { d->animatedImageViewDidFinish(*this); });
    }
    return;
  }
  if (animator_->currentFrameNeverEnds()) {
    // No time moves this frame on: the refresh rests until something changes (a new image, a repeat
    // count, a start).
    stopAnimating();
    return;
  }
  DisplayLinkCompatible& link = displayLink();
  const double step = link.preferredFramesPerSecond() != 0 ? 1.0 / link.preferredFramesPerSecond() : link.duration();
  animator_->timeSinceLastFrameChange += std::min(step, 1.0);
  if (animator_->timeSinceLastFrameChange >= animator_->currentFrameDuration()) {
    animator_->timeSinceLastFrameChange -= animator_->currentFrameDuration();
    animator_->advanceFrame();
    setNeedsDisplay(true);
  }
}

void AnimatedImageView::setImage(ImagePtr image) {
  VELLUM_REQUIRE_MAIN_QUEUE();
  const bool changed = image != ImageView::image();
  ImageView::setImage(std::move(image));
  if (changed) reset();
  setNeedsDisplay(true);
}

void AnimatedImageView::setHighlighted(bool highlighted) {
  VELLUM_REQUIRE_MAIN_QUEUE();
  // Highlighting is ignored while the animation plays.
  if (displayLink().isPaused()) ImageView::setHighlighted(highlighted);
}

bool AnimatedImageView::animates() const {
  VELLUM_REQUIRE_MAIN_QUEUE();
  if (!displayLink_) return ImageView::animates();
  return !displayLink_->isPaused();
}

void AnimatedImageView::setAnimates(bool animates) {
  VELLUM_REQUIRE_MAIN_QUEUE();
  if (animates) {
    startAnimating();
  } else {
    stopAnimating();
  }
}

void AnimatedImageView::setImageScaling(ImageScaling scaling) {
  VELLUM_REQUIRE_MAIN_QUEUE();
  const bool changed = scaling != imageScaling();
  ImageView::setImageScaling(scaling);
  if (changed) updateAnimatorSizing();
}

void AnimatedImageView::setFrameSize(Size size) {
  VELLUM_REQUIRE_MAIN_QUEUE();
  ImageView::setFrameSize(size);
  updateAnimatorSizing();
}

void AnimatedImageView::viewDidChangeBackingProperties() {
  VELLUM_REQUIRE_MAIN_QUEUE();
  ImageView::viewDidChangeBackingProperties();
  updateAnimatorSizing();
}

void AnimatedImageView::viewDidMoveToWindow() {
  VELLUM_REQUIRE_MAIN_QUEUE();
  ImageView::viewDidMoveToWindow();
  startOrStopForPlacement();
  updateAnimatorSizing();
}

void AnimatedImageView::viewDidMoveToSuperview() {
  VELLUM_REQUIRE_MAIN_QUEUE();
  ImageView::viewDidMoveToSuperview();
  startOrStopForPlacement();
}

void AnimatedImageView::updateLayer() {
  VELLUM_REQUIRE_MAIN_QUEUE();
  ImagePtr frame = animator_ ? animator_->currentFrameImage() : nullptr;
  if (!frame) frame = currentFrame_;
  if (!frame) {
    // A still image, or none: the layer shows what the view holds, not the last frame of an animation
    // that played before.
    layer().contents = image();
    layer().contentsScale = 1.0;
    if (image()) layer().contentsGravity = contentsGravity(image());
    return;
  }
  layer().contents = frame;
  layer().contentsScale = 1.0;
  layer().contentsGravity = contentsGravity(image() ? image() : frame);
  currentFrame_ = frame;
}

LayerContentsGravity AnimatedImageView::contentsGravity(const ImagePtr& image) const {
  VELLUM_REQUIRE_MAIN_QUEUE();
  switch (imageScaling()) {
    case ImageScaling::scaleNone:
      return LayerContentsGravity::center;
    case ImageScaling::scaleAxesIndependently:
      return LayerContentsGravity::resize;
    case ImageScaling::scaleProportionallyDown: {
      const Size pixels = image ? image->pixelSize() : Size{};
      const bool fits = pixels.width <= bounds().size.width && pixels.height <= bounds().size.height;
      return fits ? LayerContentsGravity::center : LayerContentsGravity::resizeAspect;
    }
    default:
      return LayerContentsGravity::resizeAspect;
  }
}

void AnimatedImageView::animatorDidCompleteLoop(Animator&, unsigned count) {
  VELLUM_REQUIRE_MAIN_QUEUE();
  // The delegate is the application's: what it throws must not cost the frame change that told it.
  if (auto d = delegate.lock()) {
    guardedCall("An animated view's delegate", [&] { d->animatedImageViewDidCompleteLoops(*this, count); });
  }
}

void AnimatedImageView::animatorDidRefreshCurrentFrame(Animator& animator) {
  VELLUM_REQUIRE_MAIN_QUEUE();
  // A dropped animator's late news changes nothing.
  if (&animator == animator_.get()) setNeedsDisplay(true);
}

}  // namespace vellum
