#pragma once
// One thumbnail made on the calling thread: what ThumbnailImageDataProvider runs on the decoding workers.
// The file's head is read first; a file that is no image of a known format, or declares a size the decoders
// refuse, is refused before the rest of it is read.
#include <stop_token>

#include "foundation/bytes.hpp"
#include "vellum/sources/url.hpp"

namespace vellum {

// Thrown by makeThumbnail when `stop` was requested before the image was decoded.
struct ThumbnailStopped {};

// The thumbnail's encoded bytes. Throws ThumbnailImageDataProvider::ThumbnailImageDataProviderError, or
// ThumbnailStopped.
foundation::Bytes makeThumbnail(const URL& url, double maxPixelSize, bool alwaysCreate, const std::stop_token& stop);

}  // namespace vellum
