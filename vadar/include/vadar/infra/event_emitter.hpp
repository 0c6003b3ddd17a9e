#pragma once
// EventEmitter<Event>: fans events out to listeners' streams. A listener subscribes and reads its stream; a
// send hands the event to every stream subscribed at that moment and never fails or blocks. A stream
// buffers what it has not read yet; destroying or finishing it unsubscribes. An emitter's end finishes every
// stream it feeds: a reader gets what was buffered, then none, rather than waiting for events that can no
// longer come. A stream moved from reads none.
//
// The buffer has no bound, on purpose: each event is one sign-in, sign-up or sign-out that this client
// completed, every listener subscribed then is owed it, and none stands for another (the last is not the
// sum of those before it). A listener that stops reading finishes or destroys its stream.
//
// Example, given const vadar::Session& session:
//   vadar::EventEmitter<vadar::AuthEvent> emitter;
//   auto stream = emitter.subscribe();
//   emitter.send(vadar::AuthEvent::signedOut(session));
//   std::optional<vadar::AuthEvent> event = stream.next(std::chrono::seconds(1));  // none on timeout
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace vadar {

template <class Event>
class EventStream {
 public:
  struct State {
    std::mutex mutex;
    std::condition_variable ready;
    std::deque<Event> pending;
    bool finished = false;
  };

  explicit EventStream(std::shared_ptr<State> state) : state_(std::move(state)) {}
  EventStream(EventStream&&) noexcept = default;
  EventStream& operator=(EventStream&&) noexcept = default;
  ~EventStream() { finish(); }

  // The next event, waiting at most `timeout`; none on timeout or once finished and drained.
  template <class Rep, class Period>
  std::optional<Event> next(std::chrono::duration<Rep, Period> timeout) {
    if (!state_) return std::nullopt;
    std::unique_lock lock(state_->mutex);
    state_->ready.wait_for(lock, timeout, [&] { return !state_->pending.empty() || state_->finished; });
    if (state_->pending.empty()) return std::nullopt;
    Event event = std::move(state_->pending.front());
    state_->pending.pop_front();
    return event;
  }
  // The next event, waiting until one arrives; none once finished and drained.
  std::optional<Event> next() {
    if (!state_) return std::nullopt;
    std::unique_lock lock(state_->mutex);
    state_->ready.wait(lock, [&] { return !state_->pending.empty() || state_->finished; });
    if (state_->pending.empty()) return std::nullopt;
    Event event = std::move(state_->pending.front());
    state_->pending.pop_front();
    return event;
  }
  // The next event without waiting.
  std::optional<Event> tryNext() { return next(std::chrono::seconds(0)); }

  // Stops receiving; wakes a reader that waits.
  void finish() {
    if (state_) finishState(*state_);
  }

 private:
  template <class>
  friend class EventEmitter;
  static void finishState(State& state) {
    {
      std::lock_guard lock(state.mutex);
      state.finished = true;
    }
    state.ready.notify_all();
  }

  std::shared_ptr<State> state_;
};

template <class Event>
class EventEmitter {
 public:
  EventEmitter() = default;
  EventEmitter(const EventEmitter&) = delete;
  EventEmitter& operator=(const EventEmitter&) = delete;
  ~EventEmitter() {
    for (const auto& weak : listeners_)
      if (auto state = weak.lock()) EventStream<Event>::finishState(*state);
  }

  EventStream<Event> subscribe() {
    auto state = std::make_shared<typename EventStream<Event>::State>();
    std::lock_guard lock(mutex_);
    listeners_.push_back(state);
    return EventStream<Event>(state);
  }

  void send(const Event& event) {
    std::vector<std::shared_ptr<typename EventStream<Event>::State>> targets;
    {
      std::lock_guard lock(mutex_);
      std::erase_if(listeners_, [](const auto& weak) {
        auto state = weak.lock();
        if (!state) return true;
        std::lock_guard stateLock(state->mutex);
        return state->finished;
      });
      for (const auto& weak : listeners_)
        if (auto state = weak.lock()) targets.push_back(std::move(state));
    }
    for (const auto& state : targets) {
      {
        std::lock_guard lock(state->mutex);
        if (state->finished) continue;
        state->pending.push_back(event);
      }
      state->ready.notify_all();
    }
  }

  std::size_t listenerCount() const {
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(std::count_if(listeners_.begin(), listeners_.end(), [](const auto& weak) {
      auto state = weak.lock();
      if (!state) return false;
      std::lock_guard stateLock(state->mutex);
      return !state->finished;
    }));
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::weak_ptr<typename EventStream<Event>::State>> listeners_;
};

}  // namespace vadar
