#include "vellum/image/image_processors.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <functional>
#include <map>
#include <vector>

#include "image/jpeg_support.hpp"
#include "image/resample.hpp"
#include "vellum/image/image_codecs.hpp"
#include "vellum/image/image_format.hpp"
#include "vellum/general/options.hpp"

namespace vellum {

std::string Color::hex() const {
  char text[10];
  std::snprintf(text, sizeof text, "#%02X%02X%02X%02X", red, green, blue, alpha);
  return text;
}

std::string identifierNumber(double value) {
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
  if (value == 0) return std::signbit(value) ? "-0.0" : "0.0";
  const double magnitude = std::fabs(value);
  const bool plain = magnitude >= 1e-4 && magnitude < 9007199254740992.0;  // 2^53
  char text[64];
  const auto written = std::to_chars(text, text + sizeof text, value,
                                     plain ? std::chars_format::fixed : std::chars_format::scientific);
  std::string out(text, written.ptr);
  if (plain && out.find('.') == std::string::npos) out += ".0";
  return out;
}

std::string identifierSize(Size size) {
  return "(" + identifierNumber(size.width) + ", " + identifierNumber(size.height) + ")";
}

std::string Radius::description() const {
  switch (kind) {
    case Kind::widthFraction:
      return "widthFraction(" + identifierNumber(value) + ")";
    case Kind::heightFraction:
      return "heightFraction(" + identifierNumber(value) + ")";
    case Kind::point:
      break;
  }
  return "point(" + identifierNumber(value) + ")";
}

namespace {

constexpr const char* kPrefix = "com.marrowby.Vellum.";
const std::uint64_t kMaxPixels = DecodingLimits{}.maxPixels;
const std::uint64_t kMaxTotalPixels = DecodingLimits{}.maxTotalPixels;

bool validFraction(double f) { return f >= 0 && f <= 1; }  // false for NaN
bool validLength(double v) { return std::isfinite(v) && v >= 0 && v <= double(kMaxPixels); }

// A length in points as whole pixels; none when it is not a valid length.
std::optional<std::uint32_t> pixelLength(double points, double scale) {
  const double pixels = points * scale;
  if (!validLength(points) || !validLength(pixels)) return std::nullopt;
  return static_cast<std::uint32_t>(std::lround(pixels));
}

bool withinCap(std::uint32_t width, std::uint32_t height) {
  return width > 0 && height > 0 && std::uint64_t{width} * height <= kMaxPixels;
}

std::uint8_t toByte(double v) { return static_cast<std::uint8_t>(std::clamp(std::lround(v), 0L, 255L)); }

// The image a processor works on: data decoded as the default processor decodes it.
ImagePtr sourceImage(const ImageProcessItem& item, const VellumParsedOptionsInfo& options) {
  ImagePtr image = item.isImage() ? item.imageValue() : DefaultImageProcessor::defaultProcessor()->process(item, options);
  if (!image || !image->hasBitmap()) return nullptr;
  return image;
}

using Kernel = std::function<std::optional<Bitmap>(const Bitmap&)>;

// A redrawn frame no larger than `maxSize` pixels (the frame itself when it fits, or no size is given).
ImagePtr fittedFrame(const ImagePtr& whole, std::optional<Size> maxSize) {
  if (!maxSize || !whole->hasBitmap()) return whole;
  const Bitmap& bitmap = *whole->bitmap();
  const double fit = std::min({1.0, maxSize->width / bitmap.width, maxSize->height / bitmap.height});
  if (!(fit > 0)) return nullptr;
  if (fit >= 1.0) return whole;
  auto smaller = resample(bitmap, std::max<std::uint32_t>(1, std::uint32_t(bitmap.width * fit)),
                          std::max<std::uint32_t>(1, std::uint32_t(bitmap.height * fit)));
  return smaller ? Image::make(std::move(*smaller), whole->scale()) : nullptr;
}

// The frames of an animation a processor redrew. An animated view plays what the frame source gives, and the
// source the image was made with gives the frames as they were before processing; without one of its own,
// the redrawn animation would show as a still picture. Holds nothing but the frames, so copies share them.
class RedrawnFrameSource final : public ImageFrameSource {
 public:
  RedrawnFrameSource(std::shared_ptr<const std::vector<ImagePtr>> frames, std::vector<double> durations)
      : frames_(std::move(frames)), durations_(std::move(durations)) {}

