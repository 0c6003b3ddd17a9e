#include "foundation/notification_center.hpp"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
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
  // The observers being called now, and on which thread: a removal waits for those on other threads.
  std::vector<std::pair<Token, std::thread::id>> running;
  std::condition_variable callEnded;

  // Waits until no call of an observer that `matches` is under way on another thread, kCallEndWait at most
  // (a call that waits for something the caller holds would otherwise never end); logs and answers false if
  // one still is. One on the calling thread is the caller's own (an observer removing itself, or its owner
  // released inside it) and is not waited for.
  template <class Matches>
  bool waitForCallsElsewhere(std::unique_lock<std::mutex>& lock, Matches matches) {
    const auto self = std::this_thread::get_id();
    const bool ended = callEnded.wait_for(lock, kCallEndWait, [&] {
      return std::none_of(running.begin(), running.end(),
                          [&](const auto& call) { return matches(call.first) && call.second != self; });
    });
    if (!ended) {
      lock.unlock();
      log(LogLevel::error, "an observer was still being called on another thread when it was removed; its call ends on its own");
    }
    return ended;
  }
};

NotificationCenter::NotificationCenter() : registry_(std::make_shared<Registry>()) {}

// A post under way holds the registry: emptied here, it calls no further observer of this centre.
NotificationCenter::~NotificationCenter() {
  std::map<Token, Registry::Entry> observers;  // released after the lock: their captures may post or remove
  std::unique_lock lock(registry_->mutex);
  observers.swap(registry_->entries);
  // Every observer is removed, and what they use may go with the centre: calls under way are waited for.
  registry_->waitForCallsElsewhere(lock, [](Token) { return true; });
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
  std::unique_lock lock(registry_->mutex);
  if (auto it = registry_->entries.find(token); it != registry_->entries.end()) {
    removed = std::move(it->second.observer);
    registry_->entries.erase(it);
  }
  // Its owner goes once this returns, and a call under way on another thread still uses what it captured.
  registry_->waitForCallsElsewhere(lock, [token](Token running) { return running == token; });
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
  const auto self = std::this_thread::get_id();
  for (const auto& [token, observer] : targets) {
    {
      // Checked and marked as called in one step: a removal either comes first, and the observer is not
      // called, or waits for the call to end.
      std::lock_guard lock(registry->mutex);
      if (!registry->entries.contains(token)) continue;
      registry->running.emplace_back(token, self);
    }
    struct Ended {
      Registry& registry;
      std::pair<Token, std::thread::id> call;
      ~Ended() {
        {
          std::lock_guard lock(registry.mutex);
          registry.running.erase(std::find(registry.running.begin(), registry.running.end(), call));
        }
        registry.callEnded.notify_all();
      }
    } ended{*registry, {token, self}};
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
