#pragma once
// A completion handed to code outside the library (a hook, a modifier, a redirect handler) may be called
// more than once by mistake; only the first call may count, or a caller is answered twice.
#include <atomic>
#include <functional>
#include <memory>

namespace vellum {

template <class T>
std::function<void(T)> answerOnce(std::function<void(T)> completion) {
  auto called = std::make_shared<std::atomic<bool>>(false);
  return [called, completion = std::move(completion)](T value) {
    if (!called->exchange(true)) completion(std::move(value));
  };
}

}  // namespace vellum
