#pragma once
// The library's image processors: each redraws 8-bit RGBA pixels and names itself and every parameter in
// its identifier. The identifiers name processed images in the disk cache: they never change.
//
// Example, given const foundation::Bytes& bytes, const vellum::VellumParsedOptionsInfo& options:
//   auto processor = std::make_shared<vellum::BlurImageProcessor>(10)
//                        ->append(std::make_shared<vellum::RoundCornerImageProcessor>(
//                            vellum::Radius::widthFraction(0.5)));
//   std::string identifier = processor->identifier();   // "com.marrowby.Vellum.BlurImageProcessor(10.0)|>com.marrowby.Vellum.Round..."
//   vellum::ImagePtr avatar = processor->process(vellum::ImageProcessItem::data(bytes), options);
//
// Common rules:
// - Data items are decoded first, as the default processor decodes them (the downsampling processor decodes
//   JPEG data at a reduced scale instead); images are processed as they are.
// - Lengths (sizes, point radii) are in points: times the image's scale in pixels. Blur radii are pixels.
// - An animated image (one carrying a frame list) is processed frame by frame; the result keeps the frame
//   list (processed), the total duration and the creating options, but not the GIF bytes or the frame source,
//   which would describe the unprocessed frames. Other images lose them too, for the same reason.
// - Bad parameters answer null, never a crash: negative, NaN, infinite or huge lengths, radii and fractions
//   (huge: more pixels than an image may have, `DecodingLimits::maxPixels`), fractions above 1, a crop that
//   keeps no pixel, a result larger than that pixel cap. An image without bitmap answers null as well.
// - Parameters that change nothing (a zero blur radius, a zero overlay fraction, a flip in neither
//   direction, a resize or downsampling to the size the image has) answer the very image given.
// Thread rule: processors are immutable; `process` may run on any thread.
#include <optional>
#include <string>

#include "vellum/image/color.hpp"
#include "vellum/general/geometry.hpp"
#include "vellum/image/image_processor.hpp"
#include "vellum/general/size_helpers.hpp"

namespace vellum {

// A number as processor identifiers write it: the shortest text that reads back as the same double, with
// ".0" on whole numbers ("10.0", "0.5", "-3.0", "100000.0"). Magnitudes from 1e-4 up to 2^53 are written
// in plain decimals; smaller and larger ones in exponent form ("1e-05", "1.5e+16"). NaN is "nan", the
// infinities "inf" and "-inf", negative zero "-0.0".
std::string identifierNumber(double value);
// "(<width>, <height>)" with both numbers as `identifierNumber` writes them: "(100.0, 100.0)".
std::string identifierSize(Size size);

// A corner radius: a fraction of the (target) width or height, or a length in points.
struct Radius {
  enum class Kind { widthFraction, heightFraction, point };
  Kind kind = Kind::point;
  double value = 0;

  static Radius widthFraction(double fraction) { return {Kind::widthFraction, fraction}; }
  static Radius heightFraction(double fraction) { return {Kind::heightFraction, fraction}; }
  static Radius point(double points) { return {Kind::point, points}; }
  // "widthFraction(0.5)", "heightFraction(0.25)", "point(8.0)".
  std::string description() const;
  friend bool operator==(const Radius&, const Radius&) = default;
};

// Rounds the chosen corners (anti-aliased over one pixel). With a target size the image is first scaled to
// fill it and cropped to it around the centre. Pixels outside the rounded shape become clear, or the
// background colour when one is given (the image is drawn over it).
// Identifier "com.marrowby.Vellum.RoundCornerImageProcessor(<radius>, targetSize: <(w, h)|none>,
// corners: <rawValue>, backgroundColor: <#RRGGBBAA|none>)".
class RoundCornerImageProcessor final : public ImageProcessor {
 public:
  explicit RoundCornerImageProcessor(Radius radius, std::optional<Size> targetSize = std::nullopt,
                                     RectCorner roundingCorners = {RectCorner::all},
                                     std::optional<Color> backgroundColor = std::nullopt);
  std::string identifier() const override { return identifier_; }
  ImagePtr process(const ImageProcessItem& item, const VellumParsedOptionsInfo& options) const override;

  const Radius radius;
  const std::optional<Size> targetSize;
  const RectCorner roundingCorners;
  const std::optional<Color> backgroundColor;

 private:
  std::string identifier_;
};

// A Gaussian blur whose standard deviation is `blurRadius` pixels, approximated by three box blurs each way;
// edges repeat the border pixels. Identifier "com.marrowby.Vellum.BlurImageProcessor(<radius>)".
class BlurImageProcessor final : public ImageProcessor {
 public:
  explicit BlurImageProcessor(double blurRadius);
  std::string identifier() const override { return identifier_; }
  ImagePtr process(const ImageProcessItem& item, const VellumParsedOptionsInfo& options) const override;

