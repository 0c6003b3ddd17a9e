#include "vellum/views/animator.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <set>
#include <string>

#include "foundation/main_queue.hpp"
#include "vellum/general/main_actor.hpp"
#include "vellum/general/queue_labels.hpp"
#include "vellum/views/guarded_call.hpp"

namespace vellum {

bool operator==(const RepeatCount& a, const RepeatCount& b) {
  using Kind = RepeatCount::Kind;
  auto countOf = [](const RepeatCount& r) -> std::optional<unsigned> {
    if (r.kind_ == Kind::once) return 1u;
    if (r.kind_ == Kind::finite) return r.count_;
    return std::nullopt;
  };
  if (a.kind_ == Kind::infinite || b.kind_ == Kind::infinite) return a.kind_ == b.kind_;
  return countOf(a) == countOf(b);
}

FrameSizing frameSizing(Size view, ImageScaling mode, bool needsPrescaling, Size image) {
  if (!needsPrescaling || image.width <= 0 || image.height <= 0) return FrameSizing::original();
  if (mode != ImageScaling::scaleProportionallyDown && mode != ImageScaling::scaleAxesIndependently &&
      mode != ImageScaling::scaleProportionallyUpOrDown) {
    return FrameSizing::original();
  }
  if (view.width <= 0 || view.height <= 0) return FrameSizing::pending();
  const double aspect = image.width / image.height;
  const double fitW = std::round(view.height * aspect);  // std::round takes halves away from zero
  const double fitH = std::round(view.width / aspect);
  Size target;
  if (mode == ImageScaling::scaleAxesIndependently) {
    target = fitW < view.width ? Size{view.width, fitH} : Size{fitW, view.height};
  } else {
    target = view.width < fitW ? Size{view.width, fitH} : Size{fitW, view.height};
  }
  if (target.width < image.width && target.height < image.height) {
    return FrameSizing::limited({std::max(target.width, 1.0), std::max(target.height, 1.0)});
  }
  return FrameSizing::original();
}

std::optional<FrameSizing> mergedFrameSizing(const FrameSizing& current, const FrameSizing& proposed) {
  using Kind = FrameSizing::Kind;
  switch (proposed.kind) {
    case Kind::limited:
      if (current.kind == Kind::limited) {
        const Size o = current.size, n = proposed.size;
        if (n.width < o.width + 1 && n.height < o.height + 1) return std::nullopt;
        return FrameSizing::limited({std::max(o.width, n.width), std::max(o.height, n.height)});
      }
      if (current.kind == Kind::pending) return proposed;
      return std::nullopt;
    case Kind::pending:
      return std::nullopt;
    case Kind::original:
      if (current.kind == Kind::original) return std::nullopt;
      return proposed;
  }
  return std::nullopt;
}

namespace {

// Frame images leave on the main queue, where whatever shows them lives. Every animator releases into this one
// bin, which the main queue empties when it next moves an animation on: views that play come by at every frame
// change, so releases cost the main queue no wake-up of their own. When nothing plays, a timer empties it.
// Never destroyed, as the main queue it posts to.
class ReleaseBin {
 public:
  // How long dropped frames wait for a frame change before the timer lets them go.
  static constexpr auto kLatestRelease = std::chrono::milliseconds(100);

  static ReleaseBin& shared() {
    static auto* bin = new ReleaseBin();
    return *bin;
  }

  void release(std::vector<ImagePtr> images) {
    if (images.empty()) return;
    bool arm = false;
    {
      std::lock_guard lock(mutex_);
      for (auto& image : images) images_.push_back(std::move(image));
      holdsImages_.store(true, std::memory_order_relaxed);
      arm = !timerArmed_;
      timerArmed_ = true;
    }
    if (arm) {
      foundation::MainQueue::postAfter(kLatestRelease, [this] {
        {
          std::lock_guard lock(mutex_);
          timerArmed_ = false;
        }
        empty();
      });
    }
  }

  // REQUIRES: main queue.
  void empty() {
    // A release this misses is the timer's.
    if (!holdsImages_.load(std::memory_order_relaxed)) return;
    std::vector<ImagePtr> leaving;
    std::lock_guard lock(mutex_);
    leaving.swap(images_);
    holdsImages_.store(false, std::memory_order_relaxed);
    // `leaving` goes after the lock: the frees never hold up a worker's release.
  }

