#pragma once
// Running the caller's processor. A processor is caller code that may throw anything; whatever the path
// (a finished download, a partial progressive image, the manager's cache and provider paths), a throw costs
// only the image being processed: it counts as "no image", which each path reports as it reports a null
// answer (processingFailed, or a dropped partial image), and it never unwinds into the queue that runs it.
#include "vellum/image/image_processor.hpp"

namespace vellum {

// The options' processor's image for `item`; null when there is no processor, it answers null, or it throws
// (logged).
ImagePtr processGuarded(const ImageProcessItem& item, const VellumParsedOptionsInfo& options) noexcept;

}  // namespace vellum
