#pragma once
// Indicator: what an image view shows over its centre while it loads, and how callers choose one.
//
// Example (on the main queue), given std::shared_ptr<vellum::ImageView> imageView, const foundation::Bytes& gifBytes:
//   vellum::vl(imageView).setIndicatorType(vellum::IndicatorType::activity());      // a 16 x 16 spinner
//   vellum::vl(imageView).setIndicatorType(vellum::IndicatorType::image(gifBytes)); // an animated image
//
// The image view keeps the indicator, adds its view as a hidden, centred subview, sizes it by the size
// strategy and starts and stops it around each load; loads overlap (a replaced request ends after the one that
// replaced it started), so an indicator counts them and hides only when the last one stops. Thread rule: main
// queue only, as every view.
#include <memory>

#include "foundation/bytes.hpp"
#include "vellum/general/geometry.hpp"

namespace vellum {

class ImageView;
class View;

// How large the hosting view makes the indicator's view.
struct IndicatorSizeStrategy {
  enum class Kind { intrinsicSize, full, size };
  Kind kind = Kind::intrinsicSize;
  Size size;  // for `size`

  static IndicatorSizeStrategy intrinsicSize() { return {}; }
  static IndicatorSizeStrategy full() { return {Kind::full, {}}; }
  static IndicatorSizeStrategy fixed(Size size) { return {Kind::size, size}; }
  friend bool operator==(const IndicatorSizeStrategy&, const IndicatorSizeStrategy&) = default;
};

// The loads an indicator shows for, counted: each start adds one, each stop takes one away (never below zero).
// A request that is replaced still stops the indicator it started, so an indicator that followed every start
// and stop alone would hide while the request that replaced it still loads.
class IndicatorLoadCount {
 public:
  // True for the start that finds no load running: the indicator is to show.
  bool start() { return count_++ == 0; }
  // True when no load runs after this stop (an extra stop too): the indicator is to hide.
  bool stop() {
    count_ = count_ > 0 ? count_ - 1 : 0;
    return count_ == 0;
  }
  int value() const { return count_; }

 private:
  int count_ = 0;
};

class Indicator {
 public:
  virtual ~Indicator() = default;
  // Shows and animates.
  virtual void startAnimatingView() = 0;
  // Stops and hides.
  virtual void stopAnimatingView() = 0;
  // The offset of the indicator's centre from the hosting view's centre.
  virtual Point centerOffset() const = 0;
  virtual std::shared_ptr<View> view() const = 0;
  virtual IndicatorSizeStrategy sizeStrategy(const ImageView& host) const = 0;
};

class IndicatorType {
 public:
  enum class Kind { none, activity, image, custom };

  static IndicatorType none() { return IndicatorType(Kind::none); }
  static IndicatorType activity() { return IndicatorType(Kind::activity); }
  static IndicatorType image(foundation::Bytes imageData) {
    IndicatorType type(Kind::image);
    type.imageData_ = std::make_shared<const foundation::Bytes>(std::move(imageData));
    return type;
  }
  static IndicatorType custom(std::shared_ptr<Indicator> indicator) {
    IndicatorType type(Kind::custom);
    type.indicator_ = std::move(indicator);
    return type;
  }

  Kind kind() const { return kind_; }
  // For `image`.
  const std::shared_ptr<const foundation::Bytes>& imageData() const { return imageData_; }
  // For `custom`.
  const std::shared_ptr<Indicator>& indicator() const { return indicator_; }

  // The indicator this type stands for: none, a new spinner, a new image indicator (none when the data is
  // not an image), or the caller's own. REQUIRES: on the main queue.
  std::shared_ptr<Indicator> makeIndicator() const;

 private:
  explicit IndicatorType(Kind kind) : kind_(kind) {}
  Kind kind_;
  std::shared_ptr<const foundation::Bytes> imageData_;
  std::shared_ptr<Indicator> indicator_;
};

}  // namespace vellum
