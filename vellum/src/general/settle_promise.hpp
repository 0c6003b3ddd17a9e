#pragma once
// settlePromise: how an awaitable form hands a completion's result to its future. The value or the error is
// moved into the promise, and the error's exception is made before the promise is set, so that nothing of
// the answer is released on the settling thread once the waiter may hold it: libstdc++ counts exception_ptr
// references where a thread sanitizer cannot see them, and a late release there races with the waiter's read.
#include <exception>
#include <future>
#include <type_traits>
#include <utility>

#include "foundation/result.hpp"

namespace vellum {

// Fails `promise` with `error`: an exception_ptr as it is, any other error as the exception it is thrown as.
template <class T, class E>
void settlePromiseWithError(std::promise<T>& promise, E&& error) {
  std::exception_ptr exception;
  if constexpr (std::is_same_v<std::decay_t<E>, std::exception_ptr>) {
    exception = std::move(error);
  } else {
    exception = std::make_exception_ptr(std::move(error));
  }
  promise.set_exception(std::move(exception));
}

template <class T, class E>
void settlePromise(std::promise<T>& promise, foundation::Result<T, E>&& result) {
  if (result) return promise.set_value(std::move(result).value());
  settlePromiseWithError(promise, std::move(result.error()));
}

// A result without a value settles a promise of void.
template <class E>
void settlePromise(std::promise<void>& promise, foundation::Result<foundation::Unit, E>&& result) {
  if (result) return promise.set_value();
  settlePromiseWithError(promise, std::move(result.error()));
}

}  // namespace vellum
