#pragma once
// A completion handed to code outside the library (a hook, a modifier, a redirect handler) may be called
// more than once by mistake; only the first call may count, or a caller is answered twice.
#include <atomic>
#include <functional>
#include <memory>

#include "general/guarded_call.hpp"

namespace vellum {

template <class T>
std::function<void(T)> answerOnce(std::function<void(T)> completion) {
  auto called = std::make_shared<std::atomic<bool>>(false);
  return [called, completion = std::move(completion)](T value) {
    if (!called->exchange(true)) completion(std::move(value));
  };
}

// Gives `unanswered` to `answer` when the last holder lets it go while still armed: code outside the library
// that drops the completion it was handed without calling it would otherwise leave its caller waiting for
// good. Shared by the copies of that completion; pair it with `answerOnce`, so that an answer already given
// makes this one nothing.
template <class T>
class AnswerWhenDropped {
 public:
  AnswerWhenDropped(std::function<void(T)> answer, T unanswered)
      : answer_(std::move(answer)), unanswered_(std::move(unanswered)) {}
  AnswerWhenDropped(const AnswerWhenDropped&) = delete;
  AnswerWhenDropped& operator=(const AnswerWhenDropped&) = delete;
  ~AnswerWhenDropped() {
    // A destructor must not throw: what the answer throws is only logged.
    if (armed_.load()) callGuarded("An unanswered completion", [&] { answer_(std::move(unanswered_)); });
  }
  // Whoever held the completion has been dealt with otherwise.
  void disarm() { armed_.store(false); }

 private:
  std::function<void(T)> answer_;
  T unanswered_;
  std::atomic<bool> armed_{true};
};

// `answerOnce` for code outside the library that may also let go of the completion without calling it: then
// `unanswered` is the answer, given when the last copy goes.
template <class T>
std::function<void(T)> answerOnceOrWhenDropped(std::function<void(T)> completion, T unanswered) {
  auto once = answerOnce<T>(std::move(completion));
  auto dropped = std::make_shared<AnswerWhenDropped<T>>(once, std::move(unanswered));
  return [once, dropped](T value) { once(std::move(value)); };
}

}  // namespace vellum
