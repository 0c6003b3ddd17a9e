#include "vellum/general/display_link.hpp"

#include <algorithm>
#include <utility>

#include "foundation/main_queue.hpp"
#include "vellum/general/queue_labels.hpp"

namespace vellum {

void RunLoop::perform(std::function<void()> task) const {
  if (queue_) {
    queue_->post(std::move(task));
  } else {
    foundation::MainQueue::post(std::move(task));
  }
}

// ---- TimerFrameSource

struct TimerFrameSource::State {
  std::mutex mutex;
  OutputHandler handler;
  bool running = false;
};

TimerFrameSource::TimerFrameSource(int framesPerSecond)
    : framesPerSecond_(framesPerSecond <= 0 ? 60 : std::min(framesPerSecond, kMaxFramesPerSecond)),
      queue_(std::string(queue_labels::kDisplayLinkFrames)),
      state_(std::make_shared<State>()) {}

TimerFrameSource::~TimerFrameSource() { stop(); }

void TimerFrameSource::setOutputHandler(OutputHandler handler) {
  std::lock_guard lock(state_->mutex);
  state_->handler = std::move(handler);
}

void TimerFrameSource::start() {
  std::lock_guard lock(state_->mutex);
  if (state_->running) return;
  state_->running = true;
  // Ticks hold the state weakly: a tick already under way when the source goes away finds nothing to call.
  std::weak_ptr<State> weak = state_;
  const int fps = framesPerSecond_;
  timer_ = queue_.postRepeating(std::chrono::nanoseconds(1'000'000'000 / fps), [weak, fps] {
    auto state = weak.lock();
    if (!state) return;
    OutputHandler handler;
    {
      std::lock_guard lock(state->mutex);
      if (!state->running) return;
      handler = state->handler;
    }
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    if (handler) handler(FrameTime{std::chrono::duration_cast<std::chrono::nanoseconds>(now).count(), 1, fps});
  });
}

void TimerFrameSource::stop() {
  std::lock_guard lock(state_->mutex);
  state_->running = false;
  timer_.cancel();
}

bool TimerFrameSource::isRunning() const {
  std::lock_guard lock(state_->mutex);
  return state_->running;
}

// ---- ManualFrameSource

void ManualFrameSource::setOutputHandler(OutputHandler handler) {
  std::lock_guard lock(mutex_);
  handler_ = std::move(handler);
}

void ManualFrameSource::start() {
  std::lock_guard lock(mutex_);
  running_ = true;
}

void ManualFrameSource::stop() {
  std::lock_guard lock(mutex_);
  running_ = false;
}

bool ManualFrameSource::isRunning() const {
  std::lock_guard lock(mutex_);
  return running_;
}

bool ManualFrameSource::tick(const FrameTime& time) {
  OutputHandler handler;
  {
    std::lock_guard lock(mutex_);
    if (!running_) return false;
    handler = handler_;
  }
  if (handler) handler(time);
  return true;
}

// ---- DisplayLink

std::shared_ptr<DisplayLink> DisplayLink::make(Target target, Selector selector,
                                               std::shared_ptr<FrameSource> frameSource) {
  if (!frameSource) frameSource = std::make_shared<TimerFrameSource>();
  auto link = std::make_shared<DisplayLink>(Passkey{}, std::move(target), std::move(selector), frameSource);
  // The handler holds the link until invalidate() replaces it: a running animation keeps its clock alive.
  frameSource->setOutputHandler([link](const FrameTime& time) {
    if (link->queueRefresh(time)) foundation::MainQueue::post([link] { link->runQueuedRefresh(); });
  });
  return link;
}

bool DisplayLink::queueRefresh(const FrameTime& time) {
  std::lock_guard lock(mutex_);
  // A display does not queue the frames a busy main queue missed: a refresh still waiting takes this one's
  // time, and there is never more than one.
  queuedTime_ = time;
  queuedRun_ = run_;
  return !std::exchange(refreshQueued_, true);
}

void DisplayLink::runQueuedRefresh() {
  FrameTime time;
  std::uint64_t run = 0;
  {
    std::lock_guard lock(mutex_);
    refreshQueued_ = false;
    time = queuedTime_;
    run = queuedRun_;
  }
  refresh(time, run);
}

DisplayLink::DisplayLink(Passkey, Target target, Selector selector, std::shared_ptr<FrameSource> frameSource)
    : link_(std::move(frameSource)), target_(std::move(target)), selector_(std::move(selector)) {}

bool DisplayLink::isPaused() const {
  std::lock_guard lock(mutex_);
  return isPaused_;
}

std::uint64_t DisplayLink::currentRun() const {
  std::lock_guard lock(mutex_);
  return run_;
}

void DisplayLink::setPaused(bool paused) {
  std::lock_guard lock(mutex_);
  // Refreshes and callbacks queued before a pause belong to the run it ended.
  if (paused) ++run_;
  isPaused_ = paused;
  if (!link_) return;
  const bool running = link_->isRunning();
  if (paused && running) {
    link_->stop();
  } else if (!paused && !running) {
    link_->start();
  }
}

int DisplayLink::preferredFramesPerSecond() const {
  std::lock_guard lock(mutex_);
  return preferredFramesPerSecond_;
}

double DisplayLink::timestamp() const {
  std::lock_guard lock(mutex_);
  return timestamp_;
}

double DisplayLink::duration() const {
  std::lock_guard lock(mutex_);
  return duration_;
}

void DisplayLink::add(const RunLoop& runLoop, const std::string& mode) {
  std::lock_guard lock(mutex_);
  auto it = std::find_if(schedulers_.begin(), schedulers_.end(), [&](const Scheduler& s) { return s.runLoop == runLoop; });
  if (it == schedulers_.end()) {
    schedulers_.push_back(Scheduler{runLoop, {mode}, std::make_shared<bool>(false)});
  } else {
    it->modes.push_back(mode);
  }
}

void DisplayLink::remove(const RunLoop& runLoop, const std::string& mode) {
  std::lock_guard lock(mutex_);
  auto it = std::find_if(schedulers_.begin(), schedulers_.end(), [&](const Scheduler& s) { return s.runLoop == runLoop; });
  if (it == schedulers_.end()) return;
  std::erase(it->modes, mode);
  if (it->modes.empty()) schedulers_.erase(it);
}

void DisplayLink::invalidate() {
  Target released;
  Selector releasedSelector;
  {
    std::lock_guard lock(mutex_);
    schedulers_.clear();
    isPaused_ = true;
    ++run_;
    if (link_) {
      if (link_->isRunning()) link_->stop();
      link_->setOutputHandler([](const FrameTime&) {});
    }
    released = std::move(target_);
    releasedSelector = std::move(selector_);
    target_ = nullptr;
    selector_ = nullptr;
  }
  // The target (and whatever it holds) is destroyed here, outside the lock.
}

bool DisplayLink::isCurrentRunLocked(std::uint64_t run) const { return !isPaused_ && run == run_; }

void DisplayLink::refresh(const FrameTime& time) { refresh(time, currentRun()); }

void DisplayLink::refresh(const FrameTime& time, std::uint64_t run) {
  // Executors with no callback of this link waiting on them, each with the flag that says one waits.
  std::vector<std::pair<RunLoop, std::shared_ptr<bool>>> runLoops;
  Target target;
  Selector selector;
  {
    std::lock_guard lock(mutex_);
    if (!selector_ || !target_) return;
    // A refresh that waited on the main queue while the link was paused is not one of this run's.
    if (!isCurrentRunLocked(run)) return;
    if (time.videoTimeScale != 0) {
      duration_ = static_cast<double>(time.videoRefreshPeriod) / static_cast<double>(time.videoTimeScale);
    }
    if (timestamp_ != 0) {
      // An executor still busy with the last callback gets no second one: the refreshes it missed are gone.
      for (const auto& s : schedulers_) {
        if (!std::exchange(*s.callbackQueued, true)) runLoops.emplace_back(s.runLoop, s.callbackQueued);
      }
      target = target_;
      selector = selector_;
    }
    timestamp_ = static_cast<double>(time.hostTime) / 1'000'000'000.0;
  }
  std::weak_ptr<DisplayLink> weak = weak_from_this();
  for (const auto& [runLoop, queued] : runLoops) {
    // The callback waits on its executor; a pause or an invalidation meanwhile cancels it.
    runLoop.perform([weak, run, target, selector, queued = queued] {
      auto link = weak.lock();
      if (!link) return;
      {
        std::lock_guard lock(link->mutex_);
        *queued = false;
        if (!link->isCurrentRunLocked(run)) return;
      }
      selector(target);
    });
  }
}

}  // namespace vellum
