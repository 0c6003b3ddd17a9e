#pragma once
// NetworkMonitor: whether the network is usable now, and a way to wait until it is. A waiting request is a
// NetworkObserver: it is told once, on the main queue, that the network is back (true) or that its time-out
// passed (false); cancelling it ends the wait with no call at all.
//
// Example, given std::function<void(bool)> retryOrGiveUp:
//   auto observer = vellum::NetworkMonitor::default_()->observeConnectivity(10.0, retryOrGiveUp);
//   observer->cancel();   // not wanted any more
//
// The path comes from a NetworkPathSource. The process-wide monitor watches the kernel's link and route
// events over netlink and counts the path satisfied when a non-loopback interface is up and a default route
// exists; tests give a monitor a SettableNetworkPathSource and flip it by hand.
//
// Rules where the platform's monitor leaves the choice to us:
// - `isConnected` reads the path as it is at the call, whether or not the monitor has started watching; it
//   never starts the watch and never waits.
// - The watch starts at the first `addObserver`, once; it is never stopped while the monitor lives. A source
//   reports its state as soon as it starts, so observers registered while the path is satisfied are told at
//   once, and so is an observer added later while the path is still satisfied.
// - A time-out that is NaN or not positive fires at once; an infinite one, one past the steady clock's range
//   (about 292 years), or none never fires.
// - Adding an observer never changes the path the monitor holds: only the source's reports do. An observer
//   whose wait ended before it was registered (its time-out fired first) is not kept.
//
// Threads: every member may be called from any thread. Callbacks run on foundation's main queue, never while
// a lock is held. Lifetime: observers hold their monitor weakly; the monitor holds waiting observers.
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "foundation/cancellable.hpp"

namespace vellum {

// Where a monitor learns the path. `start` is called once; the source then calls `update` with the current
// state at once and again on every change, from any thread.
class NetworkPathSource {
 public:
  virtual ~NetworkPathSource() = default;
  virtual bool isSatisfied() const = 0;
  virtual void start(std::function<void(bool satisfied)> update) = 0;
};

// The kernel's view: link and route events over a NETLINK_ROUTE socket, read on a thread of its own that the
// destructor stops (through an eventfd, never a blocking read without an exit). Every report, the first one
// too, comes from that thread; an update that releases the source there lets the thread end on its own, and
// so does one that has not returned a second after the destructor asked the thread to stop.
class NetlinkNetworkPathSource final : public NetworkPathSource {
 public:
  NetlinkNetworkPathSource();
  ~NetlinkNetworkPathSource() override;
  bool isSatisfied() const override;
  void start(std::function<void(bool)> update) override;

 private:
  struct Watch;
  std::unique_ptr<Watch> watch_;
};

// A path a test sets. Counts its starts.
class SettableNetworkPathSource final : public NetworkPathSource {
 public:
  explicit SettableNetworkPathSource(bool satisfied) : satisfied_(satisfied) {}
  bool isSatisfied() const override;
  void start(std::function<void(bool)> update) override;
  void setSatisfied(bool satisfied);
  int starts() const;

 private:
  mutable std::mutex mutex_;
  bool satisfied_;
  int starts_ = 0;
  std::function<void(bool)> update_;
};

class NetworkObserver {
 public:
  virtual ~NetworkObserver() = default;
  virtual void cancel() = 0;
};

class NetworkMonitoring {
 public:
  virtual ~NetworkMonitoring() = default;
  virtual bool isConnected() const = 0;
  // `timeoutInterval` in seconds; none waits without limit.
  virtual std::shared_ptr<NetworkObserver> observeConnectivity(std::optional<double> timeoutInterval,
                                                               std::function<void(bool)> callback) = 0;
};

class NetworkMonitor;

class NetworkObserverImpl final : public NetworkObserver, public std::enable_shared_from_this<NetworkObserverImpl> {
 public:
  static std::shared_ptr<NetworkObserverImpl> make(std::optional<double> timeoutInterval,
                                                   std::function<void(bool)> callback,
                                                   const std::shared_ptr<NetworkMonitor>& monitor);
  NetworkObserverImpl(std::optional<double> timeoutInterval, std::function<void(bool)> callback,
                      std::weak_ptr<NetworkMonitor> monitor);
  void cancel() override;

 private:
  friend class NetworkMonitor;
  // Ends the wait. When this call was the one that ended it, hands over the callback (the observer keeps
  // nothing once finished: it may stay referenced long after, and its callback holds its waiter).
  std::optional<std::function<void(bool)>> finish();
  bool isFinished();
  static void timeoutFired(const std::weak_ptr<NetworkObserverImpl>& weak);

  const std::optional<double> timeoutInterval_;
  const std::weak_ptr<NetworkMonitor> monitor_;
  std::mutex lock_;  // guards the three fields below
  std::function<void(bool)> callback_;  // emptied when finished
  std::optional<foundation::Cancellable> timeoutWorkItem_;
  bool isFinished_ = false;
};

class NetworkMonitor final : public NetworkMonitoring, public std::enable_shared_from_this<NetworkMonitor> {
 public:
  static constexpr const char* kMonitorQueueLabel = "com.marrowby.Vellum.NetworkMonitor";
  static constexpr const char* kObserversQueueLabel = "com.marrowby.Vellum.NetworkMonitor.Observers";
  static constexpr const char* kStartQueueLabel = "com.marrowby.Vellum.NetworkMonitor.Start";

  static std::shared_ptr<NetworkMonitor> make(std::shared_ptr<NetworkPathSource> source);
  // Over netlink; made on first use, never released.
  static const std::shared_ptr<NetworkMonitor>& default_();

  explicit NetworkMonitor(std::shared_ptr<NetworkPathSource> source);

  bool isConnected() const override;
  std::shared_ptr<NetworkObserver> observeConnectivity(std::optional<double> timeoutInterval,
                                                       std::function<void(bool)> callback) override;
  void addObserver(const std::shared_ptr<NetworkObserverImpl>& observer);
  void removeObserver(const NetworkObserverImpl* observer);
  // Observers still waiting.
  std::size_t observerCount() const;

 private:
  // Records the path the source reported, then tells the waiting observers if it is satisfied.
  void handlePathUpdate(bool satisfied);
  // Tells the waiting observers when the path is satisfied as last reported; never changes the path, so an
  // observer that saw a satisfied path before it dropped cannot write it back.
  void notifyObserversIfSatisfied();

  const std::shared_ptr<NetworkPathSource> source_;
  std::mutex startLock_;  // the start queue: guards `isStarted_`
  bool isStarted_ = false;
  mutable std::mutex observersLock_;  // the observers queue: guards the fields below
  std::vector<std::shared_ptr<NetworkObserverImpl>> observers_;
  bool lastSatisfied_ = false;
};

}  // namespace vellum
