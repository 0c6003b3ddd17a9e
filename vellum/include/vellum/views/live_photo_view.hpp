#pragma once
// LivePhotoView: a headless view that shows one live photo. Thread rule: main queue only. Lifetime: a shared
// object, as every view.
#include <memory>

#include "vellum/views/live_photo.hpp"
#include "vellum/general/vellum_wrapper.hpp"
#include "vellum/views/view.hpp"

namespace vellum {

class LivePhotoView : public View, public VellumCompatible {
 public:
  using View::View;
  static std::shared_ptr<LivePhotoView> make(Rect frame = {}) { return std::make_shared<LivePhotoView>(frame); }

  const std::shared_ptr<const LivePhoto>& livePhoto() const { return livePhoto_; }
  void setLivePhoto(std::shared_ptr<const LivePhoto> livePhoto);

 private:
  std::shared_ptr<const LivePhoto> livePhoto_;
};

}  // namespace vellum

// `vl(view)` is how this view is used: its operations come with it.
#include "vellum/views/live_photo_view_extension.hpp"