  std::shared_ptr<const foundation::Bytes> data() const override { return nullptr; }
  std::size_t frameCount() const override { return frames_->size(); }
  ImagePtr frame(std::size_t index, std::optional<Size> maxSize) const override {
    if (index >= frames_->size()) return nullptr;
    return fittedFrame((*frames_)[index], maxSize);
  }
  double duration(std::size_t index) const override { return index < durations_.size() ? durations_[index] : 0.0; }
  std::shared_ptr<ImageFrameSource> copy() const override {
    return std::make_shared<RedrawnFrameSource>(frames_, durations_);
  }

 private:
  const std::shared_ptr<const std::vector<ImagePtr>> frames_;
  const std::vector<double> durations_;
};

// The frames of an animation that was not preloaded, redrawn as they are asked for: the source it came with
// decodes each frame, and the kernel redraws it. It holds one frame at a time, as that source does; the
// kernel owns all it needs, as the processor may be gone by the time the frames play.
class LazilyRedrawnFrameSource final : public ImageFrameSource {
 public:
  LazilyRedrawnFrameSource(std::shared_ptr<ImageFrameSource> source, std::shared_ptr<const Kernel> kernel,
                           double scale)
      : source_(std::move(source)), kernel_(std::move(kernel)), scale_(scale) {}

  std::shared_ptr<const foundation::Bytes> data() const override { return source_->data(); }
  std::size_t frameCount() const override { return source_->frameCount(); }
  ImagePtr frame(std::size_t index, std::optional<Size> maxSize) const override {
    // Redrawn at full size, then fitted: a crop or a resize means the frame as a whole.
    const ImagePtr whole = source_->frame(index);
    if (!whole || !whole->hasBitmap()) return nullptr;
    auto out = (*kernel_)(*whole->bitmap());
    if (!out) return nullptr;
    return fittedFrame(Image::make(std::move(*out), scale_), maxSize);
  }
  double duration(std::size_t index) const override { return source_->duration(index); }
  std::shared_ptr<ImageFrameSource> copy() const override {
    auto source = source_->copy();
    if (!source) return nullptr;
    return std::make_shared<LazilyRedrawnFrameSource>(std::move(source), kernel_, scale_);
  }

