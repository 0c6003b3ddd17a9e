#pragma once
// wiring: a small dependency container. Services are registered and found by key text; each key has a default
// maker, may be re-registered, and has a scope that decides whether a value is made anew, cached, or kept for
// the whole process.
//
// Example:
//   struct Api { virtual ~Api() = default; };
//   struct FakeApi : Api {};
//   namespace app {
//   inline wiring::Factory<std::shared_ptr<Api>> apiFactory() {
//     return wiring::Factory<std::shared_ptr<Api>>("api", [] { return std::make_shared<Api>(); }).cached();
//   }
//   }  // namespace app
//   auto api = app::apiFactory().resolve();            // made once, then the same value
//   app::apiFactory().register_([]() -> std::shared_ptr<Api> { return std::make_shared<FakeApi>(); });
//                                                      // later resolutions use the fake
//
// Tests bind a container of their own for a scope, so they never share state.
// Example:
//   wiring::Container mine;
//   wiring::Container::Scope bound(mine);              // Container::shared() is `mine` on this thread
//
// Thread rule: every call may come from any thread. Lifetime: a container outlives the scopes that bind it and
// every resolution on it; the process's default container and its singletons are never destroyed.
#include <any>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <typeinfo>
#include <utility>

namespace wiring {

enum class Scope {
  none,       // a new value at every resolution
  cached,     // made at the first resolution, the same value until the key's registration changes
  singleton,  // made once and given for the rest of the process (across containers), until re-registered
};

class Container {
 public:
  // The longest a resolution waits for another thread that is making the same key's value. Makers build
  // service objects and are quick; a wait that runs out fails with std::runtime_error saying the maker did not
  // finish in time, so a maker stuck outside the container cannot hang its waiters.
  static constexpr std::chrono::seconds kMakerWait{5};
  // The wait in force, kMakerWait unless changed. Tests shorten it to meet a slow maker without waiting long;
  // one past the clock's range (milliseconds::max()) is no limit.
  static std::chrono::milliseconds makerWait();
  static void setMakerWait(std::chrono::milliseconds wait);

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
  // time: concurrent first resolutions wait for it and share its value. Each registration (and the default
  // maker, until the first one) gives at most one value per cached or singleton key, whatever the threads do;
  // a value made under a registration that has since been replaced goes to its own caller only.
  // A resolution that needs its own key again throws std::logic_error, whatever the scopes on the way: on one
  // thread and through threads that each wait in the container for the other. A wait for a maker on another
  // thread that may wait outside the container (a future, a queue's sync) ends after makerWait().
  template <class T>
  T resolve(const std::string& key, const std::function<T()>& defaultMaker, wiring::Scope scope) {
    std::optional<T> result;
    resolveErased(
        key, typeid(T), [&defaultMaker]() -> std::any { return defaultMaker(); }, scope,
        [&result](std::any& value, bool own) {
          T* held = std::any_cast<T>(&value);
          if (own) {
            result.emplace(std::move(*held));
          } else {
            result.emplace(*held);
          }
        });
    return std::move(*result);
  }
  template <class T>
  void register_(const std::string& key, std::function<T()> maker) {
    registerErased(key, typeid(T), [maker = std::move(maker)]() -> std::any { return maker(); });
  }

  // The value of one key in one store (a container's cache, or the process's singletons): the value last made,
  // the registration it was made under, and the thread making one now. Entries are never removed, so a maker
  // may hold one while the store's lock is released. The value is shared, so that a resolution copies it for
  // its caller with no lock held (a copy may run application code that resolves again) while a re-registration
  // drops it meanwhile.
  struct Entry {
    std::shared_ptr<std::any> value;  // none while none is kept
    std::uint64_t generation = 0;
    bool making = false;
    std::thread::id maker;  // while `making`
  };

 private:
  using Maker = std::function<std::any()>;
  // Hands a value to the resolution's caller; `own`: the value is the caller's alone and may be moved from.
  using Take = std::function<void(std::any& value, bool own)>;
  struct Registered {
    std::shared_ptr<const Maker> maker;  // shared, so that a resolution may run it after the lock is released
    const std::type_info* type = nullptr;
    std::uint64_t generation = 0;
  };

  void resolveErased(const std::string& key, const std::type_info& type, const Maker& defaultMaker,
                     wiring::Scope scope, const Take& take);
  void registerErased(const std::string& key, const std::type_info& type, Maker maker);
  // The registered maker (none: the default one) and the generation that resolve `key` now.
  // REQUIRES: mutex_ held.
  std::pair<std::shared_ptr<const Maker>, std::uint64_t> current(const std::string& key,
                                                                 const std::type_info& type) const;

  mutable std::mutex mutex_;
  std::condition_variable finished_;  // a maker of a cached key returned
  std::map<std::string, Registered> registrations_;
  std::map<std::string, Entry> cache_;
  std::uint64_t nextGeneration_ = 1;
  std::uint64_t defaultGeneration_ = 0;  // of keys without a registration; a reset starts a new one
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

  // REQUIRES: the maker does not need this key again (else std::logic_error).
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

}  // namespace wiring
