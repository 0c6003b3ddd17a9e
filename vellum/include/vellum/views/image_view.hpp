#pragma once
// ImageView: a headless view that shows one image. It records what a toolkit image view would draw (the
// image, whether it animates, how it scales) and is the host that placeholders and loading indicators are
// put on. `animates` is kept, never played: the animated image view plays frames itself.
//
// Example (on the main queue), given vellum::ImagePtr image, vellum::ImagePtr gray:
//   auto view = vellum::ImageView::make(vellum::Rect{{0, 0}, {64, 64}});
//   view->setImage(image);
//   vellum::ImagePlaceholder(gray).add(view->placeholderHost());   // shows gray
//
// Thread rule: main queue only. Lifetime: a shared object, as every view.
#include <memory>

#include "vellum/views/view.hpp"
#include "vellum/general/vellum_wrapper.hpp"

namespace vellum {

enum class ImageScaling { scaleProportionallyDown, scaleAxesIndependently, scaleNone, scaleProportionallyUpOrDown };

class ImageView : public View, public VellumCompatible {
 public:
  explicit ImageView(Rect frame = {});
  static std::shared_ptr<ImageView> make(Rect frame = {}) { return std::make_shared<ImageView>(frame); }

  ImagePtr image() const {
    VELLUM_REQUIRE_MAIN_QUEUE();
    return image_;
  }
  // Hook: a new image (null clears). Overrides call this base version to store it.
  virtual void setImage(ImagePtr image);

  virtual bool animates() const {
    VELLUM_REQUIRE_MAIN_QUEUE();
    return animates_;
  }
  virtual void setAnimates(bool animates);
  virtual ImageScaling imageScaling() const {
    VELLUM_REQUIRE_MAIN_QUEUE();
    return imageScaling_;
  }
  virtual void setImageScaling(ImageScaling scaling);
  virtual bool isHighlighted() const {
    VELLUM_REQUIRE_MAIN_QUEUE();
    return highlighted_;
  }
  virtual void setHighlighted(bool highlighted);
  bool canDrawSubviewsIntoLayer() const {
    VELLUM_REQUIRE_MAIN_QUEUE();
    return canDrawSubviewsIntoLayer_;
  }
  void setCanDrawSubviewsIntoLayer(bool value) {
    VELLUM_REQUIRE_MAIN_QUEUE();
    canDrawSubviewsIntoLayer_ = value;
  }

  // Whether loads into this view decode every frame of an animated image up front. A view that decodes
  // frames as it plays them answers false.
  virtual bool shouldPreloadAllAnimation() const { return true; }

  // The side placeholders talk to: their image becomes this view's image, a view placeholder a subview.
  PlaceholderHost& placeholderHost() { return host_; }

 private:
  struct Host final : PlaceholderHost {
    explicit Host(ImageView& view) : owner(view) {}
    void setImage(ImagePtr image) override { owner.setImage(std::move(image)); }
    void addSubview(std::shared_ptr<PlaceholderView> view) override;
    void removeSubview(const PlaceholderView& view) override;
    ImageView& owner;
  };

  ImagePtr image_;
  bool animates_ = false;
  ImageScaling imageScaling_ = ImageScaling::scaleProportionallyDown;
  bool highlighted_ = false;
  bool canDrawSubviewsIntoLayer_ = false;
  Host host_{*this};
};

}  // namespace vellum

// `vl(view)` is how this view is used: its operations come with it.
#include "vellum/views/image_view_extension.hpp"
