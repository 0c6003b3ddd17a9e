#include "wiring/container.hpp"

#include <algorithm>
#include <atomic>
#include <memory>
#include <stdexcept>
#include <utility>
#include <vector>

namespace wiring {
namespace {

thread_local Container* bound = nullptr;

// The keys the calling thread is resolving, outermost first: a key met again on the way can never be made.
struct Resolving {
  const void* store;
  const std::string* key;
};
thread_local std::vector<Resolving> resolving;

[[noreturn]] void failCycle(const std::string& key, const std::string& path) {
  throw std::logic_error("wiring: the maker of \"" + key + "\" resolves its own key (" + path + ")");
}

// Enters `key` of `store` on the calling thread's way, or refuses when it is on it already.
class OnTheWay {
 public:
  OnTheWay(const void* store, const std::string& key) {
    auto found = std::find_if(resolving.begin(), resolving.end(),
                              [&](const Resolving& r) { return r.store == store && *r.key == key; });
    if (found != resolving.end()) {
      std::string path;
      for (auto it = found; it != resolving.end(); ++it) path += *it->key + " -> ";
      failCycle(key, path + key);
    }
    resolving.push_back({store, &key});
  }
  ~OnTheWay() { resolving.pop_back(); }
  OnTheWay(const OnTheWay&) = delete;
  OnTheWay& operator=(const OnTheWay&) = delete;
};

// Which thread waits in the container for which other thread's maker. A thread that would wait for a thread
// that waits (through others, maybe) for it closes a cycle that no one could ever leave.
class WaitGraph {
 public:
  static WaitGraph& process() {
    static auto* graph = new WaitGraph();  // outlives every static that may resolve at exit
    return *graph;
  }

  // Records that the calling thread waits for `maker`, making the value of `entry`, or throws when that would
  // close a cycle.
  void enter(std::thread::id maker, const Container::Entry* entry, const std::string& key) {
    const auto self = std::this_thread::get_id();
    std::lock_guard lock(mutex_);
    for (auto next = maker;;) {
      if (next == self) {
        throw std::logic_error("wiring: the maker of \"" + key +
                               "\" waits, through another thread, for a value that needs its own");
      }
      auto it = waitsFor_.find(next);
      if (it == waitsFor_.end()) break;
      next = it->second.maker;
    }
    waitsFor_[self] = Wait{maker, entry};
  }
  void leave() {
    std::lock_guard lock(mutex_);
    waitsFor_.erase(std::this_thread::get_id());
  }
  // The maker of `entry` is done with it: the threads that waited for it wait for no one any more, though they
  // may not have woken yet. Left in place, their waits would make the maker, resolving on, seem to wait for
  // itself through them.
  void made(const Container::Entry* entry) {
    std::lock_guard lock(mutex_);
    std::erase_if(waitsFor_, [entry](const auto& wait) { return wait.second.entry == entry; });
  }

 private:
  struct Wait {
    std::thread::id maker;
    const Container::Entry* entry;
  };
  std::mutex mutex_;
  std::map<std::thread::id, Wait> waitsFor_;
};

// Singletons are the process's, so their generations are too: a registration of a key in any container
// starts a new one, and a value made under an earlier generation is not given out again.
struct SingletonStore {
  std::mutex mutex;  // taken before any container's
  std::condition_variable finished;
  std::map<std::string, Container::Entry> entries;
  std::map<std::string, std::uint64_t> generations;  // absent: 0

  static SingletonStore& process() {
    static auto* store = new SingletonStore();  // outlives every static that may resolve at exit
    return *store;
  }
};

// What makes a key's value now, and under which generation.
struct Choice {
  std::shared_ptr<const std::function<std::any()>> registered;  // keeps a registered maker alive
  const std::function<std::any()>* maker;
  std::uint64_t generation;
};

// The value of `entry` for the current generation: the kept one, else one made by this thread (one maker at a
// time; the others wait for it, at most until `deadline`). `choose` is asked under `lock` each round, so a
// waiter that wakes after a re-registration uses the new maker. A value whose registration was replaced
// while it was made goes to its caller only.
void resolveInStore(std::unique_lock<std::mutex>& lock, std::condition_variable& finished, Container::Entry& entry,
                    const std::string& key, const std::type_info& type, const std::function<Choice()>& choose,
                    const std::function<void(std::any&, bool)>& take) {
  using Clock = std::chrono::steady_clock;
  const auto wait = Container::makerWait();
  const auto now = Clock::now();
  // A wait past what the clock can reach from now is no limit (added, it would overflow).
  const auto reach = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::time_point::max() - now);
  const auto deadline = wait >= reach ? Clock::time_point::max() : now + wait;
  for (;;) {
    const Choice choice = choose();
    if (entry.value && entry.generation == choice.generation) {
      if (entry.value->type() != type) throw std::logic_error("wiring: key \"" + key + "\" resolved as another type");
      const std::shared_ptr<std::any> kept = entry.value;
      lock.unlock();
      take(*kept, false);
      return;
    }
    if (!entry.making) {
      entry.making = true;
      entry.maker = std::this_thread::get_id();
      std::shared_ptr<std::any> made, discarded;
      bool kept = false;
      {
        // Whatever the maker does, the key is free again afterwards and the waiters look again.
        struct Done {
          std::unique_lock<std::mutex>& lock;
          std::condition_variable& finished;
          Container::Entry& entry;
          ~Done() {
            if (!lock.owns_lock()) lock.lock();
            entry.making = false;
            WaitGraph::process().made(&entry);
            finished.notify_all();
          }
        } done{lock, finished, entry};
        lock.unlock();
        made = std::make_shared<std::any>((*choice.maker)());
        lock.lock();
        if (choose().generation == choice.generation) {
          discarded = std::exchange(entry.value, made);
          entry.generation = choice.generation;
          kept = true;
        }
      }
      // The replaced value is released, and the caller's copy taken, outside the lock: either may run
      // application code that resolves again. A value not kept is the caller's alone.
      lock.unlock();
      take(*made, !kept);
      return;
    }
    // Another thread makes this key's value: wait for it, and look again.
    auto& graph = WaitGraph::process();
    graph.enter(entry.maker, &entry, key);
    const bool inTime = finished.wait_until(lock, deadline) == std::cv_status::no_timeout ||
                        std::chrono::steady_clock::now() < deadline;
    graph.leave();
    if (!inTime && entry.making) {
      // No cycle the container can see: the maker is slow, or waits for something outside the container.
      throw std::runtime_error("wiring: the maker of \"" + key + "\" on another thread did not finish in time (" +
                               std::to_string(wait.count()) + " ms)");
    }
  }
}

}  // namespace

