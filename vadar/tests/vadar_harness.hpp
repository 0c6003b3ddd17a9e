#pragma once
// A `Vadar` wired to the fake frontend API on loopback through a proxy URL with a path segment, with a
// keychain service of its own in the real Secret Service (run the tests under scripts/with-keyring).
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <fake_frontend_api/fake_frontend_api.hpp>
#include <foundation/log.hpp>
#include <foundation/main_queue.hpp>

#include "testing/bounded_task.hpp"
#include "core/background_tasks.hpp"
#include "core/device_token_store.hpp"
#include "core/keychain_reads.hpp"
#include "core/keychain_writer.hpp"
#include "vadar/core/container_keys.hpp"
#include "expect_error.hpp"
#include "vadar/core/vadar.hpp"

namespace vadar::testing {

using namespace std::chrono_literals;

inline std::string uniqueKeychainService() {
  static std::atomic<int> next{1};
  return "tolvaran.vadar.core-test." + std::to_string(::getpid()) + "." + std::to_string(next++);
}

// Collects the log lines written while it lives.
class LogCapture {
 public:
  LogCapture() {
    previous_ = foundation::setLogSink([this](foundation::LogLevel, std::string_view line) {
      std::lock_guard lock(mutex_);
      lines_.emplace_back(line);
    });
  }
  ~LogCapture() { foundation::setLogSink(previous_); }
  std::vector<std::string> lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
  }
  bool contains(const std::string& text) const {
    for (const auto& line : lines())
      if (line.find(text) != std::string::npos) return true;
    return false;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
  foundation::LogSink previous_;
};

// Runs `work` on a thread of its own; the future is ready when it returned. A thread that is still busy at the
// end of the test is left behind rather than waited for.
class Finishing {
 public:
  explicit Finishing(std::function<void()> work) {
    auto done = std::make_shared<std::promise<void>>();
    finished_ = done->get_future();
    thread_ = std::thread([work = std::move(work), done] {
      work();
      done->set_value();
    });
  }
  ~Finishing() {
    if (finished_.wait_for(std::chrono::seconds(20)) == std::future_status::ready)
      thread_.join();
    else
      thread_.detach();
  }
  bool within(std::chrono::milliseconds limit) { return finished_.wait_for(limit) == std::future_status::ready; }

 private:
  std::future<void> finished_;
  std::thread thread_;
};

// Keeps the main queue busy, as a long job of the application's main thread would, until `release()`, the
// holder's destruction or `limit` (so a failing test never leaves the queue stuck).
class MainQueueHold {
 public:
  explicit MainQueueHold(std::chrono::milliseconds limit = std::chrono::seconds(30))
      : state_(std::make_shared<State>()) {
    started_ = state_->started.get_future();
    foundation::MainQueue::post([state = state_, limit] {
      state->started.set_value();
      state->released.wait_for(limit);
    });
  }
  ~MainQueueHold() { release(); }
  MainQueueHold(const MainQueueHold&) = delete;
  MainQueueHold& operator=(const MainQueueHold&) = delete;

  // True once the queue is held (within the deadline).
  bool held() { return started_.wait_for(std::chrono::seconds(20)) == std::future_status::ready; }
  void release() {
    std::call_once(state_->once, [this] { state_->release.set_value(); });
  }

 private:
  struct State {
    std::promise<void> started;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::once_flag once;
  };
  std::shared_ptr<State> state_;
  std::future<void> started_;
};

class VadarHarness {
 public:
  static constexpr const char* host = "frontend.example.test";

  // `fakeSignedIn`: the fake starts with its own signed-in user; `seed` edits its state before it starts.
  explicit VadarHarness(bool configureNow = true, bool fakeSignedIn = true,
                        const std::function<void(fake_frontend_api::State&)>& seed = {})
      : api_(makeOptions(fakeSignedIn)), service_(uniqueKeychainService()) {
    if (seed) api_.withState(seed);
    api_.start();
    useKeychain();
    vadar_ = Vadar::make();
    vadarFactory().register_([vadar = vadar_] { return vadar; });
    if (configureNow) vadar_->configure(publishableKey(), settings());
  }

  ~VadarHarness() {
    settle();
    vadar_->shutdown();
    forgetLibraryItems(keychain());
  }

  static void forgetLibraryItems(const keychain::KeychainStore& store) {
    for (const char* key : {"vadarDeviceToken", "cachedClient", "cachedEnvironment", "vadarInstance"}) {
      try {
        store.deleteItem(key);
      } catch (...) {
      }
    }
  }

  static std::string publishableKey() { return fake_frontend_api::FakeFrontendAPI::publishableKeyFor(host); }
  std::string proxyUrl() const { return api_.baseUrl() + "/__proxy"; }
  Vadar::Settings settings(bool debugMode = false) const {
    return Vadar::Settings(debugMode, true, KeychainConfig(service_), proxyUrl());
  }
  keychain::KeychainStore keychain() const { return makeKeychainStore(KeychainConfig(service_)); }
  void useKeychain() const {
    keychainFactory().register_([service = service_] { return makeKeychainStore(KeychainConfig(service)); });
  }

  // Makes a fresh object the shared one, with no device token in memory: what a new process would see.
  std::shared_ptr<Vadar> freshVadar() {
    core::DeviceTokenStore::shared().forget();
    vadar_ = Vadar::make();
    vadarFactory().register_([vadar = vadar_] { return vadar; });
    return vadar_;
  }

  // The next start: a fresh object that the application configured as this one, its restore done.
  std::shared_ptr<Vadar> startAgain() {
    auto next = freshVadar();
    next->configure(publishableKey(), settings());
    drainMainQueue();
    return next;
  }

  // Lets the background refreshes finish and the writes queued by the response pipeline land; a wait that
  // does not end within its deadline fails the test instead of hanging it.
  static void settle() {
    if (!withDeadline([] { core::BackgroundTasks::shared().drain(); }))
      ADD_FAILURE() << "background tasks did not finish";
    drainMainQueue();
  }
  // Also lets the keychain reads (a restore) end and the keychain take what was installed last.
  static void drainMainQueue() {
    if (!core::KeychainReads::drain(std::chrono::seconds(20))) ADD_FAILURE() << "a keychain read did not end";
    if (!withDeadline([] { foundation::MainQueue::drain(); })) ADD_FAILURE() << "the main queue did not drain";
    if (!core::KeychainWriter::shared().drain(std::chrono::seconds(20)))
      ADD_FAILURE() << "the keychain writes did not end";
  }
  static bool withDeadline(std::function<void()> wait, std::chrono::seconds limit = std::chrono::seconds(20)) {
    return testing_support::launch(std::move(wait)).wait_for(limit) == std::future_status::ready;
  }

  fake_frontend_api::FakeFrontendAPI& api() { return api_; }
  Vadar& vadar() { return *vadar_; }
  const std::string& service() const { return service_; }

 private:
  static fake_frontend_api::Options makeOptions(bool signedIn) {
    fake_frontend_api::Options options;
    options.mountPrefixes = {"/__proxy"};
    options.signedIn = signedIn;
    return options;
  }

  fake_frontend_api::FakeFrontendAPI api_;
  std::string service_;
  std::shared_ptr<Vadar> vadar_;
};

}  // namespace vadar::testing
