#include "vadar/attestation/single_flight_assertion_manager.hpp"

#include <httpkit/url_error.hpp>

#include "core/background_tasks.hpp"
#include "core/error_copies.hpp"
#include "vadar/attestation/app_attest_helper.hpp"
#include "vadar/infra/coding.hpp"
#include "vadar/models/vadar_api_error.hpp"
#include "vadar/models/vadar_client_error.hpp"

namespace vadar {

SingleFlightAssertionManager::SingleFlightAssertionManager()
    : SingleFlightAssertionManager([] { AppAttestHelper::performAssertion(); },
                                   [] { AppAttestHelper::performDeviceAttestation(); }) {}

SingleFlightAssertionManager::SingleFlightAssertionManager(std::function<void()> pass, std::function<void()> attest)
    : pass_(std::move(pass)), attest_(std::move(attest)) {}

void SingleFlightAssertionManager::run() {
  try {
    pass_();
  } catch (const VadarAPIError& error) {
    if (error.code != "requires_device_attestation") throw;
    // The server no longer trusts the key: one new attestation and one more pass, no third.
    attest_();
    pass_();
  }
}

void SingleFlightAssertionManager::performAssertion() {
  std::shared_ptr<Run> shared;
  bool owner = false;
  {
    std::lock_guard lock(mutex_);
    if (!inFlight_) {
      inFlight_ = std::make_shared<Run>();
      inFlight_->stop = stop_.get_token();
      owner = true;
    }
    shared = inFlight_;
    ++waiters_;
    changed_.notify_all();
  }
  struct Leave {
    SingleFlightAssertionManager& manager;
    ~Leave() {
      std::lock_guard lock(manager.mutex_);
      --manager.waiters_;
      manager.changed_.notify_all();
    }
  } leave{*this};

  if (owner) {
    Outcome outcome;
    try {
      // The run is shared: one waiter's cancelled request must not cancel it for the others; only the
      // manager's own stop (a shutdown) does.
      core::StopTokenScope scope{shared->stop};
      run();
    } catch (...) {
      outcome = core::copyingThrower(std::current_exception());
    }
    std::lock_guard lock(mutex_);
    inFlight_.reset();
    shared->outcome = std::move(outcome);
    shared->done = true;
    changed_.notify_all();
  }

  Outcome outcome;
  {
    std::unique_lock lock(mutex_);
    // The manager's stop releases the waiters too: the run may be held in the application's provider, which no
    // stop reaches. Its owner stays there; nobody else waits for it.
    if (!changed_.wait(lock, core::StopTokenScope::current(),
                       [&] { return shared->done || shared->stop.stop_requested(); }) ||
        !shared->done)
      throw httpkit::URLError(httpkit::URLError::Code::cancelled, "the wait for a device assertion was cancelled");
    outcome = shared->outcome;
  }
  if (outcome) outcome();
}

void SingleFlightAssertionManager::cancelRuns() {
  std::lock_guard lock(mutex_);
  stop_.request_stop();
  stop_ = std::stop_source();  // runs that start later are not born cancelled
  changed_.notify_all();       // their waiters leave
}

std::size_t SingleFlightAssertionManager::waiters() const {
  std::lock_guard lock(mutex_);
  return waiters_;
}

bool SingleFlightAssertionManager::waitForWaiters(std::size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return waiters_ >= count; });
}

}  // namespace vadar
