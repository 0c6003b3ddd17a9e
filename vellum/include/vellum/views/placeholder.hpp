#pragma once
// Placeholder: what an image view shows while its image loads. An image placeholder becomes the view's image
// and is cleared again; a view placeholder (a view of the app's: a spinner, a coloured box) is added to the
// image view as a subview and removed again.
//
// Example (on the main queue), given vellum::ImagePtr grayBox, std::shared_ptr<vellum::ImageView> imageView:
//   vellum::ImagePlaceholder placeholder(grayBox);
//   placeholder.add(imageView->placeholderHost());      // imageView shows grayBox
//   placeholder.remove(imageView->placeholderHost());   // and nothing again
//
// The image view implements `PlaceholderHost`. Thread rule: main queue only, as for every view.
#include <memory>

#include "vellum/image/image.hpp"

namespace vellum {

class PlaceholderView;

// The image view's side.
class PlaceholderHost {
 public:
  virtual ~PlaceholderHost() = default;
  // Shows `image` as the view's image; null clears it.
  virtual void setImage(ImagePtr image) = 0;
  virtual void addSubview(std::shared_ptr<PlaceholderView> view) = 0;
  virtual void removeSubview(const PlaceholderView& view) = 0;
};

class Placeholder {
 public:
  virtual ~Placeholder() = default;
  // REQUIRES: on the main queue.
  virtual void add(PlaceholderHost& host) = 0;
  // REQUIRES: on the main queue.
  virtual void remove(PlaceholderHost& host) = 0;
};

// An image as a placeholder.
class ImagePlaceholder final : public Placeholder {
 public:
  explicit ImagePlaceholder(ImagePtr image) : image_(std::move(image)) {}
  const ImagePtr& image() const { return image_; }
  void add(PlaceholderHost& host) override { host.setImage(image_); }
  void remove(PlaceholderHost& host) override { host.setImage(nullptr); }

 private:
  ImagePtr image_;
};

// Base of views that serve as placeholders. REQUIRES: owned by a shared_ptr when added (the host keeps it).
class PlaceholderView : public Placeholder, public std::enable_shared_from_this<PlaceholderView> {
 public:
  void add(PlaceholderHost& host) override { host.addSubview(shared_from_this()); }
  void remove(PlaceholderHost& host) override { host.removeSubview(*this); }
};

}  // namespace vellum
