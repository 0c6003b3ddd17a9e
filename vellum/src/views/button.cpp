#include "vellum/views/button.hpp"

namespace vellum {

void Button::setImage(ImagePtr image) {
  VELLUM_REQUIRE_MAIN_QUEUE();
  image_ = std::move(image);
}

void Button::setAlternateImage(ImagePtr image) {
  VELLUM_REQUIRE_MAIN_QUEUE();
  alternateImage_ = std::move(image);
}

}  // namespace vellum
