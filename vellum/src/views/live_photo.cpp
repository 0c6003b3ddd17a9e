#include "vellum/views/live_photo.hpp"

#include <stdexcept>
#include <system_error>

#include "vellum/views/live_photo_view.hpp"

namespace vellum {

const std::shared_ptr<DefaultLivePhotoAssembler>& DefaultLivePhotoAssembler::shared() {
  static const auto* assembler =
      new std::shared_ptr<DefaultLivePhotoAssembler>(std::make_shared<DefaultLivePhotoAssembler>());
  return *assembler;
}

void DefaultLivePhotoAssembler::requestLivePhoto(const std::vector<std::filesystem::path>& resourceFileURLs,
                                                 const ImagePtr&, Size targetSize, LivePhotoContentMode mode,
                                                 ResultHandler resultHandler) {
  auto fail = [&](const std::string& why) {
    LivePhotoInfo info;
    info.error = std::make_exception_ptr(std::runtime_error(why));
    resultHandler(nullptr, info);
  };
  std::optional<std::filesystem::path> still;
  std::optional<std::filesystem::path> movie;
  for (const auto& file : resourceFileURLs) {
    // The manager names each stored file by its type: ".mov" for the movie, an image type for the still.
    if (file.extension() == ".mov") {
      if (!movie) movie = file;
    } else if (!still) {
      still = file;
    }
  }
  if (!still || !movie) return fail("a live photo needs a still photo and a movie");
  std::error_code error;
  for (const auto& file : {*still, *movie}) {
    if (!std::filesystem::is_regular_file(file, error)) return fail("missing live photo file: " + file.string());
  }
  resultHandler(std::make_shared<const LivePhoto>(LivePhoto{*still, *movie, targetSize, mode}), LivePhotoInfo{});
}

void LivePhotoView::setLivePhoto(std::shared_ptr<const LivePhoto> livePhoto) {
  VELLUM_REQUIRE_MAIN_QUEUE();
  livePhoto_ = std::move(livePhoto);
}

}  // namespace vellum
