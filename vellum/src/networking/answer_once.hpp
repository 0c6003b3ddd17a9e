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

}  // namespace vellum
