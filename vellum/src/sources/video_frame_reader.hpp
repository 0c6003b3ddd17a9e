#pragma once
// One frame of a local video file, read synchronously on the calling thread (what VideoFileImageGenerator
// runs on the pool). Failures throw VideoFrameError; `isCancelled` is polled while demuxing and decoding, and
// a cancelled read answers Result::cancelled.
#include <functional>

#include "vellum/sources/asset_image_generator.hpp"

namespace vellum {

AssetImageGenerator::Outcome readVideoFrame(const URL& url, MediaTime time, bool applyTransform,
                                            const std::function<bool()>& isCancelled);

}  // namespace vellum
