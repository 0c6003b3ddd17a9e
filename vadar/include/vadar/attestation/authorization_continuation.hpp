#pragma once
// AuthorizationContinuation: the waiting caller of a platform authorization (a passkey or Apple ID sheet),
// resumed exactly once.
//
// `run` starts an operation: the ceremony runs on a thread of its own and its outcome resumes the caller,
// unless something resumed it first. The delegate callbacks (`resume`) resume the operation in progress; a
// second resumption of the same operation is ignored, and so is the outcome of an operation that has been
// replaced. Starting a new operation while one waits resumes the older caller with `replacedError`, so no
// caller waits forever and no caller is resumed twice.
//
// Example, given std::shared_ptr<vadar::PasskeyAuthenticator> authenticator,
//                const vadar::PasskeyAuthenticator::AssertionRequest& request, std::stop_token stopToken:
//   using Credential = vadar::PasskeyAuthenticator::Credential;
//   vadar::AuthorizationContinuation<Credential> continuation;
//   Credential credential = continuation.run(
//       // By value: a ceremony nobody answers outlives this call, and must not read its locals.
//       [authenticator, request] { return authenticator->signIn(request); },
//       vadar::VadarClientError("A newer sign-in replaced this one."),
//       {std::chrono::minutes(5), std::make_exception_ptr(vadar::VadarClientError("Not answered in time.")),
//        {stopToken}, std::make_exception_ptr(std::runtime_error("Stopped."))});
//
// The caller's wait is bounded: a sheet the user never answers resumes it with `expired` once `wait` has
// passed, and a stop of any of `stops` (the caller's own, a shutdown) resumes it at once with `stopped`; a
// caller already stopped starts no ceremony.
//
// Ceremonies run with the caller's dependency container bound, on detached threads that own everything they
// touch: neither the caller nor the destructor ever waits for an authenticator that has not returned; such a
// ceremony ends on its own and its outcome is dropped.
#include <atomic>
#include <chrono>
#include <exception>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <thread>
#include <vector>

#include <wiring/container.hpp>

namespace vadar {

template <class T>
class AuthorizationContinuation {
 public:
  AuthorizationContinuation() = default;
  AuthorizationContinuation(const AuthorizationContinuation&) = delete;
  AuthorizationContinuation& operator=(const AuthorizationContinuation&) = delete;
  ~AuthorizationContinuation() = default;

  // How long the caller waits, and what ends its wait early.
  struct Bounds {
    std::chrono::milliseconds wait;
    std::exception_ptr expired;           // thrown to the caller once `wait` has passed
    std::vector<std::stop_token> stops;   // a stop of any of them resumes the caller at once ...
    std::exception_ptr stopped;           // ... with this
  };

  // Blocks until the operation is resumed, `bounds.wait` at most; gives its value or throws its error.
  template <class Error>
  T run(std::function<T()> ceremony, const Error& replacedError, const Bounds& bounds) {
    for (const auto& stop : bounds.stops)
      if (stop.stop_requested()) std::rethrow_exception(bounds.stopped);
    auto operation = std::make_shared<Operation>();
    std::future<T> result = operation->promise.get_future();
    {
      std::lock_guard lock(mutex_);
      if (current_) resumeWith(*current_, std::make_exception_ptr(replacedError));
      current_ = operation;
      std::thread(wiring::Container::propagating([operation, ceremony = std::move(ceremony)] {
        try {
          T value = ceremony();
          resumeWith(*operation, std::move(value));
        } catch (...) {
          resumeWith(*operation, std::current_exception());
        }
      })).detach();
    }
    {
      // Run on the stopping thread, or here when a stop came in between: either way the caller is resumed once.
      struct Stopped {
        std::shared_ptr<Operation> operation;
        std::exception_ptr error;
        void operator()() const { resumeWith(*operation, error); }
      };
      std::vector<std::optional<std::stop_callback<Stopped>>> watches(bounds.stops.size());
      for (std::size_t i = 0; i < bounds.stops.size(); ++i)
        watches[i].emplace(bounds.stops[i], Stopped{operation, bounds.stopped});
      if (result.wait_for(bounds.wait) != std::future_status::ready) resumeWith(*operation, bounds.expired);
    }
    return result.get();
  }

  // The delegate callbacks: resume the operation in progress, once. False when there is none to resume.
  bool resume(T value) {
    std::lock_guard lock(mutex_);
    return current_ && resumeWith(*current_, std::move(value));
  }
  bool resume(std::exception_ptr error) {
    std::lock_guard lock(mutex_);
    return current_ && resumeWith(*current_, std::move(error));
  }

 private:
  struct Operation {
    std::promise<T> promise;
    std::atomic<bool> resumed{false};
  };

  static bool resumeWith(Operation& operation, T value) {
    if (operation.resumed.exchange(true)) return false;
    operation.promise.set_value(std::move(value));
    return true;
  }
  static bool resumeWith(Operation& operation, std::exception_ptr error) {
    if (operation.resumed.exchange(true)) return false;
    operation.promise.set_exception(std::move(error));
    return true;
  }

  std::mutex mutex_;
  std::shared_ptr<Operation> current_;
};

}  // namespace vadar
