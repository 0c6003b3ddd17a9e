#pragma once
// Box: a value shared by reference between several holders. WeakBox: a weak reference to an object.
#include <memory>

namespace vellum {

template <class T>
class Box {
 public:
  explicit Box(T initial) : value(std::move(initial)) {}
  T value;
};

template <class T>
class WeakBox {
 public:
  explicit WeakBox(const std::shared_ptr<T>& object) : value(object) {}
  std::weak_ptr<T> value;
};

}  // namespace vellum
