#include "vadar/sessions/session_token_poller.hpp"

#include <wiring/container.hpp>

#include "core/background_tasks.hpp"
#include "vadar/sessions/get_token_options.hpp"
#include "vadar/sessions/session_token_fetcher.hpp"
#include "vadar/core/vadar.hpp"

namespace vadar {

SessionTokenPoller::SessionTokenPoller(SessionSource source, std::chrono::steady_clock::duration interval)
    : source_(std::move(source)), interval_(interval) {}

SessionTokenPoller::~SessionTokenPoller() { stop(); }

SessionTokenPoller& SessionTokenPoller::shared() {
  static SessionTokenPoller* poller =
      new SessionTokenPoller([]() -> std::optional<Session> { return Vadar::shared()->session(); });
  return *poller;
}

bool SessionTokenPoller::start() {
  std::lock_guard lock(mutex_);
  if (thread_.joinable()) return false;
  // The loop resolves "vadar" and "apiClient" as the thread that started it would.
  std::function<void(std::stop_token)> loop = [this](std::stop_token stop) { run(std::move(stop)); };
  auto bound = std::make_shared<std::stop_token>();
  std::function<void()> withContainer = wiring::Container::propagating([loop, bound] { loop(*bound); });
  thread_ = std::jthread([withContainer = std::move(withContainer), bound](std::stop_token stop) {
    *bound = std::move(stop);
    withContainer();
  });
  return true;
}

void SessionTokenPoller::stop() {
  std::jthread thread;
  {
    std::lock_guard lock(mutex_);
    thread = std::move(thread_);
  }
  if (!thread.joinable()) return;
  thread.request_stop();
  // Asked from a pass (the source is the application's code, which may stop or release the poller): the loop
  // ends after this pass without touching the poller, and a thread never joins itself.
  if (thread.get_id() == std::this_thread::get_id()) return thread.detach();
  thread.join();
}

bool SessionTokenPoller::isRunning() const {
  std::lock_guard lock(mutex_);
  return thread_.joinable();
}

void SessionTokenPoller::run(std::stop_token stop) {
  // `stop` ends a pass's wait for its token at once (SessionTokenFetcher cancels the request unless others
  // wait for it too).
  core::StopTokenScope scope(stop);
  // A pass may release the poller: once it has, only what this frame holds is used.
  const auto interval = interval_;
  std::mutex waitMutex;
  std::condition_variable_any wake;
  const Session::GetTokenOptions options(std::nullopt, expirationBuffer, false);
  while (!stop.stop_requested()) {
    try {
      if (const auto session = source_()) SessionTokenFetcher::shared().getToken(*session, options);
    } catch (...) {
      // A failed refresh is retried at the next pass.
    }
    std::unique_lock lock(waitMutex);
    wake.wait_for(lock, stop, interval, [] { return false; });
  }
}

}  // namespace vadar
