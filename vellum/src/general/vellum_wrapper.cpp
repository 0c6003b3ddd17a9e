#include "vellum/general/vellum_wrapper.hpp"

#include "vellum/image/image_codecs.hpp"

namespace vellum {

ImagePtr VellumWrapper<Image>::imageFromData(std::span<const std::uint8_t> data, const ImageCreatingOptions& options) {
  return vellum::imageFromData(data, options);
}

}  // namespace vellum
