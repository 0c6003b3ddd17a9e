#pragma once
// ImageProgressive: the settings for showing a progressive JPEG while it downloads, held by the options'
// `progressiveJPEG`; and `progressiveRefresh`, the step that puts each partial image into a view.
//
// Example, given vellum::VellumParsedOptionsInfo& options:
//   auto progressive = std::make_shared<vellum::ImageProgressive>();
//   progressive->isFastestScan = false;
//   progressive->scanInterval = 0.2;   // at most five partial images a second
//   progressive->onImageUpdated.setBlock([](vellum::ImagePtr) {
//     return std::optional(vellum::ImageProgressive::UpdatingStrategy::keepCurrent());
//   });
//   options.progressiveJPEG = progressive;
//
// Thread rule: set the fields before handing the settings to the options; afterwards they are read from the
// decoding queue and the main queue. `onImageUpdated` is called on the main queue.
#include <functional>
#include <optional>

#include "vellum/general/delegate.hpp"
#include "vellum/image/image.hpp"

namespace vellum {

struct ImageProgressive {
  // What to do with a partial image.
  class UpdatingStrategy {
   public:
    enum class Kind { default_, keepCurrent, replace };
    // Show the partial image.
    static UpdatingStrategy default_() { return UpdatingStrategy(Kind::default_, nullptr); }
    // Leave the view as it is.
    static UpdatingStrategy keepCurrent() { return UpdatingStrategy(Kind::keepCurrent, nullptr); }
    // Show `image` instead.
    static UpdatingStrategy replace(ImagePtr image) { return UpdatingStrategy(Kind::replace, std::move(image)); }

    Kind kind() const { return kind_; }
    const ImagePtr& image() const { return image_; }

   private:
    UpdatingStrategy(Kind kind, ImagePtr image) : kind_(kind), image_(std::move(image)) {}
    Kind kind_;
    ImagePtr image_;
  };

  ImageProgressive() = default;
  ImageProgressive(bool blur, bool fastestScan, double interval)
      : isBlur(blur), isFastestScan(fastestScan), scanInterval(interval) {}

  // Blur partial images, which hides the blocks of the early, coarse scans.
  bool isBlur = true;
  // A partial image for every completed scan; otherwise at most one per `scanInterval`.
  bool isFastestScan = true;
  // Seconds between partial images when `isFastestScan` is off.
  double scanInterval = 0;
  // Asked for each partial image what to show; an empty slot shows the image.
  Delegate<ImagePtr, UpdatingStrategy> onImageUpdated;
};

// Shows a partial `image` through `setter` as `progressive`'s `onImageUpdated` decides: `default_` (or no
// answer) sets the image, `keepCurrent` sets nothing, `replace` sets the image it carries.
// REQUIRES: on the main queue.
void progressiveRefresh(const ImagePtr& image, const ImageProgressive& progressive,
                        const std::function<void(const ImagePtr&)>& setter);

}  // namespace vellum
