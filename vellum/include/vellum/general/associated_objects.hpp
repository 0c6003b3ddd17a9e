#pragma once
// AssociatedObjects: values that the library keeps on an object it does not own the class of (a request's
// identifier, its download task, its cancellation token, a placeholder, an indicator), each under a key of
// its own. A key is the address of a static variable, so two families of values never share a slot.
//
// Example, given vellum::AssociatedObjects& object:
//   static const char kTaskIdentifierKey = 0;
//   object.setAssociatedObject(&kTaskIdentifierKey, std::make_shared<Box<std::uint64_t>>(7));
//   auto box = object.associatedObject<Box<std::uint64_t>>(&kTaskIdentifierKey);   // null when absent
//
// Thread rule: main queue only, as the objects that carry it. Lifetime: the values are released with the
// object (or when replaced).
#include <map>
#include <memory>
#include <typeindex>

namespace vellum {

class AssociatedObjects {
 public:
  AssociatedObjects() = default;
  AssociatedObjects(const AssociatedObjects&) = delete;
  AssociatedObjects& operator=(const AssociatedObjects&) = delete;
  virtual ~AssociatedObjects() = default;

  // The value under `key`; null when there is none or when it is not a `T`.
  template <class T>
  std::shared_ptr<T> associatedObject(const void* key) const {
    auto found = slots_.find(key);
    if (found == slots_.end() || found->second.type != std::type_index(typeid(T))) return nullptr;
    return std::static_pointer_cast<T>(found->second.value);
  }
  // Stores `value` under `key`; a null value empties the slot.
  template <class T>
  void setAssociatedObject(const void* key, std::shared_ptr<T> value) {
    if (!value) {
      slots_.erase(key);
      return;
    }
    slots_.insert_or_assign(key, Slot{std::type_index(typeid(T)), std::move(value)});
  }
  void removeAssociatedObject(const void* key) { slots_.erase(key); }
  std::size_t associatedObjectCount() const { return slots_.size(); }

 private:
  struct Slot {
    std::type_index type;
    std::shared_ptr<void> value;
  };
  std::map<const void*, Slot> slots_;
};

}  // namespace vellum
