#pragma once
// VellumWrapper and vl(x): the one door through which the library's operations on objects and values of
// other types are reached, so they never clash with those types' own members.
//
// Example (on the main queue), given std::shared_ptr<vellum::ImageView> imageView, std::shared_ptr<vellum::MenuItem> menuItem,
//                                   const vellum::Source& source, vellum::ImagePtr placeholder,
//                                   const foundation::Bytes& bytes:
//   vellum::vl(imageView).setImage(source);                  // the image view's loading operations
//   vellum::vl(menuItem).setImage(source, placeholder);      // any object that shows one image
//   auto image = vellum::VellumWrapper<vellum::Image>::imageFromData(bytes, {.preloadAll = true});
//
// For an object that opts in (a class deriving from `VellumCompatible`) the wrapper holds a strong
// reference to that same object, so an operation that changes state changes the object. For the values that
// opt in (bytes, strings, sizes) it holds a copy, and nothing done through it reaches the original.
//
// The operations for a given kind of object are partial specializations constrained on the base class,
// declared here and defined beside their operations (image_view_extension.hpp and its siblings), so a
// subclass (the animated image view) reaches its base class's operations.
#include <concepts>
#include <memory>
#include <span>
#include <string>

#include "foundation/bytes.hpp"
#include "vellum/general/geometry.hpp"
#include "vellum/image/image.hpp"

namespace vellum {

// Opt-in base of the classes whose objects `vl` wraps by reference.
class VellumCompatible {};

template <class T>
concept VellumCompatibleObject = std::derived_from<T, VellumCompatible>;

template <class T>
concept VellumCompatibleValue =
    std::same_as<T, foundation::Bytes> || std::same_as<T, std::string> || std::same_as<T, Size>;

template <class Base>
class VellumWrapper;

// What every object wrapper holds: the same object, retained.
template <class Base>
class VellumObjectWrapper {
 public:
  explicit VellumObjectWrapper(std::shared_ptr<Base> object) : base(std::move(object)) {}
  std::shared_ptr<Base> base;
};

template <VellumCompatibleObject Base>
class VellumWrapper<Base> : public VellumObjectWrapper<Base> {
 public:
  using VellumObjectWrapper<Base>::VellumObjectWrapper;
};

class AssociatedObjects;
class View;
class ImageView;
class Button;
class TextAttachment;
class LivePhotoView;
template <class Base>
class ImageHolder;

// The objects that show one image and nothing else of note (menu items, cells, ...).
template <class T>
concept VellumHasImageComponent =
    VellumCompatibleObject<T> && (std::derived_from<T, ImageHolder<View>> ||
                                  std::derived_from<T, ImageHolder<AssociatedObjects>>);

// The operations of each family, defined in image_view_extension.hpp, button_extension.hpp,
// text_attachment_extension.hpp, live_photo_view_extension.hpp and image_holder_extension.hpp.
template <VellumCompatibleObject Base>
  requires std::derived_from<Base, ImageView>
class VellumWrapper<Base>;
template <VellumCompatibleObject Base>
  requires std::derived_from<Base, Button>
class VellumWrapper<Base>;
template <VellumCompatibleObject Base>
  requires std::derived_from<Base, TextAttachment>
class VellumWrapper<Base>;
template <VellumCompatibleObject Base>
  requires std::derived_from<Base, LivePhotoView>
class VellumWrapper<Base>;
template <VellumHasImageComponent Base>
class VellumWrapper<Base>;

// Values: a copy.
template <VellumCompatibleValue Base>
class VellumWrapper<Base> {
 public:
  explicit VellumWrapper(Base object) : base(std::move(object)) {}
  Base base;
};

// Images: the same image. Images never change, so sharing it is as good as a copy.
template <>
class VellumWrapper<Image> {
 public:
  explicit VellumWrapper(ImagePtr image) : base(std::move(image)) {}
  ImagePtr base;

  // Sniffs the format: GIF data gives an animated image with its frames, other formats a still image;
  // null when the bytes are not an image this library decodes.
  static ImagePtr imageFromData(std::span<const std::uint8_t> data, const ImageCreatingOptions& options = {});
};

template <VellumCompatibleObject T>
VellumWrapper<T> vl(std::shared_ptr<T> object) {
  return VellumWrapper<T>(std::move(object));
}
inline VellumWrapper<Image> vl(ImagePtr image) { return VellumWrapper<Image>(std::move(image)); }
inline VellumWrapper<foundation::Bytes> vl(const foundation::Bytes& data) {
  return VellumWrapper<foundation::Bytes>(data);
}
inline VellumWrapper<std::string> vl(const std::string& text) { return VellumWrapper<std::string>(text); }
inline VellumWrapper<Size> vl(Size size) { return VellumWrapper<Size>(size); }

}  // namespace vellum
