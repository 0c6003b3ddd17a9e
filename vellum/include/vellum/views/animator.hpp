#pragma once
// Animator: the frames of one animated image and which of them shows when. It keeps a slot per frame but
// decodes only a window around the current frame, no larger than the view needs, on its view's preload
// queue; frames it drops are released on the main queue. The animated image view owns one per image.
//
// Example (on the main queue), given vellum::ImagePtr image, std::shared_ptr<vellum::AnimatorDelegate> view,
//                                   std::shared_ptr<foundation::SerialQueue> preloadQueue, double step:
//   auto animator = vellum::Animator::make(image->frameSource()->copy(), vellum::ImageScaling::scaleProportionallyDown,
//                                          {64, 64}, image->pixelSize(), 1.0, /*maxFrameCount=*/10,
//                                          vellum::RepeatCount::infinite(), preloadQueue);
//   animator->delegate = view;           // main queue, before prepareFrames()
//   animator->prepareFrames();
//   // each display refresh:
//   animator->timeSinceLastFrameChange += step;
//   if (animator->timeSinceLastFrameChange >= animator->currentFrameDuration()) {
//     animator->timeSinceLastFrameChange = 0;
//     animator->advanceFrame();
//   }
//
// Threads: make, prepareFrames, updateFrameSizing, clearFrames, advanceFrame, setCurrentFrameIndex and the
// timing fields belong to the main queue (the operations check, and stop the process naming themselves when
// called from elsewhere); frame reads (frameImage, frameDuration) may come from any thread. Jobs on the
// preload queue are handed the frame indices the main queue had when it scheduled them, never read them.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <type_traits>
#include <vector>

#include "foundation/serial_queue.hpp"
#include "vellum/general/geometry.hpp"
#include "vellum/image/image.hpp"
#include "vellum/views/image_view.hpp"

namespace vellum {

// One frame slot: a frame without image is a placeholder, a frame not decoded (now).
struct AnimatedFrame {
  ImagePtr image;
  double duration = 0;

  AnimatedFrame placeholder() const { return AnimatedFrame{nullptr, duration}; }
};

class RepeatCount {
 public:
  enum class Kind { finite, once, infinite };
  static RepeatCount finite(unsigned count) { return RepeatCount(Kind::finite, count); }
  static RepeatCount once() { return RepeatCount(Kind::once, 1); }
  static RepeatCount infinite() { return RepeatCount(Kind::infinite, 0); }

  Kind kind() const { return kind_; }
  unsigned count() const { return count_; }

  // `once` equals `finite(1)`.
  friend bool operator==(const RepeatCount& a, const RepeatCount& b);

 private:
  RepeatCount(Kind kind, unsigned count) : kind_(kind), count_(count) {}
  Kind kind_;
  unsigned count_;
};

// How large frames are decoded.
struct FrameSizing {
  enum class Kind { limited, pending, original };
  Kind kind = Kind::original;
  Size size;  // limited only: no larger than this many pixels

  static FrameSizing limited(Size size) { return {Kind::limited, size}; }
  static FrameSizing pending() { return {Kind::pending, {}}; }
  static FrameSizing original() { return {Kind::original, {}}; }

