#pragma once
// The headless stand-ins for the toolkit objects that show one image: a combo button, a colour well, a table
// row action, a menu item, a path-control item, a toolbar item, a tab, a status item and a cell. Each keeps
// its image and nothing else of its class; the image-loading operations reach them through `vl(object)`.
//
// Example (on the main queue), given vellum::ImagePtr icon:
//   auto item = std::make_shared<vellum::MenuItem>();
//   item->setImage(icon);
//
// Thread rule: main queue only. Lifetime: shared objects.
#include <memory>

#include "vellum/general/associated_objects.hpp"
#include "vellum/general/vellum_wrapper.hpp"
#include "vellum/image/image.hpp"
#include "vellum/views/view.hpp"

namespace vellum {

// `Base` with one image slot: a view for the controls, a plain object for the items.
template <class Base>
class ImageHolder : public Base, public VellumCompatible {
 public:
  using Base::Base;
  ImagePtr image() const { return image_; }
  void setImage(ImagePtr image) {
    VELLUM_REQUIRE_MAIN_QUEUE();
    image_ = std::move(image);
  }

 private:
  ImagePtr image_;
};

class ComboButton final : public ImageHolder<View> { public: using ImageHolder::ImageHolder; };
class ColorWell final : public ImageHolder<View> { public: using ImageHolder::ImageHolder; };
class TableViewRowAction final : public ImageHolder<AssociatedObjects> {};
class MenuItem final : public ImageHolder<AssociatedObjects> {};
class PathControlItem final : public ImageHolder<AssociatedObjects> {};
class ToolbarItem final : public ImageHolder<AssociatedObjects> {};
class TabViewItem final : public ImageHolder<AssociatedObjects> {};
class StatusItem final : public ImageHolder<AssociatedObjects> {};
class Cell final : public ImageHolder<AssociatedObjects> {};

}  // namespace vellum

// `vl(view)` is how this view is used: its operations come with it.
#include "vellum/views/image_holder_extension.hpp"
