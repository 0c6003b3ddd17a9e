#include "foundation/notification_center.hpp"

#include <mutex>
#include <utility>
#include <vector>

#include "guarded_task.hpp"

namespace foundation {

struct NotificationCenter::Registry {
  struct Entry {
    std::string name;
    const void* object;
    std::shared_ptr<Observer> observer;
  };
  std::mutex mutex;
  // By token, which is also the order of registration: a post calls observers in that order, and asks for each
  // whether it is still registered without walking all the others.
  std::map<Token, Entry> entries;
  Token next = 1;
};

NotificationCenter::NotificationCenter() : registry_(std::make_shared<Registry>()) {}

// A post under way holds the registry: emptied here, it calls no further observer of this centre.
NotificationCenter::~NotificationCenter() {
  std::map<Token, Registry::Entry> observers;  // released after the lock: their captures may post or remove
  std::lock_guard lock(registry_->mutex);
  observers.swap(registry_->entries);
}

NotificationCenter& NotificationCenter::defaultCenter() {
  static auto* center = new NotificationCenter();  // outlives every static observer
  return *center;
}

NotificationCenter::Token NotificationCenter::addObserver(std::string name, const void* object, Observer observer) {
  std::lock_guard lock(registry_->mutex);
  const Token token = registry_->next++;
  registry_->entries.emplace(
      token, Registry::Entry{std::move(name), object, std::make_shared<Observer>(std::move(observer))});
  return token;
}

void NotificationCenter::removeObserver(Token token) {
  std::shared_ptr<Observer> removed;  // released after the lock, as above
  std::lock_guard lock(registry_->mutex);
  if (auto it = registry_->entries.find(token); it != registry_->entries.end()) {
    removed = std::move(it->second.observer);
    registry_->entries.erase(it);
  }
}

void NotificationCenter::post(const Notification& notification) {
  // Observers run on a snapshot taken under the lock and are called without it, so they may post, add or
  // remove observers (themselves included) or release the centre. One removed during this post is not called
  // afterwards.
  const std::shared_ptr<Registry> registry = registry_;
  std::vector<std::pair<Token, std::shared_ptr<Observer>>> targets;
  {
    std::lock_guard lock(registry->mutex);
    for (const auto& [token, e] : registry->entries) {
      if ((e.name.empty() || e.name == notification.name) && (!e.object || e.object == notification.object)) {
        targets.emplace_back(token, e.observer);
      }
    }
  }
  for (const auto& [token, observer] : targets) {
    {
      std::lock_guard lock(registry->mutex);
      if (!registry->entries.contains(token)) continue;
    }
    // Named apart: a lambda may not capture a structured binding under every compiler this builds with.
    const auto& call = *observer;
    detail::callGuarded([&] { call(notification); },
                        [&] { return "an observer of the notification \"" + notification.name + "\""; });
  }
}

void NotificationCenter::post(std::string name, const void* object, std::map<std::string, std::any> userInfo) {
  post(Notification{std::move(name), object, std::move(userInfo)});
}

}  // namespace foundation