  friend bool operator==(const FrameSizing& a, const FrameSizing& b) {
    return a.kind == b.kind && (a.kind != Kind::limited || a.size == b.size);
  }
};

// What frames a view of `viewPixels` showing an image of `imagePixels` needs. Sides are rounded to nearest,
// halves away from zero.
FrameSizing frameSizing(Size viewPixels, ImageScaling mode, bool needsPrescaling, Size imagePixels);
// The sizing that replaces `current` when `proposed` comes in; none when nothing changes. A limited size only
// grows, by at least one pixel on some side, and `original` is final.
std::optional<FrameSizing> mergedFrameSizing(const FrameSizing& current, const FrameSizing& proposed);

// A vector whose every operation takes its lock for its own duration only.
template <class Element>
class SafeArray {
 public:
  std::size_t count() const {
    std::lock_guard lock(mutex_);
    return array_.size();
  }
  // None for an index out of range.
  std::optional<Element> at(std::ptrdiff_t index) const {
    std::lock_guard lock(mutex_);
    if (index < 0 || std::size_t(index) >= array_.size()) return std::nullopt;
    return array_[std::size_t(index)];
  }
  // Nothing for no element or an index out of range.
  void set(std::ptrdiff_t index, std::optional<Element> element) {
    if (!element) return;
    std::lock_guard lock(mutex_);
    if (index < 0 || std::size_t(index) >= array_.size()) return;
    array_[std::size_t(index)] = std::move(*element);
  }
  // Calls `read` on the element under the lock, so that nothing of it is copied but what `read` answers; none
  // out of range.
  template <class Read>
  auto read(std::ptrdiff_t index, Read read) const -> std::optional<std::invoke_result_t<Read&, const Element&>> {
    std::lock_guard lock(mutex_);
    if (index < 0 || std::size_t(index) >= array_.size()) return std::nullopt;
    return read(array_[std::size_t(index)]);
  }
  // Calls `change` on the element under the lock; nothing out of range.
  template <class Change>
  void update(std::ptrdiff_t index, Change change) {
    std::lock_guard lock(mutex_);
    if (index < 0 || std::size_t(index) >= array_.size()) return;
    change(array_[std::size_t(index)]);
  }
  // Stores `element` and hands back what the slot held; none (and nothing stored) out of range.
  std::optional<Element> exchange(std::ptrdiff_t index, Element element) {
    std::lock_guard lock(mutex_);
    if (index < 0 || std::size_t(index) >= array_.size()) return std::nullopt;
    std::swap(array_[std::size_t(index)], element);
    return element;
  }
  void append(Element element) {
    std::lock_guard lock(mutex_);
    array_.push_back(std::move(element));
  }
  void removeAll() {
    std::lock_guard lock(mutex_);
    array_.clear();
  }
  void reserveCapacity(std::size_t capacity) {
    std::lock_guard lock(mutex_);
    array_.reserve(capacity);
  }

 private:
  mutable std::mutex mutex_;
  std::vector<Element> array_;
};

class Animator;

class AnimatorDelegate {
 public:
  virtual ~AnimatorDelegate() = default;
  virtual void animatorDidCompleteLoop(Animator& animator, unsigned count) = 0;
  virtual void animatorDidRefreshCurrentFrame(Animator& animator) = 0;
};

class Animator : public std::enable_shared_from_this<Animator> {
  struct Passkey {};

 public:
  static constexpr double maxTimeStep = 1.0;
  // A frame source claiming more frames than this is shown as a still picture: a slot per frame alone would
  // outgrow memory.
  static constexpr std::size_t kMostFrames = std::size_t{1} << 20;

  // `maxFrameCount` below 1 counts as 1: a window of 0 or less would wrap round to every frame. Without a
  // `preloadQueue` the animator makes its own on first use.
  static std::shared_ptr<Animator> make(std::shared_ptr<ImageFrameSource> frameSource, ImageScaling contentMode,
                                        Size size, Size imageSize, double imageScale, int maxFrameCount,
                                        RepeatCount maxRepeatCount,
                                        std::shared_ptr<foundation::SerialQueue> preloadQueue = nullptr);
  Animator(Passkey, std::shared_ptr<ImageFrameSource> frameSource, ImageScaling contentMode, Size size,
           Size imageSize, double imageScale, int maxFrameCount, RepeatCount maxRepeatCount,
           std::shared_ptr<foundation::SerialQueue> preloadQueue);

  // Set by the view before prepareFrames(); main queue.
  std::weak_ptr<AnimatorDelegate> delegate;
  bool needsPrescaling = true;
  // Timing, main queue only.
  double timeSinceLastFrameChange = 0;
  unsigned currentRepeatCount = 0;
  bool isFinished = false;

  Size size() const { return size_; }
  Size imageSize() const { return imageSize_; }
  double imageScale() const { return imageScale_; }
  int maxFrameCount() const { return maxFrameCount_; }
  const RepeatCount& maxRepeatCount() const { return maxRepeatCount_; }
  ImageScaling contentMode() const { return contentMode_; }
  std::size_t frameCount() const { return frameCount_; }
  // Sum over frames of min(duration, maxTimeStep); 0 until set-up has run, and for no frames.
  double loopDuration() const { return loopDuration_.load(); }