 private:
  const std::shared_ptr<ImageFrameSource> source_;
  const std::shared_ptr<const Kernel> kernel_;
  const double scale_;
};

// The image redrawn by `unchecked`: a still image once, an animated one frame by frame (each distinct frame
// once), and one decoded as it plays with a source that redraws its frames as they are asked for. Null when
// a frame lacks pixels its size claims, the kernel fails on any frame or the frames would outgrow the
// pixel budget.
// REQUIRES: a kernel that owns what it uses (it may outlive the call).
ImagePtr redraw(const ImagePtr& image, Kernel unchecked) {
  // Every frame goes through here, whether drawn now or as it plays: the kernels may then index any pixel
  // the size claims.
  Kernel kernel = [unchecked = std::move(unchecked)](const Bitmap& bitmap) -> std::optional<Bitmap> {
    if (!holdsItsPixels(bitmap)) return std::nullopt;
    return unchecked(bitmap);
  };
  AnimationInfo info;
  info.creatingOptions = image->creatingOptions();
  if (!image->frames() || image->frames()->empty()) {
    auto out = kernel(*image->bitmap());
    if (!out) return nullptr;
    // An animation without a frame list plays from its frame source, as an animated view would play it.
    const auto& source = image->frameSource();
    auto frames = source && !image->frames() ? source->copy() : nullptr;
    if (frames && frames->frameCount() > 1) {
      info.frameCount = frames->frameCount();
      info.duration = image->duration();
      info.frameSource = std::make_shared<LazilyRedrawnFrameSource>(
          std::move(frames), std::make_shared<const Kernel>(std::move(kernel)), image->scale());
    }
    return Image::make(std::move(*out), image->scale(), std::move(info));
  }
  const auto& frames = *image->frames();
  std::map<const Image*, ImagePtr> done;
  for (const auto& frame : frames) done.emplace(frame.get(), nullptr);
  std::vector<ImagePtr> processed;
  for (const auto& frame : frames) {
    ImagePtr& slot = done[frame.get()];
    if (!slot) {
      if (!frame || !frame->hasBitmap()) return nullptr;
      auto out = kernel(*frame->bitmap());
      if (!out || std::uint64_t{out->width} * out->height * done.size() > kMaxTotalPixels) return nullptr;
      slot = Image::make(std::move(*out), frame->scale());
    }
    processed.push_back(slot);
  }
  info.duration = image->duration();
  info.frameDurations = image->animation().frameDurations;
  info.frameCount = processed.size();
  std::vector<double> durations = info.frameDurations;
  if (durations.size() != processed.size()) {
    const double each = std::isfinite(info.duration) ? info.duration / double(processed.size()) : 0.0;
    durations.assign(processed.size(), each);
  }
  info.frameSource = std::make_shared<RedrawnFrameSource>(
      std::make_shared<const std::vector<ImagePtr>>(processed), std::move(durations));
  auto first = processed.front()->bitmap();
  info.frames = std::move(processed);
  return Image::make(std::move(first), image->scale(), std::move(info));
}

// A reduction of more than half in both directions is area-averaged; anything else is bilinear.
std::optional<Bitmap> redrawAt(const Bitmap& source, std::uint32_t width, std::uint32_t height) {
  if (!withinCap(width, height)) return std::nullopt;
  if (width * 2 <= source.width && height * 2 <= source.height) return boxResize(source, width, height);
  return resample(source, width, height);
}

// Each pixel mapped on its own; alpha is kept unless `f` changes it.
template <class F>
std::optional<Bitmap> mapPixels(const Bitmap& source, F f) {
  Bitmap out = source;
  for (std::size_t i = 0; i + 3 < out.pixels.size(); i += 4) f(&out.pixels[i]);
  return out;
}

std::string text(bool value) { return value ? "true" : "false"; }

std::string text(ContentMode mode) {
  switch (mode) {
    case ContentMode::none:
      return "none";
    case ContentMode::aspectFit:
      return "aspectFit";
    case ContentMode::aspectFill:
      return "aspectFill";
  }
  return "none";
}

// ---- kernels ----

// How much of the pixel (x, y) lies inside the rounded shape: 1 away from the rounded corners.
double cornerCoverage(std::uint32_t x, std::uint32_t y, std::uint32_t width, std::uint32_t height, double r,
                      RectCorner corners) {
  const double px = x + 0.5, py = y + 0.5;
  double cx = 0, cy = 0;
  if (px < r && py < r && corners.contains(RectCorner::topLeft)) {
    cx = r, cy = r;
  } else if (px > width - r && py < r && corners.contains(RectCorner::topRight)) {
    cx = width - r, cy = r;
  } else if (px < r && py > height - r && corners.contains(RectCorner::bottomLeft)) {
    cx = r, cy = height - r;
  } else if (px > width - r && py > height - r && corners.contains(RectCorner::bottomRight)) {
    cx = width - r, cy = height - r;
  } else {
    return 1;
  }
  return std::clamp(r - std::hypot(px - cx, py - cy) + 0.5, 0.0, 1.0);
}

// Three box blurs of `half` x 2 + 1 taps over premultiplied RGBA floats, along rows and then along columns,
// edges repeating the border pixels: a close match of a Gaussian.
//
// The picture is blurred in bands of rows, so that working memory stays a few rows deep whatever the
// picture: a band's rows are blurred across, with the rows around it that the three passes down reach (each
// pass reaches `half` rows further, clamped to the picture), then blurred down, and only the band's own rows
// are written out. Each pass down reads only rows the pass before it computed.

// Blurs `count` rows of `w` pixels in place, along each row.
void blurAcross(float* rows, std::size_t count, std::uint32_t w, int half, std::vector<float>& line) {
  const float norm = 1.0f / float(2 * half + 1);
  const long last = static_cast<long>(w) - 1;
  line.resize(std::size_t{w} * 4);
  for (std::size_t y = 0; y < count; ++y) {
    float* row = rows + y * w * 4;
    for (int pass = 0; pass < 3; ++pass) {
      std::copy(row, row + line.size(), line.begin());
      auto at = [&](long x) { return &line[static_cast<std::size_t>(std::clamp(x, 0L, last)) * 4]; };
      float sum[4] = {0, 0, 0, 0};
      for (long k = -half; k <= half; ++k) {
        for (int c = 0; c < 4; ++c) sum[c] += at(k)[c];
      }
      for (long x = 0; x <= last; ++x) {
        const float* in = at(x + half + 1);
        const float* out = at(x - half);
        for (int c = 0; c < 4; ++c) {
          row[x * 4 + c] = sum[c] * norm;
          sum[c] += in[c] - out[c];
        }
      }
    }
  }
}

std::optional<Bitmap> gaussianBlur(const Bitmap& source, int half) {
  const std::uint32_t w = source.width, h = source.height;
  // A box wider than the picture averages the same border pixels over and over: cap it.
  const int across = std::min<int>(half, static_cast<int>(w));
  const long down = std::min<long>(half, static_cast<long>(h));
  const long height = h;
  const std::size_t rowLength = std::size_t{w} * 4;
  // Bands deep enough that the rows around a band, which every band recomputes, cost no more than the band.
  const long bandRows = std::max<long>(64, 6 * down);
  Bitmap out{w, h, std::vector<std::uint8_t>(source.pixels.size())};
  std::vector<float> current, next, line;
  std::vector<float> sum(rowLength);
  const float norm = 1.0f / float(2 * down + 1);
  for (long y0 = 0; y0 < height; y0 += bandRows) {
    const long y1 = std::min(height, y0 + bandRows);
    // Rows [first, last) of the picture, held from row `first` on.
    auto reach = [&](long passesLeft) {
      return std::pair<long, long>{std::max(0L, y0 - passesLeft * down), std::min(height, y1 + passesLeft * down)};
    };
    const auto [first, end] = reach(3);
    current.resize(static_cast<std::size_t>(end - first) * rowLength);
    next.resize(current.size());
    for (long y = first; y < end; ++y) {
      const std::uint8_t* in = &source.pixels[static_cast<std::size_t>(y) * rowLength];
      float* row = &current[static_cast<std::size_t>(y - first) * rowLength];
      for (std::size_t i = 0; i + 3 < rowLength; i += 4) {
        const float a = in[i + 3];
        for (int c = 0; c < 3; ++c) row[i + c] = in[i + c] * a / 255.0f;
        row[i + 3] = a;
      }
    }
    blurAcross(current.data(), static_cast<std::size_t>(end - first), w, across, line);
    for (long pass = 1; pass <= 3; ++pass) {
      const auto [from, to] = reach(3 - pass);
      auto row = [&, first = first](long y) {
        return &current[static_cast<std::size_t>(std::clamp(y, 0L, height - 1) - first) * rowLength];
      };
      std::fill(sum.begin(), sum.end(), 0.0f);
      for (long k = -down; k <= down; ++k) {
        const float* r = row(from + k);
        for (std::size_t i = 0; i < rowLength; ++i) sum[i] += r[i];
      }
      for (long y = from; y < to; ++y) {
        float* result = &next[static_cast<std::size_t>(y - first) * rowLength];
        for (std::size_t i = 0; i < rowLength; ++i) result[i] = sum[i] * norm;
        if (y + 1 == to) break;  // the row that would enter next lies beyond what the pass before computed
        const float* entering = row(y + down + 1);
        const float* leaving = row(y - down);
        for (std::size_t i = 0; i < rowLength; ++i) sum[i] += entering[i] - leaving[i];
      }
      std::swap(current, next);
    }
    for (long y = y0; y < y1; ++y) {
      const float* values = &current[static_cast<std::size_t>(y - first) * rowLength];
      std::uint8_t* pixels = &out.pixels[static_cast<std::size_t>(y) * rowLength];
      for (std::size_t i = 0; i + 3 < rowLength; i += 4) {
        const float a = values[i + 3];
        pixels[i + 3] = toByte(a);
        for (int c = 0; c < 3; ++c) pixels[i + c] = a > 0 ? toByte(values[i + c] * 255.0f / a) : 0;
      }
    }
  }
  return out;
}

std::optional<Bitmap> crop(const Bitmap& source, std::uint32_t x, std::uint32_t y, std::uint32_t width,
                           std::uint32_t height) {
  if (width == 0 || height == 0 || x + std::uint64_t{width} > source.width ||
      y + std::uint64_t{height} > source.height) {
    return std::nullopt;
  }
  Bitmap out{width, height, std::vector<std::uint8_t>(std::size_t{width} * height * 4)};
  for (std::uint32_t row = 0; row < height; ++row) {
    const auto* from = &source.pixels[(std::size_t{y + row} * source.width + x) * 4];
    std::copy_n(from, std::size_t{width} * 4, &out.pixels[std::size_t{row} * width * 4]);
  }
  return out;
}

// Where a `width` x `height` crop lies by `anchor`, in whole pixels; none when it keeps no pixel.
std::optional<std::array<std::uint32_t, 4>> cropRect(const Bitmap& source, std::uint32_t width,
                                                     std::uint32_t height, Point anchor) {
  const Rect r = constrainedRect({double(source.width), double(source.height)}, {double(width), double(height)},
                                 anchor);
  if (r.isEmpty()) return std::nullopt;
  const auto x0 = static_cast<std::uint32_t>(std::lround(r.minX())), y0 = static_cast<std::uint32_t>(std::lround(r.minY()));
  const auto x1 = static_cast<std::uint32_t>(std::lround(r.maxX())), y1 = static_cast<std::uint32_t>(std::lround(r.maxY()));
  if (x1 <= x0 || y1 <= y0) return std::nullopt;
  return std::array<std::uint32_t, 4>{x0, y0, x1 - x0, y1 - y0};
}

}  // namespace

// ---- round corner ----

RoundCornerImageProcessor::RoundCornerImageProcessor(Radius radius, std::optional<Size> targetSize,
                                                     RectCorner roundingCorners, std::optional<Color> backgroundColor)
    : radius(radius), targetSize(targetSize), roundingCorners(roundingCorners), backgroundColor(backgroundColor) {
  identifier_ = std::string(kPrefix) + "RoundCornerImageProcessor(" + radius.description() +
                ", targetSize: " + (targetSize ? identifierSize(*targetSize) : "none") +
                ", corners: " + std::to_string(roundingCorners.rawValue) +
                ", backgroundColor: " + (backgroundColor ? backgroundColor->hex() : "none") + ")";
}

ImagePtr RoundCornerImageProcessor::process(const ImageProcessItem& item, const VellumParsedOptionsInfo& options) const {
  const bool fraction = radius.kind != Radius::Kind::point;
  if (fraction ? !validFraction(radius.value) : !validLength(radius.value)) return nullptr;
  ImagePtr image = sourceImage(item, options);
  if (!image) return nullptr;
  const double scale = image->scale();
  std::optional<std::uint32_t> targetWidth, targetHeight;
  if (targetSize) {
    targetWidth = pixelLength(targetSize->width, scale);
    targetHeight = pixelLength(targetSize->height, scale);
    if (!targetWidth || !targetHeight || !withinCap(*targetWidth, *targetHeight)) return nullptr;
  }
  if (radius.value == 0 && !targetSize && !backgroundColor) return image;
  if (radius.kind == Radius::Kind::point && !pixelLength(radius.value, scale)) return nullptr;
  return redraw(image, [radius = radius, targetSize = targetSize, roundingCorners = roundingCorners,
                        backgroundColor = backgroundColor, targetWidth, targetHeight,
                        scale](const Bitmap& original) -> std::optional<Bitmap> {
    std::optional<Bitmap> sized;
    if (targetSize) {
      // The part of the picture that shows once it fills the target, centred, is cut out first and only it
      // is scaled: a thin picture filling a small square never makes a huge filled intermediate.
      const double fill = std::max(double(*targetWidth) / original.width, double(*targetHeight) / original.height);
      auto visible = [fill](std::uint32_t target, std::uint32_t side) {
        return static_cast<std::uint32_t>(std::clamp<long>(std::lround(target / fill), 1, side));
      };
      const std::uint32_t cw = visible(*targetWidth, original.width), ch = visible(*targetHeight, original.height);
      if (cw == original.width && ch == original.height) {
        sized = redrawAt(original, *targetWidth, *targetHeight);
      } else {
        auto part = crop(original, (original.width - cw) / 2, (original.height - ch) / 2, cw, ch);
        if (part) sized = redrawAt(*part, *targetWidth, *targetHeight);
      }
      if (!sized) return std::nullopt;
    }
    Bitmap out = sized ? std::move(*sized) : original;
    const std::uint32_t w = out.width, h = out.height;
    double r = radius.kind == Radius::Kind::widthFraction    ? radius.value * w
               : radius.kind == Radius::Kind::heightFraction ? radius.value * h
                                                             : radius.value * scale;
    r = std::min(r, std::min(w, h) / 2.0);
    for (std::uint32_t y = 0; y < h; ++y) {
      for (std::uint32_t x = 0; x < w; ++x) {
        std::uint8_t* p = &out.pixels[(std::size_t{y} * w + x) * 4];
        const double coverage = r > 0 ? cornerCoverage(x, y, w, h, r, roundingCorners) : 1.0;
        const double a = p[3] / 255.0 * coverage;
        if (!backgroundColor) {
          p[3] = toByte(a * 255);
          continue;
        }
        // The picture drawn over the background.
        const Color& bg = *backgroundColor;
        const double ba = bg.alpha / 255.0 * (1 - a);
        const double outA = a + ba;
        const std::uint8_t bgc[3] = {bg.red, bg.green, bg.blue};
        for (int c = 0; c < 3; ++c) p[c] = outA > 0 ? toByte((p[c] * a + bgc[c] * ba) / outA) : 0;
        p[3] = toByte(outA * 255);
      }
    }
    return out;
  });
}

// ---- blur ----

BlurImageProcessor::BlurImageProcessor(double blurRadius)
    : blurRadius(blurRadius), identifier_(std::string(kPrefix) + "BlurImageProcessor(" + identifierNumber(blurRadius) + ")") {}

ImagePtr BlurImageProcessor::process(const ImageProcessItem& item, const VellumParsedOptionsInfo& options) const {
  if (!validLength(blurRadius)) return nullptr;
  ImagePtr image = sourceImage(item, options);
  if (!image) return nullptr;
  // Three boxes of width d follow a Gaussian of deviation sigma closely when d = sigma x 3 sqrt(2 pi) / 4,
  // rounded; an odd width keeps the boxes centred.
  const double d = std::floor(blurRadius * 3 * std::sqrt(2 * M_PI) / 4 + 0.5);
  const int half = static_cast<int>(std::min(d, double(1 << 30)) / 2);
  if (half == 0) return image;  // under a pixel: nothing to blur
  return redraw(image, [half](const Bitmap& b) { return gaussianBlur(b, half); });
}

// ---- overlay, tint, black and white ----

OverlayImageProcessor::OverlayImageProcessor(Color overlay, double fraction)
    : overlay(overlay),
      fraction(fraction),
      identifier_(std::string(kPrefix) + "OverlayImageProcessor(" + overlay.hex() + ", " + identifierNumber(fraction) + ")") {}

ImagePtr OverlayImageProcessor::process(const ImageProcessItem& item, const VellumParsedOptionsInfo& options) const {
  if (!validFraction(fraction)) return nullptr;
  ImagePtr image = sourceImage(item, options);
  if (!image || fraction == 0) return image;
  const double k = fraction * overlay.alpha / 255.0;
  const std::array<std::uint8_t, 3> o = {overlay.red, overlay.green, overlay.blue};
  return redraw(image, [k, o](const Bitmap& b) {
    return mapPixels(b, [&](std::uint8_t* p) {
      for (int c = 0; c < 3; ++c) p[c] = toByte(p[c] + (o[c] - p[c]) * k);
    });
  });
}

TintImageProcessor::TintImageProcessor(Color tint)
    : tint(tint), identifier_(std::string(kPrefix) + "TintImageProcessor(" + tint.hex() + ")") {}

ImagePtr TintImageProcessor::process(const ImageProcessItem& item, const VellumParsedOptionsInfo& options) const {
  ImagePtr image = sourceImage(item, options);
  if (!image) return nullptr;
  const double a = tint.alpha / 255.0;
  const std::array<std::uint8_t, 3> t = {tint.red, tint.green, tint.blue};
  return redraw(image, [a, t](const Bitmap& b) {
    return mapPixels(b, [&](std::uint8_t* p) {
      for (int c = 0; c < 3; ++c) p[c] = toByte(t[c] * a + p[c] * (1 - a));
    });
  });
}

ImagePtr BlackWhiteProcessor::process(const ImageProcessItem& item, const VellumParsedOptionsInfo& options) const {
  ImagePtr image = sourceImage(item, options);
  if (!image) return nullptr;
  return redraw(image, [](const Bitmap& b) {
    return mapPixels(b, [](std::uint8_t* p) {
      const auto grey = static_cast<std::uint8_t>((77u * p[0] + 150u * p[1] + 29u * p[2] + 128u) >> 8);
      p[0] = p[1] = p[2] = grey;
    });
  });
}

// ---- flipping, cropping, resizing ----

FlippingImageProcessor::FlippingImageProcessor(bool horizontal, bool vertical)
    : horizontal(horizontal),
      vertical(vertical),
      identifier_(std::string(kPrefix) + "FlippingImageProcessor(horizontal: " + text(horizontal) +
                  ", vertical: " + text(vertical) + ")") {}

ImagePtr FlippingImageProcessor::process(const ImageProcessItem& item, const VellumParsedOptionsInfo& options) const {
  ImagePtr image = sourceImage(item, options);
  if (!image || (!horizontal && !vertical)) return image;
  return redraw(image, [horizontal = horizontal, vertical = vertical](const Bitmap& b) -> std::optional<Bitmap> {
    Bitmap out{b.width, b.height, std::vector<std::uint8_t>(b.pixels.size())};
    for (std::uint32_t y = 0; y < b.height; ++y) {
      const std::uint32_t fromY = vertical ? b.height - 1 - y : y;
      for (std::uint32_t x = 0; x < b.width; ++x) {
        const std::uint32_t fromX = horizontal ? b.width - 1 - x : x;
        std::copy_n(&b.pixels[(std::size_t{fromY} * b.width + fromX) * 4], 4, &out.pixels[(std::size_t{y} * b.width + x) * 4]);
      }
    }
    return out;
  });
}

CroppingImageProcessor::CroppingImageProcessor(Size size, Point anchor)
    : size(size),
      anchor(anchor),
      identifier_(std::string(kPrefix) + "CroppingImageProcessor(" + identifierSize(size) +
                  ", anchor: " + identifierSize({anchor.x, anchor.y}) + ")") {}

ImagePtr CroppingImageProcessor::process(const ImageProcessItem& item, const VellumParsedOptionsInfo& options) const {
  if (std::isnan(anchor.x) || std::isnan(anchor.y)) return nullptr;
  ImagePtr image = sourceImage(item, options);
  if (!image) return nullptr;
  const auto w = pixelLength(size.width, image->scale()), h = pixelLength(size.height, image->scale());
  if (!w || !h) return nullptr;
  return redraw(image, [w, h, anchor = anchor](const Bitmap& b) -> std::optional<Bitmap> {
    const auto r = cropRect(b, *w, *h, anchor);
    if (!r) return std::nullopt;
    return crop(b, (*r)[0], (*r)[1], (*r)[2], (*r)[3]);
  });
}

ResizingImageProcessor::ResizingImageProcessor(Size referenceSize, ContentMode targetContentMode)
    : referenceSize(referenceSize),
      targetContentMode(targetContentMode),
      identifier_(std::string(kPrefix) + "ResizingImageProcessor(" + identifierSize(referenceSize) + ", " +
                  text(targetContentMode) + ")") {}

ImagePtr ResizingImageProcessor::process(const ImageProcessItem& item, const VellumParsedOptionsInfo& options) const {
  if (!validLength(referenceSize.width) || !validLength(referenceSize.height)) return nullptr;
  ImagePtr image = sourceImage(item, options);
  if (!image) return nullptr;
  const Size target = resize(image->size(), referenceSize, targetContentMode);
  auto w = pixelLength(target.width, image->scale()), h = pixelLength(target.height, image->scale());
  if (!w || !h) return nullptr;
  // The fitted side of a thin picture may round to nothing: it keeps a pixel, as the downsampler's does.
  if (targetContentMode != ContentMode::none && referenceSize.width > 0 && referenceSize.height > 0) {
    w = std::max<std::uint32_t>(*w, 1);
    h = std::max<std::uint32_t>(*h, 1);
  }
  if (!withinCap(*w, *h)) return nullptr;
  if (*w == image->bitmap()->width && *h == image->bitmap()->height) return image;
  return redraw(image, [w, h](const Bitmap& b) { return redrawAt(b, *w, *h); });
}

// ---- downsampling ----

namespace {

// The scale of an image made from data: the options' scale factor, or 1 for one that is no scale (as an
// image takes it), whichever decoder the data goes to.
double dataScale(const VellumParsedOptionsInfo& options) {
  return options.scaleFactor > 0 && std::isfinite(options.scaleFactor) ? options.scaleFactor : 1.0;
}

}  // namespace

DownsamplingImageProcessor::DownsamplingImageProcessor(Size size)
    : size(size), identifier_(std::string(kPrefix) + "DownsamplingImageProcessor(" + identifierSize(size) + ")") {}

ImagePtr DownsamplingImageProcessor::process(const ImageProcessItem& item, const VellumParsedOptionsInfo& options) const {
  if (!validLength(size.width) || !validLength(size.height) || size.width == 0 || size.height == 0) return nullptr;
  if (!item.isImage() && imageFormat(item.dataValue()) == ImageFormat::JPEG) {
    const double scale = dataScale(options);
    const double boxWidth = size.width * scale, boxHeight = size.height * scale;
    if (!validLength(boxWidth) || !validLength(boxHeight) || boxWidth < 0.5 || boxHeight < 0.5) return nullptr;
    PixelSize fitted;
    auto decoded = jpeg::decodeScaled(item.dataValue(), boxWidth, boxHeight, &fitted);
    if (!decoded) return nullptr;
    Bitmap& bitmap = decoded.value();
    if (bitmap.width == fitted.width && bitmap.height == fitted.height) return Image::make(std::move(bitmap), scale);
    auto reduced = boxResize(bitmap, fitted.width, fitted.height);
    return reduced ? Image::make(std::move(*reduced), scale) : nullptr;
  }
  ImagePtr image = sourceImage(item, options);
  if (!image) return nullptr;
  // Decoded data takes the scale factor, as JPEG data does above.
  const double scale = item.isImage() ? image->scale() : dataScale(options);
  const double boxWidth = size.width * scale, boxHeight = size.height * scale;
  if (!validLength(boxWidth) || !validLength(boxHeight) || boxWidth < 0.5 || boxHeight < 0.5) return nullptr;
  const PixelSize fitted = fitInside(image->bitmap()->width, image->bitmap()->height, boxWidth, boxHeight);
  ImagePtr result = image;
  if (fitted.width != image->bitmap()->width || fitted.height != image->bitmap()->height) {
    result = redraw(image, [boxWidth, boxHeight](const Bitmap& b) {
      const PixelSize frameSize = fitInside(b.width, b.height, boxWidth, boxHeight);
      return boxResize(b, frameSize.width, frameSize.height);
    });
  }
  if (!result || result->scale() == scale) return result;
  return Image::make(result->bitmap(), scale, result->animation());
}

}  // namespace vellum
