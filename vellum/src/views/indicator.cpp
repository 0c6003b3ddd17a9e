#include "vellum/views/indicator.hpp"

#include "vellum/views/activity_indicator.hpp"
#include "vellum/views/image_indicator.hpp"

namespace vellum {

std::shared_ptr<Indicator> IndicatorType::makeIndicator() const {
  switch (kind_) {
    case Kind::none:
      return nullptr;
    case Kind::activity:
      return std::make_shared<ActivityIndicator>();
    case Kind::image:
      return imageData_ ? ImageIndicator::make(*imageData_) : nullptr;
    case Kind::custom:
      return indicator_;
  }
  return nullptr;
}

}  // namespace vellum
