#pragma once
// NotificationCenter: named notifications with an optional sender and user info. Observers are called
// synchronously on the poster's thread, with no lock held, so an observer may post or remove itself.
//
//   auto token = NotificationCenter::defaultCenter().addObserver("didCleanDiskCache", nullptr,
//       [](const Notification& n) { ... });
//   NotificationCenter::defaultCenter().removeObserver(token);
#include <any>
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

  static NotificationCenter& defaultCenter();

  // `object` null observes every sender of `name`; `name` empty observes every name.
  Token addObserver(std::string name, const void* object, Observer observer);
  void removeObserver(Token token);
  void post(const Notification& notification);
  void post(std::string name, const void* object = nullptr, std::map<std::string, std::any> userInfo = {});

 private:
  struct Entry {
    Token token;
    std::string name;
    const void* object;
    std::shared_ptr<Observer> observer;
  };
  std::mutex mutex_;
  std::vector<Entry> entries_;
  Token next_ = 1;
};

}  // namespace foundation
