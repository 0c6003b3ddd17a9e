#include "core/background_tasks.hpp"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <utility>

#include <foundation/main_queue.hpp>
#include <wiring/container.hpp>

#include "core/keychain_writer.hpp"
#include "vadar/models/vadar_client_error.hpp"

namespace vadar::core {

BackgroundTasks& BackgroundTasks::shared() {
  static BackgroundTasks* tasks = new BackgroundTasks();  // never destroyed: see the header
  return *tasks;
}

std::stop_source BackgroundTasks::start(std::function<void(std::stop_token)> work) {
  auto done = std::make_shared<std::atomic<bool>>(false);
  // The thread learns its stop token only once it runs; the container binding must be taken here.
  auto token = std::make_shared<std::stop_token>();
  std::function<void()> bound = wiring::Container::propagating([work = std::move(work), token] { work(*token); });
  std::list<Entry> finished;
  std::stop_source source;
  {
    std::lock_guard lock(mutex_);
    reapLocked(finished);
    Entry entry{std::jthread([this, bound = std::move(bound), token, done](std::stop_token stop) {
                  *token = std::move(stop);
                  try {
                    bound();
                  } catch (...) {
                    // A background task reports through its own result; nothing may escape a thread.
                  }
                  {
                    std::lock_guard lock(mutex_);  // the registry is never destroyed: see the header
                    done->store(true);
                  }
                  ended_.notify_all();
                }),
                done};
    source = entry.thread.get_stop_source();
    entries_.push_back(std::move(entry));
  }
  for (auto& entry : finished) entry.thread.join();
  return source;
}

void BackgroundTasks::reapLocked(std::list<Entry>& finished) {
  for (auto it = entries_.begin(); it != entries_.end();) {
    if (it->done->load()) {
      finished.splice(finished.end(), entries_, it++);
    } else {
      ++it;
    }
  }
}

void BackgroundTasks::reap() {
  std::list<Entry> finished;
  {
    std::lock_guard lock(mutex_);
    reapLocked(finished);
  }
  for (auto& entry : finished) entry.thread.join();
}

void BackgroundTasks::takeOthersLocked(std::list<Entry>& others) {
  // A task cannot join itself: one that drains or shuts the library down from inside (an application's provider
  // that quits) stays registered, and whoever drains, shuts down or starts next joins it once it has ended.
  const auto self = std::this_thread::get_id();
  for (auto it = entries_.begin(); it != entries_.end();) {
    if (it->thread.get_id() == self) {
      ++it;
    } else {
      others.splice(others.end(), entries_, it++);
    }
  }
}

void BackgroundTasks::drain() {
  for (;;) {
    std::list<Entry> others;
    {
      std::lock_guard lock(mutex_);
      takeOthersLocked(others);
      if (others.empty()) return;
    }
    for (auto& entry : others) entry.thread.join();
  }
}

std::stop_token BackgroundTasks::shutdownToken() {
  std::lock_guard lock(mutex_);
  return shutdownSource_.get_token();
}

void BackgroundTasks::shutdown() {
  {
    std::lock_guard lock(mutex_);
    // Its callbacks resume waiting callers; none of them takes this lock.
    std::exchange(shutdownSource_, std::stop_source()).request_stop();
    for (auto& entry : entries_)
      if (entry.thread.get_id() == std::this_thread::get_id()) entry.thread.request_stop();
  }
  const auto deadline = std::chrono::steady_clock::now() + kShutdownWait;
  for (;;) {
    std::list<Entry> others;
    {
      std::lock_guard lock(mutex_);
      takeOthersLocked(others);
      if (others.empty()) return;
    }
    for (auto& entry : others) entry.thread.request_stop();
    {
      std::unique_lock lock(mutex_);
      ended_.wait_until(lock, deadline, [&] {
        return std::all_of(others.begin(), others.end(), [](const Entry& entry) { return entry.done->load(); });
      });
    }
    std::list<Entry> running;
    for (auto it = others.begin(); it != others.end();) {
      if (it->done->load()) {
        it->thread.join();
        ++it;
      } else {
        running.splice(running.end(), others, it++);
      }
    }
    if (!running.empty()) {
      // Past the deadline: what a task holds it owns, and it ends when the application's code returns. It stays
      // registered, so the next start, reap or drain joins it, and no thread of the library outlives the
      // process's last drain unseen.
      std::lock_guard lock(mutex_);
      entries_.splice(entries_.end(), running);
      return;
    }
  }
}

namespace {
thread_local std::stop_token currentStopToken;
}

StopTokenScope::StopTokenScope(std::stop_token token) : previous_(std::move(currentStopToken)) {
  currentStopToken = std::move(token);
}

StopTokenScope::~StopTokenScope() { currentStopToken = std::move(previous_); }

std::stop_token StopTokenScope::current() { return currentStopToken; }

void requireOffMainQueue(const char* operation) {
  if (foundation::MainQueue::isCurrent())
    throw VadarClientError(std::string(operation) +
                           " waits for the network and cannot run on the main queue; call it from another thread.");
}

void runOnMainQueue(const std::function<void()>& task) {
  if (foundation::MainQueue::isCurrent()) {
    task();
    return;
  }
  // The write resolves and registers services; it must reach the container the caller has bound, not the
  // main queue's.
  foundation::MainQueue::sync(wiring::Container::propagating([&task] { task(); }));
}

void settleSignedInState() {
  requireOffMainQueue("settleSignedInState()");
  // The main queue runs in order: once it has come past this task, it has come past the installation.
  struct Passed {
    std::mutex mutex;
    std::condition_variable_any condition;
    bool passed = false;
  };
  auto passed = std::make_shared<Passed>();
  foundation::MainQueue::post([passed] {
    {
      std::lock_guard lock(passed->mutex);
      passed->passed = true;
    }
    passed->condition.notify_all();
  });
  {
    std::unique_lock lock(passed->mutex);
    passed->condition.wait_for(lock, StopTokenScope::current(), signedInStateWait, [&] { return passed->passed; });
  }
  if (StopTokenScope::current().stop_requested()) return;
  KeychainWriter::shared().drain(signedInStateWait);
}

}  // namespace vadar::core
