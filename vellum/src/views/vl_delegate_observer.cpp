#include "vellum/views/vl_option_setter.hpp"

namespace vellum {

const std::shared_ptr<VLDelegateObserver>& VLDelegateObserver::shared() {
  // Never destroyed: callbacks installed on any thread at any time, exit included, find it alive.
  static const auto* observer = new std::shared_ptr<VLDelegateObserver>(std::make_shared<VLDelegateObserver>());
  return *observer;
}

}  // namespace vellum
