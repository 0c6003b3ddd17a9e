// JPEG through libjpeg-turbo. Its fatal errors long-jump back here; nothing with a destructor lives in the
// frames a jump crosses (the output buffer is owned by a Bitmap declared before setjmp and only resized).
#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "image/arriving_rows.hpp"
#include "image/jpeg_support.hpp"
#include "image/resample.hpp"

// The warnings' codes; after jpeglib.h, which it needs.
#include <jerror.h>

namespace vellum {
namespace jpeg {
namespace {

void onError(j_common_ptr info) {
  auto* manager = reinterpret_cast<ErrorManager*>(info->err);
  (*info->err->format_message)(info, manager->message);
  std::longjmp(manager->jump, 1);
}

void onMessage(j_common_ptr info, int level) {
  if (level >= 0) return;
  auto* manager = reinterpret_cast<ErrorManager*>(info->err);
  manager->warned = true;
  if (info->err->msg_code == JWRN_JPEG_EOF) manager->endedEarly = true;
  if (info->err->msg_code == JWRN_HIT_MARKER) manager->ranShort = true;
}

void onProgress(j_common_ptr info) {
  auto* decompress = reinterpret_cast<j_decompress_ptr>(info);
  if (info->is_decompressor && decompress->input_scan_number > kMaxScans) {
    auto* manager = reinterpret_cast<ErrorManager*>(info->err);
    std::snprintf(manager->message, sizeof manager->message, "too many scans");
    std::longjmp(manager->jump, 1);
  }
}

}  // namespace

void installErrorManager(j_common_ptr info, ErrorManager& errors) {
  info->err = jpeg_std_error(&errors.base);
  errors.base.error_exit = onError;
  errors.base.emit_message = onMessage;
  errors.message[0] = '\0';
  errors.warned = false;
  errors.endedEarly = false;
  errors.ranShort = false;
}

void installScanLimit(j_decompress_ptr info, jpeg_progress_mgr& progress) {
  progress.progress_monitor = onProgress;
  info->progress = &progress;
}

void limitWorkingMemory(j_decompress_ptr info, std::uint64_t pixels) {
  constexpr long kPeakBudget = 256L << 20, kLeastWorkingMemory = 32L << 20;
  info->mem->max_memory_to_use = std::max(kLeastWorkingMemory, kPeakBudget - static_cast<long>(pixels * 4));
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

bool everyCoefficientComplete(const jpeg_decompress_struct& info) {
  if (!info.progressive_mode || !info.coef_bits) return false;
  for (int c = 0; c < info.num_components; ++c) {
    for (int k = 0; k < DCTSIZE2; ++k) {
      if (info.coef_bits[c][k] != 0) return false;
    }
  }
  return true;
}

}  // namespace jpeg

namespace {

// Decodes into `bitmap`, owned by the caller so that no object with a destructor lives in a frame the
// error long-jump crosses. Answers false with `reason` set on failure. With `fitted`, the picture is meant
// to fit inside `box` (pixels): the fitted size is written there and the decoder scales by the smallest DCT
// scale that still covers it.
struct Box {
  double width = 0, height = 0;
};
bool decodeInto(std::span<const std::uint8_t> data, const DecodingLimits& limits, const Box& box, PixelSize* fitted,
                Bitmap* bitmap, std::string* reason) {
  jpeg_decompress_struct info;
  jpeg::ErrorManager errors;
  jpeg_progress_mgr progress;
  jpeg::installErrorManager(reinterpret_cast<j_common_ptr>(&info), errors);
  if (setjmp(errors.jump)) {
    jpeg_destroy_decompress(&info);
    *reason = errors.message;
    return false;
  }
  jpeg_create_decompress(&info);
  jpeg::installScanLimit(&info, progress);
  jpeg_mem_src(&info, data.data(), static_cast<unsigned long>(data.size()));
  if (jpeg_read_header(&info, TRUE) != JPEG_HEADER_OK) {
    jpeg_destroy_decompress(&info);
    *reason = "no image";
    return false;
  }
  if (info.image_width == 0 || info.image_height == 0) {
    jpeg_destroy_decompress(&info);
    *reason = "dimensions out of range";
    return false;
  }
  // Four-channel files (CMYK, and YCCK, which the decoder turns into CMYK) come out as CMYK, four bytes a
  // pixel like RGBA, and are converted row by row in place.
  const bool cmyk = info.jpeg_color_space == JCS_CMYK || info.jpeg_color_space == JCS_YCCK;
  const bool inverted = cmyk && info.saw_Adobe_marker;
  info.out_color_space = cmyk ? JCS_CMYK : JCS_EXT_RGBA;
  if (fitted) {
    *fitted = fitInside(info.image_width, info.image_height, box.width, box.height);
    info.scale_denom = 8;
    for (unsigned n = 1; n <= 8; ++n) {
      info.scale_num = n;
      jpeg_calc_output_dimensions(&info);
      if (info.output_width >= fitted->width && info.output_height >= fitted->height) break;
    }
  } else {
    jpeg_calc_output_dimensions(&info);
  }
  // The limit counts what the decode produces, after DCT scaling: a large photo decoded small passes.
  const std::uint64_t pixels = std::uint64_t{info.output_width} * info.output_height;
  if (pixels > limits.maxPixels) {
    jpeg_destroy_decompress(&info);
    *reason = "dimensions out of range";
    return false;
  }
  // A file of several scans keeps every coefficient of the picture until its last scan, allocated as
  // decompression starts, before any scan is read. Huffman-coded, each block of each component costs at
  // least a bit (its first scan's code for it), so data too short for that cannot be the picture and is
  // refused before the decoder sizes anything from the header. Arithmetic coding has no such floor.
  if (jpeg_has_multiple_scans(&info) && !info.arith_code) {
    std::uint64_t blocks = 0;
    for (int c = 0; c < info.num_components; ++c) {
      blocks += std::uint64_t{info.comp_info[c].width_in_blocks} * info.comp_info[c].height_in_blocks;
    }
    if (blocks / 8 > data.size()) {
      jpeg_destroy_decompress(&info);
      *reason = "data ends before the image does";
      return false;
    }
  }
  jpeg::limitWorkingMemory(&info, pixels);
  // Only the Huffman decoder says when a scan ran short; the arithmetic one fills in without a word.
  bool tellsShortScans = !jpeg_has_multiple_scans(&info) && !info.arith_code;
  // Data cut short (a download cut off, a torn file) decodes with grey, or the earlier scans only, in place of
  // what is missing: that is no picture of the file, and shown or cached it would pass for a good one for
  // good. Only a single scan known to have had all its data, and lacking just the end marker after it, is
  // whole. libjpeg goes on making rows of grey for as long as it is asked, so decoding stops as soon as the
  // data is known short: the pixels grow only with rows the file held (a multi-scan file has read all its
  // scans once decompression starts).
  const auto cutShort = [&] { return errors.endedEarly && (!tellsShortScans || errors.ranShort); };
  jpeg_start_decompress(&info);
  // A progressive file has read all its scans by now. Until every coefficient is known to its last bit a
  // missing end marker may as well mean missing scans; after that no scan can follow, and the file is whole
  // if its last scan was.
  if (!info.arith_code && jpeg::everyCoefficientComplete(info)) tellsShortScans = true;
  bitmap->width = info.output_width;
  bitmap->height = info.output_height;
  const std::size_t rowBytes = bitmap->bytesPerRow();
  while (info.output_scanline < info.output_height && !cutShort()) {
    JSAMPROW row = appendArriving(bitmap->pixels, rowBytes, rowBytes * bitmap->height, data.size());
    if (jpeg_read_scanlines(&info, &row, 1) != 1) break;
    if (cmyk) jpeg::cmykToRGBA(row, info.output_width, inverted);
  }
  if (cutShort() || info.output_scanline < info.output_height) {
    jpeg_destroy_decompress(&info);
    *reason = "data ends before the image does";
    return false;
  }
  jpeg_finish_decompress(&info);
  const bool whole = !cutShort();
  jpeg_destroy_decompress(&info);
  if (!whole) {
    *reason = "data ends before the image does";
    return false;
  }
  return true;
}

bool encodeInto(const Bitmap& bitmap, int quality, unsigned char** buffer, unsigned long* size) {
  jpeg_compress_struct info;
  jpeg::ErrorManager errors;
  jpeg::installErrorManager(reinterpret_cast<j_common_ptr>(&info), errors);
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
  if (data.empty()) return DecodingResult::failure({"JPEG: empty data"});
  Bitmap bitmap;
  std::string reason;
  if (!decodeInto(data, limits, {}, nullptr, &bitmap, &reason)) return DecodingResult::failure({"JPEG: " + reason});
  return DecodingResult::success(std::move(bitmap));
}

DecodingResult jpeg::decodeScaled(std::span<const std::uint8_t> data, double boxWidth, double boxHeight,
                                  PixelSize* fitted, const DecodingLimits& limits) {
  if (data.empty()) return DecodingResult::failure({"JPEG: empty data"});
  Bitmap bitmap;
  std::string reason;
  if (!decodeInto(data, limits, {boxWidth, boxHeight}, fitted, &bitmap, &reason)) {
    return DecodingResult::failure({"JPEG: " + reason});
  }
  return DecodingResult::success(std::move(bitmap));
}

DecodingResult decodeJPEGDownscaled(std::span<const std::uint8_t> data, std::uint32_t minLargestSide,
                                    const DecodingLimits& limits) {
  // A square box of the wanted side: the smallest DCT scale that covers the picture fitted inside it.
  const double side = std::max<std::uint32_t>(minLargestSide, 1);
  PixelSize fitted;
  return jpeg::decodeScaled(data, side, side, &fitted, limits);
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
