#pragma once
// VLAnimatedImage: the declarative image view for animated images. It is VLImage with another holding view:
// a bridge that puts an AnimatedImageView into the tree, made once per identity with the context's render
// configurations applied before its first image, and afterwards only handed each new image.
//
// Example (on the main queue), given const vellum::URL& url:
//   auto row = vellum::VLAnimatedImage::url(url)
//                  .configure([](vellum::AnimatedImageView& v) { v.setRepeatCount(vellum::RepeatCount::once()); });
//
// Thread rule: as VLImage.
#include <functional>
#include <memory>

#include "vellum/views/animated_image_view.hpp"
#include "vellum/views/vl_image.hpp"

namespace vellum {

// The low layout priority a bridged view resists compression with, both ways.
inline constexpr float kLayoutPriorityDefaultLow = 250;

struct VLAnimatedImageViewRepresenter {
  using RenderingView = AnimatedImageView;
  using Context = VLImageContext<VLAnimatedImageViewRepresenter>;

  ImagePtr image;
  std::shared_ptr<Context> context;

  static VLAnimatedImageViewRepresenter created(ImagePtr image, const std::shared_ptr<Context>& context) {
    return VLAnimatedImageViewRepresenter{std::move(image), context};
  }
  // The view, made once: configured, then given its image.
  std::shared_ptr<AnimatedImageView> makeNSView() const;
  // Only the image is applied again.
  void updateNSView(AnimatedImageView& view) const;
  AnyView anyView() const;
};

class VLAnimatedImage : public VLImageProtocol<VLAnimatedImage, VLAnimatedImageViewRepresenter> {
 public:
  using VLImageProtocol::configure;
  using VLImageProtocol::VLImageProtocol;
  explicit VLAnimatedImage(const std::optional<URL>& url)
      : VLImageProtocol(url ? std::optional<Source>(convertToSource(*url)) : std::nullopt) {}

  // A closure for the AppKit-side view, run once when it is made, in the order added.
  VLAnimatedImage configure(std::function<void(AnimatedImageView&)> block) const;
};

}  // namespace vellum