  // The slot's image; none out of range or for a placeholder.
  ImagePtr frameImage(std::ptrdiff_t index) const;
  // The slot's duration; +infinity out of range.
  double frameDuration(std::ptrdiff_t index) const;
  ImagePtr currentFrameImage() const { return frameImage(currentFrameIndex_); }
  double currentFrameDuration() const { return frameDuration(currentFrameIndex_); }
  // The current frame is set up and shows for good (an infinite duration): no refresh will move it on. A
  // frame not set up yet is not one.
  bool currentFrameNeverEnds() const;
  std::ptrdiff_t currentFrameIndex() const { return currentFrameIndex_; }
  std::ptrdiff_t previousFrameIndex() const { return previousFrameIndex_; }
  // Moves to `index` (wrapped round into the frames when outside them) and brings the window after it in.
  void setCurrentFrameIndex(std::ptrdiff_t index);
  bool isLastFrame() const { return currentFrameIndex_ == std::ptrdiff_t(frameCount_) - 1; }
  bool hasReachedMaxRepeatCount() const;

  const std::shared_ptr<foundation::SerialQueue>& preloadQueue();
  // A new preload queue. All of them target one process-wide queue, so that a refresh that moves many views on
  // wakes one worker, which decodes their frames one after another, rather than waking one worker per view.
  // Decoding is then serial across views: cheap, as a frame change asks for one frame and the window keeps
  // frames decoded well ahead, but a frame source that blocks holds up every view's frames.
  static std::shared_ptr<foundation::SerialQueue> makePreloadQueue();

  // Counts the frames, decides the first sizing and schedules the first decoding pass.
  void prepareFrames();
  // A new view size or scaling mode: frames are decoded again only for a larger accepted sizing.
  void updateFrameSizing(Size pixelSize, ImageScaling contentMode);
  // Drops decoded frames on the preload queue, all of them or all but the current one.
  void clearFrames(bool keepingCurrentFrame);
  // One frame on: schedules the window's update once and counts loops (on arrival at the last frame).
  void advanceFrame();
  // The frames after `index` that the window keeps decoded: the next `maxFrameCount`, wrapping round.
  std::vector<std::size_t> preloadIndices(std::size_t index) const;
  bool preloadingIsNeeded() const { return std::size_t(maxFrameCount_) + 1 < frameCount_; }

  std::optional<FrameSizing> frameSizing() const;
  int frameSizingVersion() const;
  bool isCancelled() const;
  // Set by the view when it drops the animator: queued jobs skip their work.
  void cancel();

 private:
  void runOnPreloadQueue(std::function<void(Animator&)> job);
  void setUpAnimatedFrames();
  void reloadFrames(int sizingVersion, std::size_t currentIndex);
  void updatePreloadedFrames(std::ptrdiff_t previousIndex, std::size_t currentIndex);
  void clearFrames(bool keepingCurrentFrame, std::size_t currentIndex);
  FrameSizing sizingFor(Size pixelSize, ImageScaling mode) const;
  // The frame at the current sizing; none while pending, cancelled or when it does not decode.
  ImagePtr decodeFrame(std::size_t index) const;
  // The frame source's duration for a slot: 0 for none, NaN, below zero, or a throw.
  double sourceDuration(std::size_t index) const;
  void notifyRefreshed();
  // Turns the slot into a placeholder and answers the image it held; none for a placeholder or out of range.
  ImagePtr takeImage(std::ptrdiff_t index);
  // The slot's duration while it is a placeholder; none once it holds an image, and out of range.
  std::optional<double> placeholderDuration(std::ptrdiff_t index) const;
  static void releaseOnMainQueue(std::vector<ImagePtr> images);

  const Size size_;
  const Size imageSize_;
  const double imageScale_;
  const int maxFrameCount_;
  const std::shared_ptr<ImageFrameSource> frameSource_;
  const RepeatCount maxRepeatCount_;
  const ImageScaling contentMode_;
  SafeArray<AnimatedFrame> animatedFrames_;
  std::size_t frameCount_ = 0;  // written once by prepareFrames() before any job is scheduled
  std::atomic<double> loopDuration_{0};

  mutable std::mutex lock_;
  std::optional<FrameSizing> frameSizing_;  // guarded by lock_
  int frameSizingVersion_ = 0;              // guarded by lock_
  bool isCancelled_ = false;                // guarded by lock_

  // Preload queue only.
  int setupFrameSizingVersion_ = 0;
  bool needsInitialFrameLoading_ = false;

  // Main queue only.
  std::ptrdiff_t currentFrameIndex_ = 0;
  std::ptrdiff_t previousFrameIndex_ = 0;
  std::shared_ptr<foundation::SerialQueue> preloadQueue_;
};

}  // namespace vellum
