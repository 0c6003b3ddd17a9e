#include "vellum/text_attachment.hpp"

#include "vellum/view.hpp"

namespace vellum {

void TextAttachment::setImage(ImagePtr image) {
  VELLUM_REQUIRE_MAIN_QUEUE();
  image_ = std::move(image);
}

}  // namespace vellum
