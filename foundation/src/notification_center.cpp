#include "foundation/notification_center.hpp"

#include <algorithm>

namespace foundation {

NotificationCenter& NotificationCenter::defaultCenter() {
  static auto* center = new NotificationCenter();  // outlives every static observer
  return *center;
}

NotificationCenter::Token NotificationCenter::addObserver(std::string name, const void* object, Observer observer) {
  std::lock_guard lock(mutex_);
  const Token token = next_++;
  entries_.push_back(Entry{token, std::move(name), object, std::make_shared<Observer>(std::move(observer))});
  return token;
}

void NotificationCenter::removeObserver(Token token) {
  std::lock_guard lock(mutex_);
  std::erase_if(entries_, [token](const Entry& e) { return e.token == token; });
}

void NotificationCenter::post(const Notification& notification) {
  // Observers run on a snapshot taken under the lock and are called without it, so they may post, add or
  // remove observers (themselves included). One removed during this post is not called afterwards.
  std::vector<std::pair<Token, std::shared_ptr<Observer>>> targets;
  {
    std::lock_guard lock(mutex_);
    for (const auto& e : entries_) {
      if ((e.name.empty() || e.name == notification.name) && (!e.object || e.object == notification.object)) {
        targets.emplace_back(e.token, e.observer);
      }
    }
  }
  for (const auto& [token, observer] : targets) {
    {
      std::lock_guard lock(mutex_);
      const bool stillRegistered =
          std::any_of(entries_.begin(), entries_.end(), [t = token](const Entry& e) { return e.token == t; });
      if (!stillRegistered) continue;
    }
    (*observer)(notification);
  }
}

void NotificationCenter::post(std::string name, const void* object, std::map<std::string, std::any> userInfo) {
  post(Notification{std::move(name), object, std::move(userInfo)});
}

}  // namespace foundation
