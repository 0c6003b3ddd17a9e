#pragma once
// Decodes a progressive JPEG while its bytes arrive (libjpeg-turbo's buffered-image mode over a suspending
// source): after each scan that the bytes so far complete, the picture of every scan up to it can be
// rendered. Bytes are untrusted: a fatal error or any corruption warning (libjpeg patches corrupt entropy
// data and carries on) ends decoding for good, so a corrupt or truncated scan never gives a picture, and
// the scan count and working memory are capped as for whole-file decoding.
//
//   ProgressiveJPEGDecoder decoder;
//   decoder.append(chunk, [] { return true; }, [](Bitmap picture) { show(picture); });
//
// Thread rule: not thread-safe; one caller at a time. Keeps every byte it has not consumed yet.
#include <cstdint>
#include <functional>
#include <memory>
#include <span>

#include "vellum/image/image_codecs.hpp"

namespace vellum {

class ProgressiveJPEGDecoder {
 public:
  enum class State {
    reading,         // waiting for more bytes
    notProgressive,  // a single-scan (or four-channel) file: no partial pictures to give
    finished,        // the end of the image was read
    failed,          // corrupt, over the limits, or no JPEG at all
  };

  explicit ProgressiveJPEGDecoder(DecodingLimits limits = {});
  ~ProgressiveJPEGDecoder();
  ProgressiveJPEGDecoder(const ProgressiveJPEGDecoder&) = delete;
  ProgressiveJPEGDecoder& operator=(const ProgressiveJPEGDecoder&) = delete;

  // Adds the next bytes and decodes as far as they go. At each scan they complete, `wantsPicture` is asked;
  // when it answers true the picture of all scans so far (RGBA, full size) goes to `onPicture`. Does nothing
  // once the state is other than `reading`.
  void append(std::span<const std::uint8_t> bytes, const std::function<bool()>& wantsPicture,
              const std::function<void(Bitmap)>& onPicture);

  State state() const;
  // Scans completed so far.
  int completedScans() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace vellum
