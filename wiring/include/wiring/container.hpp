#pragma once
// wiring: a small dependency container. Services are registered and found by key text; each key has a default
// maker, may be re-registered, and has a scope that decides whether a value is made anew, cached, or kept for
// the whole process.
//
//   inline wiring::Factory<std::shared_ptr<Api>> apiFactory() {
//     return wiring::Factory<std::shared_ptr<Api>>("api", [] { return std::make_shared<Api>(); }).cached();
//   }
//   auto api = apiFactory().resolve();                 // made once, then the same value
//   apiFactory().register_([] { return std::make_shared<FakeApi>(); });   // later resolutions use the fake
//
// Tests bind a container of their own for a scope, so they never share state:
//   wiring::Container mine;
//   wiring::Container::Scope bound(mine);              // Container::shared() is `mine` on this thread
#include <any>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>

namespace wiring {

enum class Scope {
  none,       // a new value at every resolution
  cached,     // made at the first resolution, the same value until the key's registration changes
  singleton,  // made once and given for the rest of the process (across containers), until re-registered
};

class Container {
 public:
  Container() = default;
  Container(const Container&) = delete;
  Container& operator=(const Container&) = delete;

  // The container bound to the calling thread by a `Scope`, else the process-wide default one.
  static Container& shared();

  // Binds `container` as `shared()` on the calling thread until destroyed; bindings nest.
  // Work handed to another thread carries the binding with `Container::propagating`.
  class Scope {
   public:
    explicit Scope(Container& container);
    ~Scope();
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

   private:
    Container* previous_;
  };

  // Wraps `work` so that it runs with the caller's current container bound.
  static std::function<void()> propagating(std::function<void()> work);

  // Drops every registration and cached value of this container (singletons excepted).
  void reset();

  // Type-erased storage behind Factory<T>; not meant to be called directly.
  // Makers run without any container-wide lock held, so a maker may resolve other keys, on its own thread or
  // by waiting for another thread that does. A cached or singleton key has at most one maker running at a
  // time: concurrent first resolutions wait for it and share its value. A maker that resolves its own key
  // gets std::logic_error (it could never finish).
  template <class T>
  T resolve(const std::string& key, const std::function<T()>& defaultMaker, wiring::Scope scope);
  template <class T>
  void register_(const std::string& key, std::function<T()> maker);

 private:
  struct Cached {
    std::any value;
    std::uint64_t generation;
  };
  struct Registered {
    std::any maker;  // std::function<T()>
    std::uint64_t generation;
  };
  // Keys whose value is being made, and the thread making each; guarded by the store's own mutex.
  struct InFlight {
    std::map<std::string, std::thread::id> makers;
    std::condition_variable finished;
  };
  // Returns the value `find` sees under `lock`, else makes it with the lock released (one maker per key) and
  // hands it to `store` under the lock.
  template <class T, class Find, class Store>
  static T makeOnce(std::unique_lock<std::mutex>& lock, InFlight& inFlight, const std::string& key, Find find,
                    Store store, const std::function<T()>& maker);

  // Singletons are the process's, so their generations are too: a registration of a key in any container
  // starts a new one, and a value made under an earlier generation is not given out again.
  struct SingletonStore {
    std::mutex mutex;
    std::map<std::string, Cached> values;
    std::map<std::string, std::uint64_t> generations;  // absent: 0
    InFlight inFlight;
    std::uint64_t generation(const std::string& key) const {
      auto it = generations.find(key);
      return it == generations.end() ? 0 : it->second;
    }
  };
  static SingletonStore& singletons();

  std::mutex mutex_;
  std::map<std::string, Registered> registrations_;
  std::map<std::string, Cached> cache_;
  InFlight inFlight_;
  std::uint64_t nextGeneration_ = 1;
};

// A keyed factory on the shared container: `resolve()` gives the value for its key, made by the registered
// maker when there is one, else by the default maker, and kept or made anew according to its scope.
template <class T>
class Factory {
 public:
  Factory(std::string key, std::function<T()> defaultMaker)
      : key_(std::move(key)), defaultMaker_(std::move(defaultMaker)) {}

  Factory cached() const& { return withScope(Scope::cached); }
  Factory singleton() const& { return withScope(Scope::singleton); }
  Factory cached() && { scope_ = Scope::cached; return std::move(*this); }
  Factory singleton() && { scope_ = Scope::singleton; return std::move(*this); }