 private:
  std::mutex mutex_;
  std::vector<ImagePtr> images_;  // guarded by mutex_
  bool timerArmed_ = false;       // guarded by mutex_
  std::atomic<bool> holdsImages_{false};
};

}  // namespace

void Animator::releaseOnMainQueue(std::vector<ImagePtr> images) { ReleaseBin::shared().release(std::move(images)); }

std::shared_ptr<Animator> Animator::make(std::shared_ptr<ImageFrameSource> frameSource, ImageScaling contentMode,
                                         Size size, Size imageSize, double imageScale, int maxFrameCount,
                                         RepeatCount maxRepeatCount,
                                         std::shared_ptr<foundation::SerialQueue> preloadQueue) {
  return std::make_shared<Animator>(Passkey{}, std::move(frameSource), contentMode, size, imageSize, imageScale,
                                    maxFrameCount, maxRepeatCount, std::move(preloadQueue));
}

Animator::Animator(Passkey, std::shared_ptr<ImageFrameSource> frameSource, ImageScaling contentMode, Size size,
                   Size imageSize, double imageScale, int maxFrameCount, RepeatCount maxRepeatCount,
                   std::shared_ptr<foundation::SerialQueue> preloadQueue)
    : size_(size),
      imageSize_(imageSize),
      imageScale_(imageScale),
      maxFrameCount_(std::max(maxFrameCount, 1)),
      frameSource_(std::move(frameSource)),
      maxRepeatCount_(maxRepeatCount),
      contentMode_(contentMode),
      preloadQueue_(std::move(preloadQueue)) {}

ImagePtr Animator::frameImage(std::ptrdiff_t index) const {
  auto frame = animatedFrames_.at(index);
  return frame ? frame->image : nullptr;
}

double Animator::frameDuration(std::ptrdiff_t index) const {
  return animatedFrames_.read(index, [](const AnimatedFrame& frame) { return frame.duration; })
      .value_or(std::numeric_limits<double>::infinity());
}

bool Animator::currentFrameNeverEnds() const {
  return animatedFrames_.read(currentFrameIndex_, [](const AnimatedFrame& frame) { return std::isinf(frame.duration); })
      .value_or(false);
}

ImagePtr Animator::takeImage(std::ptrdiff_t index) {
  ImagePtr taken;
  animatedFrames_.update(index, [&taken](AnimatedFrame& frame) { taken = std::move(frame.image); });
  return taken;
}

std::optional<double> Animator::placeholderDuration(std::ptrdiff_t index) const {
  return animatedFrames_
      .read(index, [](const AnimatedFrame& frame) { return frame.image ? std::nullopt : std::optional(frame.duration); })
      .value_or(std::nullopt);
}

void Animator::setCurrentFrameIndex(std::ptrdiff_t index) {
  VELLUM_REQUIRE_MAIN_QUEUE();
  // An index from outside is a place in the loop: outside the frames it wraps round into them (the next
  // frame change adds one to it, which the largest index would overflow).
  if (frameCount_ > 0) {
    const auto count = std::ptrdiff_t(frameCount_);
    index %= count;
    if (index < 0) index += count;
  } else {
    index = 0;
  }
  previousFrameIndex_ = currentFrameIndex_;
  currentFrameIndex_ = index;
  const auto previous = previousFrameIndex_;
  const auto current = std::size_t(std::max<std::ptrdiff_t>(index, 0));
  runOnPreloadQueue([previous, current](Animator& self) { self.updatePreloadedFrames(previous, current); });
}

bool Animator::hasReachedMaxRepeatCount() const {
  switch (maxRepeatCount_.kind()) {
    case RepeatCount::Kind::once:
      return currentRepeatCount >= 1;
    case RepeatCount::Kind::finite:
      return currentRepeatCount >= maxRepeatCount_.count();
    case RepeatCount::Kind::infinite:
      return false;
  }
  return false;
}

const std::shared_ptr<foundation::SerialQueue>& Animator::preloadQueue() {
  if (!preloadQueue_) preloadQueue_ = makePreloadQueue();
  return preloadQueue_;
}

std::shared_ptr<foundation::SerialQueue> Animator::makePreloadQueue() {
  static const auto* decoding = new foundation::SerialQueue(std::string(queue_labels::kAnimatorDecoding));
  return std::make_shared<foundation::SerialQueue>(std::string(queue_labels::kAnimatorPreload), *decoding);
}

std::optional<FrameSizing> Animator::frameSizing() const {
  std::lock_guard lock(lock_);
  return frameSizing_;
}

int Animator::frameSizingVersion() const {
  std::lock_guard lock(lock_);
  return frameSizingVersion_;
}

bool Animator::isCancelled() const {
  std::lock_guard lock(lock_);
  return isCancelled_;
}

void Animator::cancel() {
  std::lock_guard lock(lock_);
  isCancelled_ = true;
}

FrameSizing Animator::sizingFor(Size pixelSize, ImageScaling mode) const {
  return vellum::frameSizing(pixelSize, mode, needsPrescaling, imageSize_);
}

void Animator::prepareFrames() {
  VELLUM_REQUIRE_MAIN_QUEUE();
  frameCount_ = 0;
  if (frameSource_) guardedCall("A frame source's count", [&] { frameCount_ = frameSource_->frameCount(); });
  // A count no picture has (an application's source gone wrong) would size the frames' bookkeeping beyond any
  // memory: such a source is shown as a still picture, as one whose count throws is.
  if (frameCount_ > kMostFrames) frameCount_ = 0;
  animatedFrames_.reserveCapacity(frameCount_);
  {
    std::lock_guard lock(lock_);
    if (!frameSizing_) frameSizing_ = sizingFor(size_, contentMode_);
  }
  runOnPreloadQueue([](Animator& self) { self.setUpAnimatedFrames(); });
}

void Animator::updateFrameSizing(Size pixelSize, ImageScaling contentMode) {
  VELLUM_REQUIRE_MAIN_QUEUE();
  const FrameSizing proposed = sizingFor(pixelSize, contentMode);
  int version = 0;
  {
    std::lock_guard lock(lock_);
    if (!frameSizing_) return;  // set-up has not happened
    auto merged = mergedFrameSizing(*frameSizing_, proposed);
    if (!merged) return;
    frameSizing_ = *merged;
    version = ++frameSizingVersion_;
  }
  const auto current = std::size_t(std::max<std::ptrdiff_t>(currentFrameIndex_, 0));
  runOnPreloadQueue([version, current](Animator& self) { self.reloadFrames(version, current); });
}

void Animator::clearFrames(bool keepingCurrentFrame) {
  VELLUM_REQUIRE_MAIN_QUEUE();
  const auto current = std::size_t(std::max<std::ptrdiff_t>(currentFrameIndex_, 0));
  runOnPreloadQueue([keepingCurrentFrame, current](Animator& self) { self.clearFrames(keepingCurrentFrame, current); });
}

void Animator::advanceFrame() {
  VELLUM_REQUIRE_MAIN_QUEUE();
  if (frameCount_ == 0) return;
  ReleaseBin::shared().empty();
  const auto was = currentFrameIndex_;
  currentFrameIndex_ = (was + 1) % std::ptrdiff_t(frameCount_);
  previousFrameIndex_ = was;
  const auto current = std::size_t(currentFrameIndex_);
  runOnPreloadQueue([was, current](Animator& self) { self.updatePreloadedFrames(was, current); });

  auto delegateNow = delegate.lock();
  if (isLastFrame()) {
    ++currentRepeatCount;
    if (hasReachedMaxRepeatCount()) {
      isFinished = true;
      if (delegateNow) delegateNow->animatorDidCompleteLoop(*this, currentRepeatCount);
    }
  } else if (was == std::ptrdiff_t(frameCount_) - 1) {
    if (delegateNow) delegateNow->animatorDidCompleteLoop(*this, currentRepeatCount);
  }
}

std::vector<std::size_t> Animator::preloadIndices(std::size_t index) const {
  std::vector<std::size_t> indices;
  if (frameCount_ == 0) return indices;
  const std::size_t next = (index + 1) % frameCount_;
  const std::size_t last = (index + std::size_t(maxFrameCount_)) % frameCount_;
  if (next <= last) {
    for (std::size_t i = next; i <= last; ++i) indices.push_back(i);
  } else {
    for (std::size_t i = next; i < frameCount_; ++i) indices.push_back(i);
    for (std::size_t i = 0; i <= last; ++i) indices.push_back(i);
  }
  return indices;
}

void Animator::runOnPreloadQueue(std::function<void(Animator&)> job) {
  std::weak_ptr<Animator> weak = weak_from_this();
  preloadQueue()->post([weak, job = std::move(job)] {
    auto self = weak.lock();
    if (!self) return;
    job(*self);
    // A dropped animator is let go on the main queue, so its last release never lands on a worker.
    if (self->isCancelled()) foundation::MainQueue::post([self = std::move(self)] {});
  });
}

ImagePtr Animator::decodeFrame(std::size_t index) const {
  std::optional<Size> maxSize;
  {
    std::lock_guard lock(lock_);
    if (isCancelled_) return nullptr;
    if (frameSizing_) {
      if (frameSizing_->kind == FrameSizing::Kind::pending) return nullptr;
      if (frameSizing_->kind == FrameSizing::Kind::limited) maxSize = frameSizing_->size;
    }
  }
  ImagePtr image;
  // The frame source may be the application's: a frame it throws on is a frame that does not decode.
  if (frameSource_) guardedCall("A frame source's frame", [&] { image = frameSource_->frame(index, maxSize); });
  return image;
}

double Animator::sourceDuration(std::size_t index) const {
  double duration = 0;
  guardedCall("A frame source's duration", [&] { duration = frameSource_->duration(index); });
  // A duration that is no number, or below zero, is none: the frame shows for one refresh. Kept as given, a
  // NaN would hold its frame for good (no time reaches it) and a negative one would shorten the loop.
  return duration >= 0 ? duration : 0;
}

void Animator::setUpAnimatedFrames() {
  animatedFrames_.removeAll();
  {
    std::lock_guard lock(lock_);
    setupFrameSizingVersion_ = frameSizingVersion_;
    needsInitialFrameLoading_ = frameSizing_ && frameSizing_->kind == FrameSizing::Kind::pending;
  }
  double loop = 0;
  for (std::size_t index = 0; index < frameCount_; ++index) {
    const double duration = sourceDuration(index);
    animatedFrames_.append(AnimatedFrame{nullptr, duration});
    loop += std::min(duration, maxTimeStep);
    if (index <= std::size_t(maxFrameCount_) && !isCancelled()) {
      if (auto image = decodeFrame(index)) animatedFrames_.set(std::ptrdiff_t(index), AnimatedFrame{image, duration});
    }
  }
  loopDuration_.store(loop);
}

void Animator::reloadFrames(int version, std::size_t currentIndex) {
  if (animatedFrames_.count() != frameCount_ || version == setupFrameSizingVersion_) return;
  std::vector<std::size_t> wanted;
  if (preloadingIsNeeded()) {
    wanted.push_back(currentIndex);
    auto after = preloadIndices(currentIndex);
    wanted.insert(wanted.end(), after.begin(), after.end());
  } else {
    for (std::size_t i = 0; i < frameCount_; ++i) wanted.push_back(i);
  }
  const std::set<std::size_t> wantedSet(wanted.begin(), wanted.end());

  std::vector<ImagePtr> dropped;
  for (std::size_t i = 0; i < frameCount_; ++i) {
    if (wantedSet.count(i)) continue;
    if (auto image = takeImage(std::ptrdiff_t(i))) dropped.push_back(std::move(image));
  }
  releaseOnMainQueue(std::move(dropped));

  for (std::size_t index : wanted) {
    {
      std::lock_guard lock(lock_);
      if (isCancelled_ || frameSizingVersion_ != version) return;  // superseded: the newer pass finishes
    }
    auto frame = animatedFrames_.at(std::ptrdiff_t(index));
    if (!frame || !(frame->image || needsInitialFrameLoading_)) continue;
    auto image = decodeFrame(index);
    if (!image) continue;
    if (auto old = animatedFrames_.exchange(std::ptrdiff_t(index), AnimatedFrame{image, frame->duration});
        old && old->image) {
      releaseOnMainQueue({std::move(old->image)});
    }
    if (index == currentIndex) notifyRefreshed();
  }
  needsInitialFrameLoading_ = false;
}

void Animator::notifyRefreshed() {
  std::weak_ptr<Animator> weak = weak_from_this();
  foundation::MainQueue::post([weak] {
    assumeMainActorIsolation([&weak] {
      auto self = weak.lock();
      if (!self) return;
      if (auto d = self->delegate.lock()) d->animatorDidRefreshCurrentFrame(*self);
    });
  });
}

void Animator::updatePreloadedFrames(std::ptrdiff_t previousIndex, std::size_t currentIndex) {
  if (!preloadingIsNeeded() || isCancelled()) return;
  if (auto image = takeImage(previousIndex)) releaseOnMainQueue({std::move(image)});
  for (std::size_t index : preloadIndices(currentIndex)) {
    const auto duration = placeholderDuration(std::ptrdiff_t(index));
    if (!duration) continue;
    if (auto image = decodeFrame(index)) animatedFrames_.set(std::ptrdiff_t(index), AnimatedFrame{image, *duration});
  }
}

void Animator::clearFrames(bool keepingCurrentFrame, std::size_t currentIndex) {
  if (frameCount_ == 0 || animatedFrames_.count() == 0) return;
  std::vector<ImagePtr> dropped;
  for (std::size_t i = 0; i < animatedFrames_.count(); ++i) {
    if (keepingCurrentFrame && i == currentIndex) continue;
    if (auto image = takeImage(std::ptrdiff_t(i))) dropped.push_back(std::move(image));
  }
  releaseOnMainQueue(std::move(dropped));
}

}  // namespace vellum
