#include "core/client_cache_writer.hpp"

#include "core/keychain_failures.hpp"

#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

namespace vadar::core {

namespace {
// Every answer that carries a client installs it, so a busy application would otherwise write the keychain
// once per request, and each write holds the process's keychain calls (the device-token read of the next
// request included) for a Secret Service round trip that re-encrypts the collection. Writes are spaced out
// instead: after one, the next waits this long, and whatever was installed meanwhile is written as one.
constexpr std::chrono::milliseconds spacing{500};
}  // namespace

struct ClientCacheWriter::State {
  std::mutex mutex;
  std::condition_variable changed;
  std::map<Target, std::function<void()>> waiting;
  bool running = false;  // the writer thread exists
  bool writing = false;  // it has taken a write and not finished it
  int draining = 0;      // callers of drain: no spacing while they wait
};

ClientCacheWriter& ClientCacheWriter::shared() {
  static ClientCacheWriter* writer = new ClientCacheWriter();  // never destroyed: no work in static destructors
  return *writer;
}

ClientCacheWriter::State& ClientCacheWriter::state() {
  static State* state = new State();
  return *state;
}

void ClientCacheWriter::submit(Target target, std::function<void()> write) {
  State& s = state();
  bool start = false;
  {
    std::lock_guard lock(s.mutex);
    s.waiting.insert_or_assign(std::move(target), std::move(write));
    if (!s.running) s.running = start = true;
  }
  // Detached: the thread only touches the process-wide state, and `drain` waits for its work, not for it.
  if (start) std::thread([this] { run(); }).detach();
}

namespace {
void perform(const std::function<void()>& write) {
  try {
    write();
  } catch (...) {
    // A cache that cannot be written only costs the restore at the next start.
    KeychainFailures::note(std::current_exception());
  }
}
}  // namespace

void ClientCacheWriter::run() {
  State& s = state();
  std::unique_lock lock(s.mutex);
  for (;;) {
    // A write on a caller's thread goes first; it may also have taken what was waiting.
    s.changed.wait(lock, [&] { return !s.writing; });
    if (s.waiting.empty()) break;
    auto next = s.waiting.begin();
    std::function<void()> write = std::move(next->second);
    s.waiting.erase(next);
    s.writing = true;
    lock.unlock();
    perform(write);
    write = nullptr;  // whatever it holds is released off the lock
    lock.lock();
    s.writing = false;
    s.changed.notify_all();
    s.changed.wait_for(lock, spacing, [&] { return s.draining > 0; });
  }
  s.running = false;
}

bool ClientCacheWriter::writeNow(Target target, std::function<void()> write, std::chrono::milliseconds deadline) {
  State& s = state();
  {
    std::unique_lock lock(s.mutex);
    s.waiting.erase(target);
    if (!s.changed.wait_for(lock, deadline, [&] { return !s.writing; })) {
      lock.unlock();
      submit(std::move(target), std::move(write));
      return false;
    }
    s.writing = true;
  }
  perform(write);
  {
    std::lock_guard lock(s.mutex);
    s.writing = false;
  }
  s.changed.notify_all();
  return true;
}

bool ClientCacheWriter::drain(std::chrono::milliseconds deadline) {
  State& s = state();
  std::unique_lock lock(s.mutex);
  ++s.draining;
  s.changed.notify_all();
  const bool idle = s.changed.wait_for(lock, deadline, [&] { return s.waiting.empty() && !s.writing; });
  --s.draining;
  return idle;
}

}  // namespace vadar::core
