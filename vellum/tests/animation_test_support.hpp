#pragma once
// What the animator and animated-view tests share: a frame source of solid frames that counts its decodes,
// and a delegate that records what it hears.
#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <vector>

#include "vellum/views/animator.hpp"
#include "vellum/image/image.hpp"

namespace vellum::test {

// `count` frames of `width` x `height` pixels, frame i filled with the grey level i; frames listed in
// `broken` never decode. Copies share the counters, so the test sees what the animator's copy decodes.
class CountingFrameSource final : public ImageFrameSource {
 public:
  struct Counters {
    std::mutex mutex;
    std::vector<std::size_t> decoded;  // indices, in order
    std::vector<std::optional<Size>> sizes;
  };

  CountingFrameSource(std::size_t count, std::uint32_t width, std::uint32_t height, double duration = 0.05,
                      std::set<std::size_t> broken = {})
      : count_(count), width_(width), height_(height), duration_(duration), broken_(std::move(broken)),
        counters_(std::make_shared<Counters>()) {}

  std::shared_ptr<const foundation::Bytes> data() const override { return nullptr; }
  std::size_t frameCount() const override { return count_; }
  ImagePtr frame(std::size_t index, std::optional<Size> maxSize) const override {
    {
      std::lock_guard lock(counters_->mutex);
      counters_->decoded.push_back(index);
      counters_->sizes.push_back(maxSize);
    }
    if (index >= count_ || broken_.count(index)) return nullptr;
    std::uint32_t w = width_, h = height_;
    if (maxSize) {
      w = std::min(w, std::uint32_t(maxSize->width));
      h = std::min(h, std::uint32_t(maxSize->height));
    }
    Bitmap bitmap{w, h, std::vector<std::uint8_t>(std::size_t{w} * h * 4, std::uint8_t(index))};
    return Image::make(std::move(bitmap));
  }
  double duration(std::size_t) const override { return duration_; }
  std::shared_ptr<ImageFrameSource> copy() const override { return std::make_shared<CountingFrameSource>(*this); }

  std::size_t decodeCount() const {
    std::lock_guard lock(counters_->mutex);
    return counters_->decoded.size();
  }
  std::vector<std::size_t> decodedIndices() const {
    std::lock_guard lock(counters_->mutex);
    return counters_->decoded;
  }
  std::vector<std::optional<Size>> decodedSizes() const {
    std::lock_guard lock(counters_->mutex);
    return counters_->sizes;
  }

 private:
  std::size_t count_;
  std::uint32_t width_, height_;
  double duration_;
  std::set<std::size_t> broken_;
  std::shared_ptr<Counters> counters_;
};

class RecordingAnimatorDelegate final : public AnimatorDelegate {
 public:
  void animatorDidCompleteLoop(Animator&, unsigned count) override {
    std::lock_guard lock(mutex_);
    loops_.push_back(count);
  }
  void animatorDidRefreshCurrentFrame(Animator&) override { ++refreshes_; }

  std::vector<unsigned> loops() const {
    std::lock_guard lock(mutex_);
    return loops_;
  }
  int refreshes() const { return refreshes_.load(); }

 private:
  mutable std::mutex mutex_;
  std::vector<unsigned> loops_;
  std::atomic<int> refreshes_{0};
};

}  // namespace vellum::test
