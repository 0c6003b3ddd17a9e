#include "core/client_cache_writer.hpp"

#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

namespace vadar::core {

struct ClientCacheWriter::State {
  std::mutex mutex;
  std::condition_variable idle;
  std::map<Target, std::function<void()>> waiting;
  bool running = false;  // the thread is writing or about to: false only with nothing waiting
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

void ClientCacheWriter::run() {
  State& s = state();
  std::unique_lock lock(s.mutex);
  while (!s.waiting.empty()) {
    auto next = s.waiting.begin();
    std::function<void()> write = std::move(next->second);
    s.waiting.erase(next);
    lock.unlock();
    try {
      write();
    } catch (...) {
      // A cache that cannot be written only costs the restore at the next start.
    }
    write = nullptr;  // whatever it holds is released off the lock
    lock.lock();
  }
  s.running = false;
  s.idle.notify_all();
}

bool ClientCacheWriter::drain(std::chrono::milliseconds deadline) {
  State& s = state();
  std::unique_lock lock(s.mutex);
  return s.idle.wait_for(lock, deadline, [&] { return !s.running; });
}

}  // namespace vadar::core
