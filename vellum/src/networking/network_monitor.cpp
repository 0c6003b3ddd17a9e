#include "vellum/networking/network_monitor.hpp"

#include <ifaddrs.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <future>
#include <set>
#include <sstream>
#include <string>
#include <system_error>
#include <thread>

#include "foundation/delay.hpp"
#include "foundation/log.hpp"
#include "foundation/main_queue.hpp"
#include "foundation/serial_queue.hpp"

namespace vellum {
namespace {

// Names of the interfaces that are up, running and not loopback.
std::set<std::string> usableInterfaces() {
  std::set<std::string> names;
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return names;
  for (ifaddrs* entry = list; entry; entry = entry->ifa_next) {
    const unsigned flags = entry->ifa_flags;
    if ((flags & IFF_UP) && (flags & IFF_RUNNING) && !(flags & IFF_LOOPBACK) && entry->ifa_name) {
      names.insert(entry->ifa_name);
    }
  }
  ::freeifaddrs(list);
  return names;
}

// Interfaces that carry a default route, IPv4 or IPv6, as the kernel lists them under /proc.
std::set<std::string> defaultRouteInterfaces() {
  std::set<std::string> names;
  std::ifstream v4("/proc/net/route");
  std::string line;
  std::getline(v4, line);  // header
  while (std::getline(v4, line)) {
    std::istringstream fields(line);
    std::string iface, destination, gateway;
    unsigned flags = 0;
    if (fields >> iface >> destination >> gateway >> std::hex >> flags && destination == "00000000" && (flags & 1)) {
      names.insert(iface);
    }
  }
  std::ifstream v6("/proc/net/ipv6_route");
  while (std::getline(v6, line)) {
    std::istringstream fields(line);
    std::string destination, prefix, source, sourcePrefix, nextHop, metric, refs, use, flags, iface;
    if (fields >> destination >> prefix >> source >> sourcePrefix >> nextHop >> metric >> refs >> use >> flags >>
            iface &&
        destination == std::string(32, '0') && prefix == "00" && iface != "lo") {
      names.insert(iface);
    }
  }
  return names;
}

bool kernelPathSatisfied() {
  const auto up = usableInterfaces();
  for (const auto& name : defaultRouteInterfaces()) {
    if (up.count(name)) return true;
  }
  return false;
}

// How long a source's destructor waits for its reader to leave: the reader may be inside the caller's update.
constexpr std::chrono::seconds kReaderLeaveGrace{1};

foundation::SerialQueue& timeoutQueue() {
  static auto* queue = new foundation::SerialQueue("com.marrowby.Vellum.NetworkMonitor.Timeout");
  return *queue;
}

}  // namespace

// ---- netlink ----

// Closed by whichever of the source and its reader lets go last: neither writes to nor polls a number the
// process has since given to something else.
struct WatchDescriptors {
  int socket = -1;
  int wake = -1;
  ~WatchDescriptors() {
    if (socket >= 0) ::close(socket);
    if (wake >= 0) ::close(wake);
  }
};

struct NetlinkNetworkPathSource::Watch {
  std::shared_ptr<WatchDescriptors> fds = std::make_shared<WatchDescriptors>();
  std::thread reader;
  std::future<void> readerLeft;  // ready once the reader's loop has ended
};

namespace {

// The update is the caller's code: whatever it throws stays with it, never ends the thread that reports.
void report(const std::function<void(bool)>& update, bool satisfied) {
  try {
    update(satisfied);
  } catch (...) {
    foundation::log(foundation::LogLevel::error, "[Vellum] A network path update threw; the watch goes on.");
  }
}

}  // namespace

NetlinkNetworkPathSource::NetlinkNetworkPathSource() = default;

NetlinkNetworkPathSource::~NetlinkNetworkPathSource() {
  if (!watch_) return;
  if (!watch_->reader.joinable()) return;
  const std::uint64_t one = 1;
  [[maybe_unused]] auto written = ::write(watch_->fds->wake, &one, sizeof one);
  if (watch_->reader.get_id() == std::this_thread::get_id()) {
    // Released from inside its own update: joining would wait on this very thread. The reader holds nothing
    // of this object, so it finishes the update, sees the wake and leaves on its own.
    watch_->reader.detach();
  } else if (!watch_->readerLeft.valid() ||
             watch_->readerLeft.wait_for(kReaderLeaveGrace) == std::future_status::ready) {
    watch_->reader.join();
  } else {
    // The update is the caller's code and has not returned: waiting for it could wait for ever (it may wait on
    // this very thread). The reader holds nothing of this object; once the update returns it sees the wake
    // and leaves, touching nothing but what it owns.
    foundation::log(foundation::LogLevel::error,
                    "[Vellum] A network path update has not returned; its watch ends without waiting for it.");
    watch_->reader.detach();
  }
}

bool NetlinkNetworkPathSource::isSatisfied() const { return kernelPathSatisfied(); }

void NetlinkNetworkPathSource::start(std::function<void(bool)> update) {
  if (watch_) return;
  watch_ = std::make_unique<Watch>();
  WatchDescriptors& descriptors = *watch_->fds;
  descriptors.socket = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
  descriptors.wake = ::eventfd(0, EFD_CLOEXEC);
  sockaddr_nl address{};
  address.nl_family = AF_NETLINK;
  address.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_ROUTE | RTMGRP_IPV6_ROUTE | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR;
  const bool watching = descriptors.socket >= 0 && descriptors.wake >= 0 &&
                        ::bind(descriptors.socket, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  if (watching) {
    try {
      // The first state is read once the socket listens, so a change between the two is not lost; it is
      // reported from the reader, as every later one is.
      // The reader waits until its handle is stored: an update that releases this source at once must find
      // the thread to detach, not a handle still being written.
      std::promise<void> stored;
      auto storedSignal = stored.get_future();
      auto left = std::make_shared<std::promise<void>>();
      watch_->readerLeft = left->get_future();
      watch_->reader = std::thread([held = watch_->fds, socket = descriptors.socket, wake = descriptors.wake, update,
                                    storedSignal = std::move(storedSignal), left]() {
        struct Leaving {
          std::promise<void>& left;
          ~Leaving() { left.set_value(); }
        } leaving{*left};
        storedSignal.wait();
        std::vector<char> buffer(16384);
        bool last = kernelPathSatisfied();
        report(update, last);
        for (;;) {
          pollfd fds[2] = {{socket, POLLIN, 0}, {wake, POLLIN, 0}};
          if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
          }
          if (fds[1].revents) break;
          // Drain what arrived; the messages only say that something changed, so the state is read afresh.
          while (::recv(socket, buffer.data(), buffer.size(), MSG_DONTWAIT) > 0) {
          }
          const bool now = kernelPathSatisfied();
          if (now != last) {
            last = now;
            report(update, now);
          }
        }
      });
      stored.set_value();
      return;
    } catch (const std::system_error&) {
    }
  }
  foundation::log(foundation::LogLevel::error, "[Vellum] Cannot watch network changes; the path stays as found.");
  watch_->fds.reset();
  report(update, kernelPathSatisfied());
}

// ---- settable ----

bool SettableNetworkPathSource::isSatisfied() const {
  std::lock_guard lock(mutex_);
  return satisfied_;
}

void SettableNetworkPathSource::start(std::function<void(bool)> update) {
  bool now = false;
  {
    std::lock_guard lock(mutex_);
    ++starts_;
    update_ = update;
    now = satisfied_;
  }
  update(now);
}

void SettableNetworkPathSource::setSatisfied(bool satisfied) {
  std::function<void(bool)> update;
  {
    std::lock_guard lock(mutex_);
    satisfied_ = satisfied;
    update = update_;
  }
  if (update) update(satisfied);
}

int SettableNetworkPathSource::starts() const {
  std::lock_guard lock(mutex_);
  return starts_;
}

// ---- observer ----

std::shared_ptr<NetworkObserverImpl> NetworkObserverImpl::make(std::optional<double> timeoutInterval,
                                                               std::function<void(bool)> callback,
                                                               const std::shared_ptr<NetworkMonitor>& monitor) {
  auto observer = std::make_shared<NetworkObserverImpl>(timeoutInterval, std::move(callback), monitor);
  // A time-out past the clock's range never fires, as an infinite one does not.
  const auto delay = timeoutInterval ? foundation::delayFromSeconds(*timeoutInterval) : std::nullopt;
  if (delay) {
    std::weak_ptr<NetworkObserverImpl> weak = observer;
    auto item = timeoutQueue().postAfter(*delay, [weak] { timeoutFired(weak); });
    std::lock_guard lock(observer->lock_);
    if (!observer->isFinished_) observer->timeoutWorkItem_ = std::move(item);
  }
  return observer;
}

NetworkObserverImpl::NetworkObserverImpl(std::optional<double> timeoutInterval, std::function<void(bool)> callback,
                                         std::weak_ptr<NetworkMonitor> monitor)
    : timeoutInterval_(timeoutInterval), monitor_(std::move(monitor)), callback_(std::move(callback)) {}

std::optional<std::function<void(bool)>> NetworkObserverImpl::finish() {
  std::optional<foundation::Cancellable> item;
  std::function<void(bool)> callback;
  {
    std::lock_guard lock(lock_);
    if (isFinished_) return std::nullopt;
    isFinished_ = true;
    item = std::move(timeoutWorkItem_);
    timeoutWorkItem_.reset();
    callback = std::move(callback_);
    callback_ = nullptr;
  }
  if (item) item->cancel();
  if (auto monitor = monitor_.lock()) monitor->removeObserver(this);
  return callback;
}

void NetworkObserverImpl::cancel() { finish(); }

bool NetworkObserverImpl::isFinished() {
  std::lock_guard lock(lock_);
  return isFinished_;
}

void NetworkObserverImpl::timeoutFired(const std::weak_ptr<NetworkObserverImpl>& weak) {
  std::optional<std::function<void(bool)>> callback;
  {
    auto self = weak.lock();
    if (!self) return;
    callback = self->finish();
    if (!callback) return;
  }
  // The observer is let go before its callback is posted: once told, nothing of it stays on this thread.
  foundation::MainQueue::post([callback = std::move(*callback)] {
    if (callback) callback(false);
  });
}

// ---- monitor ----

std::shared_ptr<NetworkMonitor> NetworkMonitor::make(std::shared_ptr<NetworkPathSource> source) {
  return std::make_shared<NetworkMonitor>(std::move(source));
}

const std::shared_ptr<NetworkMonitor>& NetworkMonitor::default_() {
  static auto* monitor = new std::shared_ptr<NetworkMonitor>(make(std::make_shared<NetlinkNetworkPathSource>()));
  return *monitor;
}

NetworkMonitor::NetworkMonitor(std::shared_ptr<NetworkPathSource> source) : source_(std::move(source)) {}

bool NetworkMonitor::isConnected() const { return source_->isSatisfied(); }

std::shared_ptr<NetworkObserver> NetworkMonitor::observeConnectivity(std::optional<double> timeoutInterval,
                                                                     std::function<void(bool)> callback) {
  auto observer = NetworkObserverImpl::make(timeoutInterval, std::move(callback), shared_from_this());
  addObserver(observer);
  return observer;
}

void NetworkMonitor::addObserver(const std::shared_ptr<NetworkObserverImpl>& observer) {
  bool satisfiedNow = false;
  {
    std::lock_guard lock(observersLock_);
    // One whose wait already ended (its time-out fired, or it was cancelled) found nothing to remove then;
    // kept now, it would hold its callback until the network came back. Checked under the list's lock, so
    // a wait that ends after this finds the observer listed and removes it.
    if (!observer->isFinished()) observers_.push_back(observer);
    satisfiedNow = lastSatisfied_;
  }
  bool startNow = false;
  {
    std::lock_guard lock(startLock_);
    startNow = !isStarted_;
    isStarted_ = true;
  }
  if (startNow) {
    std::weak_ptr<NetworkMonitor> weak = weak_from_this();
    source_->start([weak](bool satisfied) {
      if (auto self = weak.lock()) self->handlePathUpdate(satisfied);
    });
  } else if (satisfiedNow) {
    // The path was satisfied before this observer came; waiting for the next change could wait for ever.
    notifyObserversIfSatisfied();
  }
}

void NetworkMonitor::removeObserver(const NetworkObserverImpl* observer) {
  std::lock_guard lock(observersLock_);
  std::erase_if(observers_, [observer](const auto& o) { return o.get() == observer; });
}

std::size_t NetworkMonitor::observerCount() const {
  std::lock_guard lock(observersLock_);
  return observers_.size();
}

void NetworkMonitor::handlePathUpdate(bool satisfied) {
  {
    std::lock_guard lock(observersLock_);
    lastSatisfied_ = satisfied;
  }
  notifyObserversIfSatisfied();
}

void NetworkMonitor::notifyObserversIfSatisfied() {
  std::vector<std::shared_ptr<NetworkObserverImpl>> taken;
  {
    // Read where the path is written: a path that dropped since the caller looked tells nobody.
    std::lock_guard lock(observersLock_);
    if (!lastSatisfied_) return;
    taken.swap(observers_);
  }
  if (taken.empty()) return;
  foundation::MainQueue::post([taken = std::move(taken)] {
    for (const auto& observer : taken) {
      auto callback = observer->finish();
      if (!callback) continue;
      foundation::MainQueue::post([callback = std::move(*callback)] {
        if (callback) callback(true);
      });
    }
  });
}

}  // namespace vellum
