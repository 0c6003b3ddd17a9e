#include "vellum/views/image_view.hpp"

namespace vellum {

ImageView::ImageView(Rect frame) : View(frame) {}

void ImageView::setImage(ImagePtr image) {
  VELLUM_REQUIRE_MAIN_QUEUE();
  image_ = std::move(image);
}

void ImageView::setAnimates(bool animates) {
  VELLUM_REQUIRE_MAIN_QUEUE();
  animates_ = animates;
}

void ImageView::setImageScaling(ImageScaling scaling) {
  VELLUM_REQUIRE_MAIN_QUEUE();
  imageScaling_ = scaling;
}

void ImageView::setHighlighted(bool highlighted) {
  VELLUM_REQUIRE_MAIN_QUEUE();
  highlighted_ = highlighted;
}

void ImageView::Host::addSubview(std::shared_ptr<PlaceholderView> view) {
  // Every placeholder view of this toolkit is a View; another kind has nowhere to go in a view tree.
  if (auto asView = std::dynamic_pointer_cast<View>(view)) owner.View::addSubview(asView);
}

void ImageView::Host::removeSubview(const PlaceholderView& view) {
  for (auto& child : owner.subviews()) {
    if (static_cast<const PlaceholderView*>(child.get()) == &view) {
      child->removeFromSuperview();
      return;
    }
  }
}

}  // namespace vellum
