#pragma once
// LivePhoto: a still photo and its short movie, as a live-photo view shows them, and the assembler that makes
// one from the files the retrieval manager stored.
//
// There is no live-photo playback on Linux: the default assembler pairs the files (the still by the image
// type it was stored with, the movie by ".mov"), checks that both exist and delivers one final live photo
// naming them, decoding nothing. An app that plays live photos supplies its own assembler.
//
// Thread rule: an assembler may answer on any thread, any number of times (degraded versions first, then a
// final one); the live-photo view moves each answer to the main queue.
#include <filesystem>
#include <functional>
#include <memory>
#include <vector>

#include "vellum/general/geometry.hpp"
#include "vellum/image/image.hpp"
#include "vellum/general/vellum_error.hpp"

namespace vellum {

// How a live photo fills its view. The raw values are the platform's: aspect fit is 0.
enum class LivePhotoContentMode : int { aspectFit = 0, aspectFill = 1 };

struct LivePhoto {
  std::filesystem::path stillURL;
  std::filesystem::path movieURL;
  Size size;
  LivePhotoContentMode mode = LivePhotoContentMode::aspectFit;
};

// What an assembler says with each answer.
struct LivePhotoInfo {
  // Set when the assembly failed; the live photo may still be given (or not).
  UnderlyingError error;
  bool cancelled = false;
  // A lower-quality version; a final answer follows.
  bool degraded = false;
};

class LivePhotoAssembler {
 public:
  using ResultHandler = std::function<void(std::shared_ptr<const LivePhoto> livePhoto, LivePhotoInfo info)>;
  virtual ~LivePhotoAssembler() = default;
  // Makes a live photo of the files at `targetSize` and `mode` and answers through `resultHandler`.
  virtual void requestLivePhoto(const std::vector<std::filesystem::path>& resourceFileURLs,
                                const ImagePtr& placeholderImage, Size targetSize, LivePhotoContentMode mode,
                                ResultHandler resultHandler) = 0;
};

class DefaultLivePhotoAssembler final : public LivePhotoAssembler {
 public:
  static const std::shared_ptr<DefaultLivePhotoAssembler>& shared();
  // Answers once, on the calling thread: a live photo of the still and the movie, or an error when either is
  // missing among the files (an empty list included) or on disk.
  void requestLivePhoto(const std::vector<std::filesystem::path>& resourceFileURLs, const ImagePtr& placeholderImage,
                        Size targetSize, LivePhotoContentMode mode, ResultHandler resultHandler) override;
};

}  // namespace vellum
