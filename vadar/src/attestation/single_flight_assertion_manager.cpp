#include "vadar/single_flight_assertion_manager.hpp"

#include <httpkit/url_error.hpp>

#include "core/background_tasks.hpp"
#include "core/error_copies.hpp"
#include "vadar/app_attest_helper.hpp"
#include "vadar/coding.hpp"
#include "vadar/vadar_api_error.hpp"
#include "vadar/vadar_client_error.hpp"

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
  std::shared_future<Outcome> result;
  std::shared_ptr<std::promise<Outcome>> owned;
  {
    std::lock_guard lock(mutex_);
    if (!inFlight_) {
      owned = std::make_shared<std::promise<Outcome>>();
      inFlight_ = owned->get_future().share();
    }
    result = *inFlight_;
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

  if (owned) {
    Outcome outcome;
    try {
      // The run is shared: one waiter's cancelled request must not cancel it for the others.
      core::StopTokenScope shared{std::stop_token()};
      run();
    } catch (...) {
      outcome = core::copyingThrower(std::current_exception());
    }
    {
      std::lock_guard lock(mutex_);
      inFlight_.reset();
    }
    owned->set_value(std::move(outcome));
  }
  if (const Outcome& outcome = result.get()) outcome();
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
