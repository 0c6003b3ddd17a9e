// JPEG through libjpeg-turbo. Its fatal errors long-jump back here; nothing with a destructor lives in the
// frames a jump crosses (the output buffer is owned by a Bitmap declared before setjmp and only resized).
// jpeglib.h uses size_t and FILE without including their headers.
#include <cstddef>
#include <cstdio>
// clang-format off
#include <jpeglib.h>
// clang-format on

#include <algorithm>
#include <cmath>
#include <csetjmp>
#include <cstdlib>

#include "vellum/image_codecs.hpp"

namespace vellum {
namespace {

struct ErrorManager {
  jpeg_error_mgr base;
  std::jmp_buf jump;
  char message[JMSG_LENGTH_MAX];
};

void onError(j_common_ptr info) {
  auto* manager = reinterpret_cast<ErrorManager*>(info->err);
  (*info->err->format_message)(info, manager->message);
  std::longjmp(manager->jump, 1);
}

void onMessage(j_common_ptr, int) {}

// A progressive file can hold an unbounded number of scans, each a full pass over the coefficients: cap them
// so hostile data cannot keep the decoder busy for minutes.
constexpr int kMaxScans = 500;

void onProgress(j_common_ptr info) {
  auto* decompress = reinterpret_cast<j_decompress_ptr>(info);
  if (info->is_decompressor && decompress->input_scan_number > kMaxScans) {
    auto* manager = reinterpret_cast<ErrorManager*>(info->err);
    std::snprintf(manager->message, sizeof manager->message, "too many scans");
    std::longjmp(manager->jump, 1);
  }
}

// Ink to light without a colour profile: each of red, green and blue is what its ink and the black let
// through. Files with an Adobe marker (Photoshop's) store every ink inverted, 255 meaning none.
void cmykToRGBA(std::uint8_t* row, JDIMENSION width, bool inverted) {
  for (JDIMENSION x = 0; x < width; ++x) {
    std::uint8_t* p = row + std::size_t{x} * 4;
    const unsigned k = inverted ? p[3] : 255u - p[3];
    for (int c = 0; c < 3; ++c) {
      const unsigned through = inverted ? p[c] : 255u - p[c];
      p[c] = static_cast<std::uint8_t>((through * k + 127) / 255);
    }
    p[3] = 255;
  }
}

}  // namespace

namespace {

// Decodes into `bitmap`, owned by the caller so that no object with a destructor lives in a frame the
// error long-jump crosses. Answers false with `reason` set on failure.
bool decodeInto(std::span<const std::uint8_t> data, const DecodingLimits& limits, Bitmap* bitmap,
                std::string* reason) {
  jpeg_decompress_struct info;
  ErrorManager errors;
  jpeg_progress_mgr progress;
  info.err = jpeg_std_error(&errors.base);
  errors.base.error_exit = onError;
  errors.base.emit_message = onMessage;
  errors.message[0] = '\0';
  if (setjmp(errors.jump)) {
    jpeg_destroy_decompress(&info);
    *reason = errors.message;
    return false;
  }
  jpeg_create_decompress(&info);
  progress.progress_monitor = onProgress;
  info.progress = &progress;
  jpeg_mem_src(&info, data.data(), static_cast<unsigned long>(data.size()));
  if (jpeg_read_header(&info, TRUE) != JPEG_HEADER_OK) {
    jpeg_destroy_decompress(&info);
    *reason = "no image";
    return false;
  }
  const std::uint64_t pixels = std::uint64_t{info.image_width} * info.image_height;
  if (info.image_width == 0 || info.image_height == 0 || pixels > limits.maxPixels) {
    jpeg_destroy_decompress(&info);
    *reason = "dimensions out of range";
    return false;
  }
  // Four-channel files (CMYK, and YCCK, which the decoder turns into CMYK) come out as CMYK, four bytes a
  // pixel like RGBA, and are converted row by row in place.
  // Working memory of the decoder itself (coefficient buffers of progressive files) shares one budget with
  // the picture; libjpeg checks it before allocating and fails instead of exceeding it.
  constexpr long kPeakBudget = 256L << 20, kLeastWorkingMemory = 32L << 20;
  info.mem->max_memory_to_use = std::max(kLeastWorkingMemory, kPeakBudget - static_cast<long>(pixels * 4));
  const bool cmyk = info.jpeg_color_space == JCS_CMYK || info.jpeg_color_space == JCS_YCCK;
  const bool inverted = cmyk && info.saw_Adobe_marker;
  info.out_color_space = cmyk ? JCS_CMYK : JCS_EXT_RGBA;
  jpeg_start_decompress(&info);
  bitmap->width = info.output_width;
  bitmap->height = info.output_height;
  bitmap->pixels.resize(bitmap->bytesPerRow() * bitmap->height);
  while (info.output_scanline < info.output_height) {
    JSAMPROW row = bitmap->pixels.data() + bitmap->bytesPerRow() * info.output_scanline;
    if (jpeg_read_scanlines(&info, &row, 1) == 1 && cmyk) cmykToRGBA(row, info.output_width, inverted);
  }
  jpeg_finish_decompress(&info);
  jpeg_destroy_decompress(&info);
  return true;
}

bool encodeInto(const Bitmap& bitmap, int quality, unsigned char** buffer, unsigned long* size) {
  jpeg_compress_struct info;
  ErrorManager errors;
  info.err = jpeg_std_error(&errors.base);
  errors.base.error_exit = onError;
  errors.base.emit_message = onMessage;
  if (setjmp(errors.jump)) {
    jpeg_destroy_compress(&info);
    return false;
  }
  jpeg_create_compress(&info);
  jpeg_mem_dest(&info, buffer, size);
  info.image_width = bitmap.width;
  info.image_height = bitmap.height;
  info.input_components = 4;
  info.in_color_space = JCS_EXT_RGBA;
  jpeg_set_defaults(&info);
  jpeg_set_quality(&info, quality, TRUE);
  jpeg_start_compress(&info, TRUE);
  while (info.next_scanline < info.image_height) {
    JSAMPROW row = const_cast<std::uint8_t*>(bitmap.pixels.data() + bitmap.bytesPerRow() * info.next_scanline);
    jpeg_write_scanlines(&info, &row, 1);
  }
  jpeg_finish_compress(&info);
  jpeg_destroy_compress(&info);
  return true;
}

}  // namespace

DecodingResult decodeJPEG(std::span<const std::uint8_t> data, const DecodingLimits& limits) {
  if (data.empty()) return DecodingResult::failure({"empty JPEG data"});
  Bitmap bitmap;
  std::string reason;
  if (!decodeInto(data, limits, &bitmap, &reason)) return DecodingResult::failure({"JPEG: " + reason});
  return DecodingResult::success(std::move(bitmap));
}

std::optional<foundation::Bytes> encodeJPEG(const Bitmap& bitmap, double quality) {
  if (bitmap.width == 0 || bitmap.height == 0 || bitmap.pixels.size() < bitmap.bytesPerRow() * bitmap.height) {
    return std::nullopt;
  }
  if (std::isnan(quality)) quality = 1.0;
  // libjpeg's scale starts at 1; a requested 0 is its lowest quality.
  const int q = std::max(1, static_cast<int>(std::lround(std::clamp(quality, 0.0, 1.0) * 100.0)));
  unsigned char* buffer = nullptr;
  unsigned long size = 0;
  const bool ok = encodeInto(bitmap, q, &buffer, &size);
  std::optional<foundation::Bytes> out;
  if (ok && buffer) out.emplace(buffer, buffer + size);
  std::free(buffer);
  return out;
}

}  // namespace vellum
