#include "core/keychain_writer.hpp"

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <tuple>

#include "core/instance_marker.hpp"
#include "core/keychain_failures.hpp"

namespace vadar::core {

namespace {
// Every answer that carries a client installs it, so a busy application would otherwise write the keychain
// once per request, each write a Secret Service round trip that re-encrypts the collection. Writes are spaced
// out instead: after one, the next waits this long, and whatever was installed meanwhile is written as one.
constexpr std::chrono::milliseconds spacing{500};

// A store's items: its service and access group.
using StoreKey = std::pair<std::string, std::string>;
StoreKey storeKey(const keychain::KeychainStore& store) {
  return {store.service(), store.accessGroup().value_or("")};
}
}  // namespace

struct KeychainWriter::State {
  using ItemKey = std::tuple<std::string, std::string, std::string>;  // service, access group, item
  struct Waiting {
    Write write;
    std::uint64_t turn;  // when the item first asked to be written
    // The oldest submission this write stands for: one it replaced counts as done once this one is.
    std::uint64_t oldest;
  };
  std::mutex mutex;
  std::condition_variable changed;
  // Served in turn order, oldest first: an item rewritten again and again (the client, installed by every
  // answer) keeps its turn when replaced, so it never holds back another item queued after it.
  std::map<ItemKey, Waiting> waiting;
  std::map<std::uint64_t, ItemKey> turns;  // the turns of `waiting`
  std::uint64_t nextTurn = 1;
  std::uint64_t submitted = 0;     // the last submission's number
  std::set<std::uint64_t> undone;  // the `oldest` of every write queued or being written
  bool running = false;                    // the writer thread exists
  int draining = 0;                        // callers of drain: no spacing while they wait
};

KeychainWriter& KeychainWriter::shared() {
  static KeychainWriter* writer = new KeychainWriter();  // never destroyed: no work in static destructors
  return *writer;
}

KeychainWriter::State& KeychainWriter::state() {
  static State* state = new State();
  return *state;
}

void KeychainWriter::submit(Write write) {
  State& s = state();
  bool start = false;
  {
    std::lock_guard lock(s.mutex);
    auto [service, group] = storeKey(write.store);
    auto key = std::make_tuple(std::move(service), std::move(group), write.item);
    const std::uint64_t number = ++s.submitted;
    if (auto queued = s.waiting.find(key); queued != s.waiting.end()) {
      queued->second.write = std::move(write);
    } else {
      s.turns.emplace(s.nextTurn, key);
      s.waiting.emplace(std::move(key), State::Waiting{std::move(write), s.nextTurn++, number});
      s.undone.insert(number);
    }
    if (!s.running) s.running = start = true;
  }
  // Detached: the thread only touches the process-wide state, and `drain` waits for its work, not for it.
  if (start) std::thread([this] { run(); }).detach();
}

void KeychainWriter::perform(const Write& write) {
  try {
    // Claimed at every write, not once per process: another process of the application (another build, for
    // another instance) may have claimed the store since, and this instance's items must not land under its
    // mark, where it would take them for its own.
    InstanceMarker::claim(write.store, write.instance);
    write.perform(write.store);
  } catch (...) {
    // An item that cannot be written only costs the restore at the next start.
    KeychainFailures::note(std::current_exception());
  }
}

void KeychainWriter::run() {
  State& s = state();
  std::unique_lock lock(s.mutex);
  while (!s.waiting.empty()) {
    const auto turn = s.turns.begin();
    const auto next = s.waiting.find(turn->second);
    auto write = std::make_unique<Write>(std::move(next->second.write));
    const std::uint64_t oldest = next->second.oldest;
    s.waiting.erase(next);
    s.turns.erase(turn);
    lock.unlock();
    perform(*write);
    write.reset();  // whatever it holds is released off the lock
    lock.lock();
    s.undone.erase(oldest);
    s.changed.notify_all();
    s.changed.wait_for(lock, spacing, [&] { return s.draining > 0; });
  }
  s.running = false;
}

bool KeychainWriter::writeNow(Write write, std::chrono::milliseconds deadline) {
  submit(std::move(write));
  return drain(deadline);
}

bool KeychainWriter::drain(std::chrono::milliseconds deadline) {
  State& s = state();
  std::unique_lock lock(s.mutex);
  // Writes submitted after this call do not count: under a steady stream of them the queue is never empty.
  const std::uint64_t last = s.submitted;
  ++s.draining;
  s.changed.notify_all();
  const bool done =
      s.changed.wait_for(lock, deadline, [&] { return s.undone.empty() || *s.undone.begin() > last; });
  --s.draining;
  return done;
}

}  // namespace vadar::core