Container& Container::shared() {
  if (bound) return *bound;
  static auto* process = new Container();  // outlives every static that may resolve at exit
  return *process;
}

Container::Scope::Scope(Container& container) : previous_(bound) { bound = &container; }
Container::Scope::~Scope() { bound = previous_; }

std::function<void()> Container::propagating(std::function<void()> work) {
  Container* current = &shared();
  return [current, work = std::move(work)] {
    Scope scope(*current);
    work();
  };
}

namespace {
std::atomic<std::int64_t> makerWaitMs{std::chrono::milliseconds(Container::kMakerWait).count()};
}  // namespace

std::chrono::milliseconds Container::makerWait() { return std::chrono::milliseconds(makerWaitMs.load()); }

void Container::setMakerWait(std::chrono::milliseconds wait) { makerWaitMs.store(wait.count()); }

std::pair<std::shared_ptr<const Container::Maker>, std::uint64_t> Container::current(
    const std::string& key, const std::type_info& type) const {
  auto it = registrations_.find(key);
  if (it == registrations_.end()) return {nullptr, defaultGeneration_};
  if (*it->second.type != type) throw std::logic_error("wiring: key \"" + key + "\" registered with another type");
  return {it->second.maker, it->second.generation};
}

void Container::resolveErased(const std::string& key, const std::type_info& type, const Maker& defaultMaker,
                              wiring::Scope scope, const Take& take) {
  if (scope == wiring::Scope::singleton) {
    auto& store = SingletonStore::process();
    const OnTheWay onTheWay(&store, key);
    std::unique_lock lock(store.mutex);
    auto& entry = store.entries[key];
    resolveInStore(
        lock, store.finished, entry, key, type,
        [&]() -> Choice {
          std::lock_guard containerLock(mutex_);
          auto [registered, unused] = current(key, type);
          const Maker* maker = registered ? registered.get() : &defaultMaker;
          auto generation = store.generations.find(key);
          return {std::move(registered), maker, generation == store.generations.end() ? 0 : generation->second};
        },
        take);
    return;
  }
  const OnTheWay onTheWay(this, key);
  std::unique_lock lock(mutex_);
  if (scope == wiring::Scope::cached) {
    resolveInStore(
        lock, finished_, cache_[key], key, type,
        [&]() -> Choice {
          auto [registered, generation] = current(key, type);
          const Maker* maker = registered ? registered.get() : &defaultMaker;
          return {std::move(registered), maker, generation};
        },
        take);
    return;
  }
  auto [registered, unused] = current(key, type);
  lock.unlock();
  std::any made = registered ? (*registered)() : defaultMaker();
  take(made, true);
}

void Container::registerErased(const std::string& key, const std::type_info& type, Maker maker) {
  // Released after the locks: a value's destructor may resolve again.
  Registered earlier;
  std::shared_ptr<std::any> replaced, replacedSingleton;
  auto& store = SingletonStore::process();
  std::scoped_lock lock(store.mutex, mutex_);
  earlier = std::exchange(registrations_[key],
                          Registered{std::make_shared<const Maker>(std::move(maker)), &type, nextGeneration_++});
  // Neither a value cached under the earlier maker nor a singleton made by it is given out again, even one
  // still being made.
  if (auto it = cache_.find(key); it != cache_.end()) replaced = std::exchange(it->second.value, nullptr);
  ++store.generations[key];
  if (auto it = store.entries.find(key); it != store.entries.end()) {
    replacedSingleton = std::exchange(it->second.value, nullptr);
  }
}

void Container::reset() {
  std::map<std::string, Registered> registrations;
  std::vector<std::shared_ptr<std::any>> values;
  std::lock_guard lock(mutex_);
  registrations.swap(registrations_);
  for (auto& [key, entry] : cache_) values.push_back(std::exchange(entry.value, nullptr));
  // A default maker still running for a key gives its value to its caller only.
  defaultGeneration_ = nextGeneration_++;
}

}  // namespace wiring
