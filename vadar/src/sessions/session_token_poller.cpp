#include "vadar/sessions/session_token_poller.hpp"

#include <foundation/delay.hpp>
#include <wiring/container.hpp>

#include "core/background_tasks.hpp"
#include "vadar/sessions/get_token_options.hpp"
#include "vadar/sessions/session_token_fetcher.hpp"
#include "vadar/core/vadar.hpp"
#include "vadar/infra/vadar_logger.hpp"

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
  auto ending = std::make_shared<Ending>();
  thread_ = std::jthread([withContainer = std::move(withContainer), bound, ending](std::stop_token stop) {
    *bound = std::move(stop);
    struct Ended {
      Ending& ending;
      ~Ended() {
        {
          std::lock_guard lock(ending.mutex);
          ending.ended = true;
        }
        ending.changed.notify_all();
      }
    } ended{*ending};
    withContainer();
  });
  ending_ = std::move(ending);
  return true;
}

void SessionTokenPoller::stop() {
  std::jthread thread;
  std::shared_ptr<Ending> ending;
  {
    std::lock_guard lock(mutex_);
    thread = std::move(thread_);
    ending = std::move(ending_);
  }
  if (!thread.joinable()) return;
  thread.request_stop();
  // Asked from a pass (the source is the application's code, which may stop or release the poller): the loop
  // ends after this pass without touching the poller, and a thread never joins itself.
  if (thread.get_id() == std::this_thread::get_id()) return thread.detach();
  // A pass in the source (the application's code, which no stop reaches) is waited for a bounded time; the loop
  // ends after it on its own, with what its frame holds.
  bool ended = false;
  {
    std::unique_lock lock(ending->mutex);
    ended = ending->changed.wait_for(lock, kStopWait, [&] { return ending->ended; });
  }
  if (ended) return thread.join();
  VadarLogger::error("The session token poller was stopped while its session source still ran; the loop ends after it.");
  thread.detach();
}

bool SessionTokenPoller::isRunning() const {
  std::lock_guard lock(mutex_);
  return thread_.joinable();
}

void SessionTokenPoller::run(std::stop_token stop) {
  // `stop` ends a pass's wait for its token at once (SessionTokenFetcher cancels the request unless others
  // wait for it too).
  core::StopTokenScope scope(stop);
  // A pass may release the poller, and a stop may leave a pass to end on its own: only what this frame holds is
  // used.
  const auto interval = interval_;
  const SessionSource source = source_;
  std::mutex waitMutex;
  std::condition_variable_any wake;
  const Session::GetTokenOptions options(std::nullopt, expirationBuffer, false);
  while (!stop.stop_requested()) {
    try {
      if (const auto session = source()) SessionTokenFetcher::shared().getToken(*session, options);
    } catch (...) {
      // A failed refresh is retried at the next pass.
    }
    std::unique_lock lock(waitMutex);
    wake.wait_until(lock, stop, foundation::deadlineAfter(interval), [] { return false; });
  }
}

}  // namespace vadar
