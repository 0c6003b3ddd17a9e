#pragma once
// What every libjpeg-turbo caller of the library shares: an error manager whose fatal errors long-jump back
// to the caller, a monitor that caps the scans of progressive files, and the four-channel conversion.
// jpeglib.h uses size_t and FILE without including their headers.
#include <cstddef>
#include <cstdio>
// clang-format off
#include <jpeglib.h>
// clang-format on

#include <csetjmp>
#include <cstdint>
#include <span>

#include "image/resample.hpp"
#include "vellum/image/image_codecs.hpp"

namespace vellum::jpeg {

struct ErrorManager {
  jpeg_error_mgr base;
  std::jmp_buf jump;
  char message[JMSG_LENGTH_MAX];
  // Set by the first warning (libjpeg warns on corrupt entropy data and carries on with filled-in values).
  bool warned = false;
  // The data ended before its end-of-image marker (libjpeg then pretends one and carries on).
  bool endedEarly = false;
  // A scan lacked data it needed, and libjpeg filled in the rest of it.
  bool ranShort = false;
};

// Points `info` at `errors`: fatal errors format their message and long-jump to `errors.jump`; warnings only
// set `errors.warned` (and `endedEarly` or `ranShort` for those two).
void installErrorManager(j_common_ptr info, ErrorManager& errors);

// A progressive file can hold an unbounded number of scans, each a full pass over the coefficients: the
// monitor stops a decoder past `kMaxScans` so hostile data cannot keep it busy for minutes.
constexpr int kMaxScans = 500;
void installScanLimit(j_decompress_ptr info, jpeg_progress_mgr& progress);

// Working memory of the decoder itself (coefficient buffers of progressive files) shares one budget with the
// picture of `pixels` pixels; libjpeg checks it before allocating and fails instead of exceeding it.
void limitWorkingMemory(j_decompress_ptr info, std::uint64_t pixels);

// Whether every scan a progressive file can have has been read: each coefficient of each component refined to
// its last bit (successive approximation down to 0). Valid between jpeg_start_decompress and
// jpeg_finish_decompress; false for a sequential file.
bool everyCoefficientComplete(const jpeg_decompress_struct& info);

// Ink to light, in place over a row of CMYK pixels (four bytes each), leaving opaque RGBA.
void cmykToRGBA(std::uint8_t* row, JDIMENSION width, bool inverted);

// Decodes for a picture that must fit inside a box of `boxWidth` x `boxHeight` pixels: with libjpeg-turbo's
// DCT scaling at the smallest of its scales (n/8, n = 1...8) whose output still covers the fitted size
// (`fitInside` of the full size), which is written to `*fitted`. Decoding at 1/8 reads only the DC
// coefficients, so a thumbnail of a large photo costs a fraction of a full decode.
// REQUIRES: a positive, finite box.
DecodingResult decodeScaled(std::span<const std::uint8_t> data, double boxWidth, double boxHeight,
                            PixelSize* fitted, const DecodingLimits& limits = {});

}  // namespace vellum::jpeg
