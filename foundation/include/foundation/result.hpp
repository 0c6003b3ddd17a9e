#pragma once
// Result<T, E>: what a completion handler receives instead of an exception crossing a thread.
//
// Example:
//   foundation::Result<int, std::string> r = foundation::Result<int, std::string>::success(3);
//   int doubled = r ? r.value() * 2 : 0;
//   if (!r) std::string why = r.error();
#include <stdexcept>
#include <utility>
#include <variant>

namespace foundation {

template <class T, class E>
class Result {
 public:
  static Result success(T value) { return Result(std::in_place_index<0>, std::move(value)); }
  static Result failure(E error) { return Result(std::in_place_index<1>, std::move(error)); }
  // A success whose value is made from `args` where the result keeps it: a large value is then neither
  // moved into place nor destroyed a second time as the moved-from argument.
  template <class... Args>
  static Result emplaceSuccess(Args&&... args) {
    return Result(std::in_place_index<0>, std::forward<Args>(args)...);
  }

  bool ok() const noexcept { return storage_.index() == 0; }
  explicit operator bool() const noexcept { return ok(); }

  // Throws std::logic_error when the result holds the other case: reading the wrong side is a caller bug.
  const T& value() const& { check(true); return std::get<0>(storage_); }
  T& value() & { check(true); return std::get<0>(storage_); }
  T&& value() && { check(true); return std::get<0>(std::move(storage_)); }
  const E& error() const& { check(false); return std::get<1>(storage_); }
  E& error() & { check(false); return std::get<1>(storage_); }

 private:
  template <std::size_t I, class... V>
  Result(std::in_place_index_t<I> i, V&&... v) : storage_(i, std::forward<V>(v)...) {}
  void check(bool wantValue) const {
    if (ok() != wantValue) throw std::logic_error(wantValue ? "Result holds an error" : "Result holds a value");
  }
  std::variant<T, E> storage_;
};

// A result without a value: success or an error.
struct Unit {
  bool operator==(const Unit&) const = default;
};

}  // namespace foundation
