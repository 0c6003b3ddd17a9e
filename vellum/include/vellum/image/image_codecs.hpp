#pragma once
// Decoding and encoding of PNG (libpng), JPEG (libjpeg-turbo) and GIF (giflib). Decoders take untrusted
// bytes: a hostile or broken input gives a DecodingError, never a crash, and never more pixels than the
// limits allow.
//
// Example, given const foundation::Bytes& bytes, const vellum::Bitmap& bitmap,
//                std::function<void(const vellum::Bitmap&)> use, std::function<void(std::string)> log:
//   auto decoded = vellum::decodePNG(bytes);
//   if (decoded) use(decoded.value()); else log(decoded.error().reason);
//   std::optional<foundation::Bytes> jpeg = vellum::encodeJPEG(bitmap, 0.8);
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "foundation/bytes.hpp"
#include "foundation/result.hpp"
#include "vellum/image/image.hpp"

namespace vellum {

// What one decode may cost, checked against the sizes a file claims before anything that size is allocated,
// so that a hostile file of a few hundred bytes costs at most about 256 MB at peak (4 bytes a pixel):
// - one picture (a still image, a GIF canvas, a GIF frame's raster) of at most `maxPixels`: 50 x 2^20
//   pixels, 200 MiB of RGBA, which a 50-megapixel photo fits; a PNG also at most a million pixels wide (the
//   decoder holds whole rows at the file's depth, whatever size it decodes to);
// - a GIF holding at most `maxTotalPixels` at once: one canvas per frame kept, the canvas being drawn on
//   while more frames follow, what a dispose-to-previous frame covers, and each kept frame's own bookkeeping
//   (Image::kFrameOverheadBytes, in pixels' worth) (100 frames of 500 x 500 fit);
// - a JPEG decoder's own working memory (whole-image coefficient buffers of progressive files) of at most
//   256 MiB less the picture, and never less than 32 MiB, so a large progressive file can be refused.
struct DecodingLimits {
  std::uint64_t maxPixels = std::uint64_t{50} << 20;
  std::uint64_t maxTotalPixels = std::uint64_t{50} << 20;
};

struct DecodingError {
  std::string reason;
};

using DecodingResult = foundation::Result<Bitmap, DecodingError>;

DecodingResult decodePNG(std::span<const std::uint8_t> data, const DecodingLimits& limits = {});
// Decoded row by row into a bitmap whose larger side is at most `maxLargestSide` (each side scaled by
// maxLargestSide / larger side and rounded, at least 1), each pixel the alpha-weighted mean of its box: only
// one source row is held at a time. Interlaced files, and images already small enough, decode whole (the
// caller scales those). The limits count the pixels the file declares.
DecodingResult decodePNGDownscaled(std::span<const std::uint8_t> data, std::uint32_t maxLargestSide,
                                   const DecodingLimits& limits = {});
DecodingResult decodeJPEG(std::span<const std::uint8_t> data, const DecodingLimits& limits = {});
// Decoded at the smallest of libjpeg-turbo's DCT scales (1/8 to 8/8) whose larger side still reaches
// `minLargestSide` (full size when none does): far cheaper than a full decode for a small target. The limits
// count the pixels after scaling.
DecodingResult decodeJPEGDownscaled(std::span<const std::uint8_t> data, std::uint32_t minLargestSide,
                                    const DecodingLimits& limits = {});

// One composited GIF frame: the whole canvas as it shows while the frame is on screen.
struct GIFFrame {
  Bitmap canvas;
  double delay = 0.1;  // seconds, by gifFrameDuration
};

// Frames composited onto the logical screen, applying each frame's disposal and transparent colour.
// With `onlyFirstFrame` decoding stops after the first frame.
foundation::Result<std::vector<GIFFrame>, DecodingError> decodeGIF(std::span<const std::uint8_t> data,
                                                                   bool onlyFirstFrame = false,
                                                                   const DecodingLimits& limits = {});

// How many frames GIF data holds, counted without decoding them; 0 when it cannot be read.
std::size_t gifFrameCount(std::span<const std::uint8_t> data);

// A frame's delay in seconds from its delay field (hundredths of a second): a value over 0.011 s is kept,
// anything else (0 included) shows for 0.1 s.
double gifFrameDuration(std::optional<double> delaySeconds);

std::optional<foundation::Bytes> encodePNG(const Bitmap& bitmap);
// `quality` is 0...1 (clamped); alpha is dropped.
std::optional<foundation::Bytes> encodeJPEG(const Bitmap& bitmap, double quality);

// PNG data of an image; none when it has no bitmap or encoding fails.
std::optional<foundation::Bytes> pngRepresentation(const Image& image);
// JPEG data at `quality`; none when it has no bitmap or encoding fails.
std::optional<foundation::Bytes> jpegRepresentation(const Image& image, double quality);
// The GIF bytes kept with an image made from GIF data; for an animation without them (one a processor
// redrew), its frames encoded as a GIF with their durations; none for a still image or a failed encoding.
std::optional<foundation::Bytes> gifRepresentation(const Image& image);

// Makes an image from encoded data, by its sniffed format. PNG and JPEG give a still image at scale 1;
// GIF gives its first frame carrying the GIF bytes, the frame count, a frame source and `options`; with
// `preloadAll` also the frame list, each frame's duration and the total duration (infinite for a single
// frame), every frame decoded up front within the limits. Without `preloadAll` (and without
// `onlyFirstFrame`) only the first frame is decoded: the frame source decodes the others when asked, so an
// animation of any length holds one canvas, and the total duration is still given. Null when the data
// cannot be decoded.
ImagePtr imageFromData(std::span<const std::uint8_t> data, const ImageCreatingOptions& options = {});
// Why imageFromData makes no image of `data`, in its decoder's words ("PNG: ...", or "the data is not a PNG,
// JPEG or GIF image" when no decoder knows it); none when it decodes.
std::optional<std::string> decodingFailure(std::span<const std::uint8_t> data);

}  // namespace vellum
