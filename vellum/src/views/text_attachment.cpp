#include "vellum/views/text_attachment.hpp"

#include "vellum/views/view.hpp"

namespace vellum {

void TextAttachment::setImage(ImagePtr image) {
  VELLUM_REQUIRE_MAIN_QUEUE();
  image_ = std::move(image);
}

}  // namespace vellum
