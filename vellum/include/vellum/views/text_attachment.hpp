#pragma once
// TextAttachment: an image inside attributed text. It is not a view: whichever view shows the text draws it,
// and must be told to redraw when the image changes. Thread rule: main queue only. Lifetime: a shared object.
#include <memory>

#include "vellum/general/associated_objects.hpp"
#include "vellum/general/vellum_wrapper.hpp"
#include "vellum/image/image.hpp"

namespace vellum {

class TextAttachment : public AssociatedObjects, public VellumCompatible {
 public:
  static std::shared_ptr<TextAttachment> make() { return std::make_shared<TextAttachment>(); }

  ImagePtr image() const { return image_; }
  void setImage(ImagePtr image);

 private:
  ImagePtr image_;
};

}  // namespace vellum

// `vl(view)` is how this view is used: its operations come with it.
#include "vellum/views/text_attachment_extension.hpp"