  const double blurRadius;

 private:
  std::string identifier_;
};

// Lays `overlay` over the picture, `fraction` (0...1) of the way: each colour channel becomes
// c + (overlay - c) x fraction x overlay alpha / 255; alpha is kept. Identifier
// "com.marrowby.Vellum.OverlayImageProcessor(<#RRGGBBAA>, <fraction>)".
class OverlayImageProcessor final : public ImageProcessor {
 public:
  OverlayImageProcessor(Color overlay, double fraction = 0.5);
  std::string identifier() const override { return identifier_; }
  ImagePtr process(const ImageProcessItem& item, const VellumParsedOptionsInfo& options) const override;

  const Color overlay;
  const double fraction;

 private:
  std::string identifier_;
};

// Paints `tint` over the picture's own shape: colour = tint x a + c x (1 - a) with a the tint's alpha / 255;
// alpha is kept. Identifier "com.marrowby.Vellum.TintImageProcessor(<#RRGGBBAA>)".
class TintImageProcessor final : public ImageProcessor {
 public:
  explicit TintImageProcessor(Color tint);
  std::string identifier() const override { return identifier_; }
  ImagePtr process(const ImageProcessItem& item, const VellumParsedOptionsInfo& options) const override;

  const Color tint;

 private:
  std::string identifier_;
};

// Grey by luma: (77 R + 150 G + 29 B + 128) / 256 in every colour channel; alpha is kept.
// Identifier "com.marrowby.Vellum.BlackWhiteProcessor".
class BlackWhiteProcessor final : public ImageProcessor {
 public:
  static constexpr const char* kIdentifier = "com.marrowby.Vellum.BlackWhiteProcessor";
  std::string identifier() const override { return kIdentifier; }
  ImagePtr process(const ImageProcessItem& item, const VellumParsedOptionsInfo& options) const override;
};

// Mirrors left to right (`horizontal`) and top to bottom (`vertical`).
// Identifier "com.marrowby.Vellum.FlippingImageProcessor(horizontal: <true|false>, vertical: <true|false>)".
class FlippingImageProcessor final : public ImageProcessor {
 public:
  FlippingImageProcessor(bool horizontal, bool vertical);
  std::string identifier() const override { return identifier_; }
  ImagePtr process(const ImageProcessItem& item, const VellumParsedOptionsInfo& options) const override;

  const bool horizontal;
  const bool vertical;

 private:
  std::string identifier_;
};

// Keeps a `size` (points) part of the picture placed by `anchor`: (0, 0) keeps the top-left corner, (1, 1)
// the bottom-right, (0.5, 0.5) the centre; each anchor coordinate is clamped to 0...1 and a crop larger than
// the picture keeps what lies inside it. Identifier
// "com.marrowby.Vellum.CroppingImageProcessor(<(w, h)>, anchor: <(x, y)>)".
class CroppingImageProcessor final : public ImageProcessor {
 public:
  CroppingImageProcessor(Size size, Point anchor = {0.5, 0.5});
  std::string identifier() const override { return identifier_; }
  ImagePtr process(const ImageProcessItem& item, const VellumParsedOptionsInfo& options) const override;

  const Size size;
  const Point anchor;

 private:
  std::string identifier_;
};

// Redraws at `referenceSize` (points): exactly it with `none`, the largest size of the picture's aspect
// ratio inside it with `aspectFit`, the smallest covering it with `aspectFill` (`vellum::resize`).
// Identifier "com.marrowby.Vellum.ResizingImageProcessor(<(w, h)>, <none|aspectFit|aspectFill>)".
class ResizingImageProcessor final : public ImageProcessor {
 public:
  ResizingImageProcessor(Size referenceSize, ContentMode targetContentMode = ContentMode::none);
  std::string identifier() const override { return identifier_; }
  ImagePtr process(const ImageProcessItem& item, const VellumParsedOptionsInfo& options) const override;

  const Size referenceSize;
  const ContentMode targetContentMode;

 private:
  std::string identifier_;
};

// Shrinks the picture to fit inside `size` (points, times the options' scale factor for data, the image's
// scale for an image), keeping its aspect ratio and never enlarging it; the pixels are area averages. JPEG
// data is decoded at the smallest DCT scale that still covers the result, so a large photo is never decoded
// at full size. Identifier "com.marrowby.Vellum.DownsamplingImageProcessor((<w>, <h>))".
class DownsamplingImageProcessor final : public ImageProcessor {
 public:
  explicit DownsamplingImageProcessor(Size size);
  std::string identifier() const override { return identifier_; }
  ImagePtr process(const ImageProcessItem& item, const VellumParsedOptionsInfo& options) const override;

  const Size size;

 private:
  std::string identifier_;
};

}  // namespace vellum