  T resolve() const { return Container::shared().resolve<T>(key_, defaultMaker_, scope_); }
  T operator()() const { return resolve(); }

  // Replaces the maker for this key in the shared container; a value cached under the earlier maker is not
  // given out again.
  void register_(std::function<T()> maker) const { Container::shared().register_<T>(key_, std::move(maker)); }

  const std::string& key() const { return key_; }
  Scope scope() const { return scope_; }

 private:
  Factory withScope(Scope s) const {
    Factory copy = *this;
    copy.scope_ = s;
    return copy;
  }
  std::string key_;
  std::function<T()> defaultMaker_;
  Scope scope_ = Scope::none;
};

// ---- implementation ----

template <class T, class Find, class Store>
T Container::makeOnce(std::unique_lock<std::mutex>& lock, InFlight& inFlight, const std::string& key, Find find,
                      Store store, const std::function<T()>& maker) {
  const auto self = std::this_thread::get_id();
  for (;;) {
    if (std::optional<T> value = find()) return std::move(*value);
    auto it = inFlight.makers.find(key);
    if (it == inFlight.makers.end()) break;
    if (it->second == self) throw std::logic_error("wiring: the maker of \"" + key + "\" resolves its own key");
    // Another thread is making this key: wait for it and take its value (or make it ourselves if it threw).
    inFlight.finished.wait(lock);
  }
  inFlight.makers.emplace(key, self);
  struct Release {
    std::unique_lock<std::mutex>& lock;
    InFlight& inFlight;
    const std::string& key;
    ~Release() {
      if (!lock.owns_lock()) lock.lock();
      inFlight.makers.erase(key);
      inFlight.finished.notify_all();
    }
  } release{lock, inFlight, key};
  lock.unlock();
  T value = maker();
  lock.lock();
  store(value);
  return value;
}

template <class T>
T Container::resolve(const std::string& key, const std::function<T()>& defaultMaker, wiring::Scope scope) {
  // Read before the maker is chosen: a registration after this point makes the value stale, never the
  // other way round.
  std::uint64_t singletonGeneration = 0;
  if (scope == wiring::Scope::singleton) {
    auto& store = singletons();
    std::lock_guard singletonLock(store.mutex);
    singletonGeneration = store.generation(key);
  }
  std::function<T()> maker = defaultMaker;
  std::uint64_t generation = 0;
  std::unique_lock lock(mutex_);
  if (auto it = registrations_.find(key); it != registrations_.end()) {
    auto* registered = std::any_cast<std::function<T()>>(&it->second.maker);
    if (!registered) throw std::logic_error("wiring: key \"" + key + "\" registered with another type");
    maker = *registered;
    generation = it->second.generation;
  }
  if (scope == wiring::Scope::cached) {
    return makeOnce<T>(
        lock, inFlight_, key,
        [&]() -> std::optional<T> {
          if (auto it = cache_.find(key); it != cache_.end() && it->second.generation == generation) {
            if (auto* value = std::any_cast<T>(&it->second.value)) return *value;
          }
          return std::nullopt;
        },
        [&](const T& value) { cache_[key] = Cached{value, generation}; }, maker);
  }
  lock.unlock();
  if (scope == wiring::Scope::singleton) {
    auto& store = singletons();
    std::unique_lock singletonLock(store.mutex);
    return makeOnce<T>(
        singletonLock, store.inFlight, key,
        [&]() -> std::optional<T> {
          auto it = store.values.find(key);
          if (it == store.values.end() || it->second.generation != store.generation(key)) return std::nullopt;
          if (auto* value = std::any_cast<T>(&it->second.value)) return *value;
          return std::nullopt;
        },
        [&](const T& value) { store.values[key] = Cached{value, singletonGeneration}; }, maker);
  }
  return maker();
}

template <class T>
void Container::register_(const std::string& key, std::function<T()> maker) {
  {
    std::lock_guard lock(mutex_);
    registrations_[key] = Registered{std::move(maker), nextGeneration_++};
    cache_.erase(key);
  }
  // A singleton made by the earlier maker is not given out again either, even one still being made.
  auto& store = singletons();
  std::lock_guard lock(store.mutex);
  ++store.generations[key];
  store.values.erase(key);
}

}  // namespace wiring
