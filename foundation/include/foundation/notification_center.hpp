#pragma once
// NotificationCenter: named notifications with an optional sender and user info. Observers are called
// synchronously on the poster's thread, with no lock held, so an observer may post, remove itself or release
// the centre (the post then returns without calling the centre's other observers). An observer that throws
// fails only itself: what it threw is logged (foundation::log, error level, naming the notification) and the
// post goes on to the next observer.
//
// Example:
//   auto& center = foundation::NotificationCenter::defaultCenter();
//   std::atomic<int> cleans{0};
//   auto token = center.addObserver("didCleanDiskCache", nullptr, [&cleans](const foundation::Notification&) {
//     ++cleans;   // on the poster's thread
//   });
//   center.removeObserver(token);
#include <any>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace foundation {

struct Notification {
  std::string name;
  const void* object = nullptr;              // the sender, compared by identity only
  std::map<std::string, std::any> userInfo;
};

class NotificationCenter {
 public:
  using Observer = std::function<void(const Notification&)>;
  using Token = std::uint64_t;
  static constexpr std::chrono::seconds kCallEndWait{5};

  NotificationCenter();
  // Removes every observer, waiting for calls under way as removeObserver does.
  ~NotificationCenter();
  NotificationCenter(const NotificationCenter&) = delete;
  NotificationCenter& operator=(const NotificationCenter&) = delete;

  static NotificationCenter& defaultCenter();

  // `object` null observes every sender of `name`; `name` empty observes every name.
  Token addObserver(std::string name, const void* object, Observer observer);
  // Once this returns the observer is not called again. A call of it under way on another thread is waited
  // for, kCallEndWait at most (a call that waits for something the caller holds would otherwise never end);
  // one under way on the calling thread (an observer removing itself) is not.
  void removeObserver(Token token);
  void post(const Notification& notification);
  void post(std::string name, const void* object = nullptr, std::map<std::string, std::any> userInfo = {});

 private:
  // The observers, shared with the posts under way so that a centre released by an observer outlives its post.
  struct Registry;
  std::shared_ptr<Registry> registry_;
};

}  // namespace foundation
