#pragma once
// AssertionManager: answers the frontend API's "requires_assertion" with one device assertion shared by every
// request that waits for it; the response pipeline retries a request once after the assertion succeeded.
//
// The process's manager is resolved under "assertionManager" (see container_keys.hpp); by default it is the
// SingleFlightAssertionManager, which fails every run with AttestationError::unsupportedDevice, without
// sending anything, until an attestation provider is registered. UnsupportedAssertionManager below is the
// bare interface default: no assertion at all on this platform.
//
// Example:
//   struct MyAssertionManager : vadar::AssertionManager {
//     void performAssertion() override { /* assert the device, or throw */ }
//   };
//   vadar::assertionManagerFactory().register_([]() -> std::shared_ptr<vadar::AssertionManager> {
//     return std::make_shared<MyAssertionManager>();
//   });
#include <exception>
#include <memory>

namespace vadar {

// The device attestation's own failures; they carry no message of their own.
class AttestationError : public std::exception {
 public:
  enum class Code { unsupportedDevice, unableToGetChallengeFromServer, unableToFormatChallengeAsData };

  explicit AttestationError(Code code) : code_(code) {}
  Code code() const noexcept { return code_; }
  // The case's name ("unsupportedDevice").
  const char* what() const noexcept override;

  friend bool operator==(const AttestationError& a, const AttestationError& b) { return a.code_ == b.code_; }

 private:
  Code code_;
};

class AssertionManager {
 public:
  virtual ~AssertionManager() = default;
  // Blocks until an assertion run (this caller's own or one already under way) has completed; throws that
  // run's error when it failed. Called from the HTTP client's retry decision, never on the main queue.
  virtual void performAssertion() = 0;
  // Cancels the runs under way: their requests stop and their waiters receive the run's error at once. Later
  // calls start afresh. `Vadar::shutdown()` calls it.
  virtual void cancelRuns() {}
};

// The default: there is no device attestation on this platform.
class UnsupportedAssertionManager : public AssertionManager {
 public:
  void performAssertion() override { throw AttestationError(AttestationError::Code::unsupportedDevice); }
};

}  // namespace vadar
