#pragma once
// SingleFlightAssertionManager: the AssertionManager that runs device assertions with AppAttestHelper.
// Requests that fail with "requires_assertion" at the same time share one run (one challenge, one
// assertion); each of them is then sent again once by the pipeline. A request arriving after a run ended
// starts a new one.
//
// It is the container's default "assertionManager"; registering an attestation provider is all an application
// with an attestation service does:
// Example, given std::shared_ptr<vadar::AttestationProvider> provider:
//   vadar::attestationProviderFactory().register_([provider] { return provider; });
// With the default provider (none on this platform) every run fails with AttestationError::unsupportedDevice
// and sends nothing.
//
// A run whose first pass fails with the frontend API's "requires_device_attestation" (whichever request of
// the pass was answered so) attests the device again and makes one more pass; any other failure, and any
// failure of the second chance, fails the run, and every waiter receives that same error.
//
// The run executes on the thread of the caller that started it; the others wait for its result. The run's
// entry is removed before its result is published, so a caller woken by the result never joins a finished
// run. Each waiter throws its own copy of the run's error (an exception object shared between threads would
// race on the text its what() caches).
//
// Stopping: one caller's cancelled request does not cancel the shared run; the run's requests stop only with
// the manager's own stop source, which `cancelRuns` triggers. A waiter whose own stop token
// (core::StopTokenScope) is stopped leaves at once with URLError `cancelled`; the run goes on for the others.
// `cancelRuns` makes every waiter but a run's owner leave so too, at once, even while the owner is held in the
// application's provider.
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <stop_token>

#include "vadar/core/assertion_manager.hpp"

namespace vadar {

class SingleFlightAssertionManager : public AssertionManager {
 public:
  // `pass` is one assertion pass and `attest` one device attestation (AppAttestHelper's by default).
  SingleFlightAssertionManager();
  SingleFlightAssertionManager(std::function<void()> pass, std::function<void()> attest);

  void performAssertion() override;
  void cancelRuns() override;

  // The callers waiting on a run right now (the one running it included). For tests and diagnostics.
  std::size_t waiters() const;
  // Waits until at least `count` callers wait on a run; false when `timeout` passes first.
  bool waitForWaiters(std::size_t count, std::chrono::milliseconds timeout) const;

 private:
  // A run's outcome: empty on success, else a function that throws a copy of the run's error.
  using Outcome = std::function<void()>;
  struct Run {
    std::stop_token stop;  // the manager's, when the run began
    bool done = false;     // guarded by mutex_, as is outcome
    Outcome outcome;
  };

  void run();

  std::function<void()> pass_;
  std::function<void()> attest_;
  mutable std::mutex mutex_;
  mutable std::condition_variable_any changed_;  // a run ended or a waiter came or left
  std::shared_ptr<Run> inFlight_;
  std::stop_source stop_;
  std::size_t waiters_ = 0;
};

}  // namespace vadar
