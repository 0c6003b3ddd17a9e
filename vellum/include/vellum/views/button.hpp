#pragma once
// Button: a headless push button with two independent image slots, its image and its alternate image (shown
// while pressed). Thread rule: main queue only. Lifetime: a shared object, as every view.
#include <memory>

#include "vellum/views/view.hpp"
#include "vellum/general/vellum_wrapper.hpp"

namespace vellum {

class Button : public View, public VellumCompatible {
 public:
  using View::View;
  static std::shared_ptr<Button> make(Rect frame = {}) { return std::make_shared<Button>(frame); }

  ImagePtr image() const { return image_; }
  void setImage(ImagePtr image);
  ImagePtr alternateImage() const { return alternateImage_; }
  void setAlternateImage(ImagePtr image);

 private:
  ImagePtr image_;
  ImagePtr alternateImage_;
};

}  // namespace vellum

// `vl(view)` is how this view is used: its operations come with it.
#include "vellum/views/button_extension.hpp"
