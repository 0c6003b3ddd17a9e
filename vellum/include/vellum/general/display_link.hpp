#pragma once
// DisplayLink: the frame clock of animated-image playback. It calls a target's callback once per display
// refresh on every executor ("run loop") and mode it was added to. Refreshes come from a FrameSource: by
// default a steady timer at 60 Hz; tests drive a ManualFrameSource by hand.
//
// Example (on the main queue):
//   struct FrameProxy { int frames = 0; void onScreenUpdate() { ++frames; } };
//   auto proxy = std::make_shared<FrameProxy>();
//   auto link = vellum::DisplayLink::make(proxy, [](const std::shared_ptr<void>& target) {
//     static_cast<FrameProxy*>(target.get())->onScreenUpdate();
//   });
//   link->add(vellum::RunLoop::main(), "common");
//   link->setPaused(false);   // starts the frame source
//   // ... frames arrive on the main queue ...
//   link->invalidate();       // REQUIRED before dropping the link: it releases the target and the link
//
// A link starts paused. The first refresh after it first starts only records its time stamp; every later
// refresh (also the first one after a pause) performs the callback once per executor added, however many
// modes that executor is listed with. `timestamp` and `duration` are 0 until the first refresh. A pause or an
// invalidation also stops what earlier refreshes left queued: a paused link performs nothing. As a display
// does, a link drops the frames a busy executor missed: refreshes that come while one still waits for the
// main queue are that one refresh (at the latest time), and an executor still busy with a callback gets no
// second one, so a stalled main queue finds one refresh and one callback waiting, not a backlog.
//
// Lifetime: the link holds its target strongly until invalidate() (the animated view hands it a proxy that
// nothing else holds), and the frame source's handler holds the link until invalidate(): a link that is never
// invalidated lives for good. Threads: any member from any thread; callbacks run on the executors added,
// never under the link's lock.
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "foundation/cancellable.hpp"
#include "foundation/serial_queue.hpp"

namespace vellum {

// Where a display link performs its callback: the main queue or a serial queue. Two run loops are the same
// when they name the same executor.
class RunLoop {
 public:
  static RunLoop main() { return RunLoop(nullptr); }
  static RunLoop queue(std::shared_ptr<foundation::SerialQueue> queue) { return RunLoop(std::move(queue)); }

  // Runs `task` later on this executor (never inline, also when called from it).
  void perform(std::function<void()> task) const;

  friend bool operator==(const RunLoop&, const RunLoop&) = default;

 private:
  explicit RunLoop(std::shared_ptr<foundation::SerialQueue> queue) : queue_(std::move(queue)) {}
  std::shared_ptr<foundation::SerialQueue> queue_;  // null: the main queue
};

// The time of one refresh, as the display reports it.
struct FrameTime {
  std::int64_t hostTime = 0;            // nanoseconds of the steady clock
  std::int64_t videoRefreshPeriod = 0;  // one refresh, in units of videoTimeScale
  std::int32_t videoTimeScale = 0;      // units per second; 0 when the period is unknown
};

// A source of refreshes. Its output handler runs on the source's own thread, once per refresh while running.
class FrameSource {
 public:
  using OutputHandler = std::function<void(const FrameTime&)>;
  virtual ~FrameSource() = default;
  virtual void setOutputHandler(OutputHandler handler) = 0;
  virtual void start() = 0;
  virtual void stop() = 0;
  virtual bool isRunning() const = 0;
};

// A steady timer at `framesPerSecond` on a serial queue of its own; time stamps from the steady clock.
class TimerFrameSource final : public FrameSource {
 public:
  // Refreshes are at least 1 ms apart: a higher rate would only flood the queues the refreshes post to.
  static constexpr int kMaxFramesPerSecond = 1000;

  // A rate of 0 or less means 60; one above kMaxFramesPerSecond means kMaxFramesPerSecond.
  explicit TimerFrameSource(int framesPerSecond = 60);
  ~TimerFrameSource() override;

  void setOutputHandler(OutputHandler handler) override;
  void start() override;
  void stop() override;
  bool isRunning() const override;

 private:
  struct State;
  const int framesPerSecond_;
  foundation::SerialQueue queue_;
  std::shared_ptr<State> state_;
  foundation::Cancellable timer_;  // guarded by state_'s mutex
};

// Refreshes delivered by hand, on the calling thread: for tests.
class ManualFrameSource final : public FrameSource {
 public:
  void setOutputHandler(OutputHandler handler) override;
  void start() override;
  void stop() override;
  bool isRunning() const override;

  // Delivers one refresh when running; answers whether it did.
  bool tick(const FrameTime& time);

 private:
  mutable std::mutex mutex_;
  OutputHandler handler_;
  bool running_ = false;
};

class DisplayLinkCompatible {
 public:
  virtual ~DisplayLinkCompatible() = default;
  virtual bool isPaused() const = 0;
  virtual void setPaused(bool paused) = 0;
  virtual int preferredFramesPerSecond() const = 0;
  // Seconds of the latest refresh's host time.
  virtual double timestamp() const = 0;
  // Seconds between refreshes.
  virtual double duration() const = 0;
  virtual void add(const RunLoop& runLoop, const std::string& mode) = 0;
  virtual void remove(const RunLoop& runLoop, const std::string& mode) = 0;
  virtual void invalidate() = 0;
};

class DisplayLink final : public DisplayLinkCompatible, public std::enable_shared_from_this<DisplayLink> {
  struct Passkey {};

 public:
  using Target = std::shared_ptr<void>;
  using Selector = std::function<void(const Target& target)>;

  // A paused link over `frameSource` (a 60 Hz TimerFrameSource when null).
  static std::shared_ptr<DisplayLink> make(Target target, Selector selector,
                                           std::shared_ptr<FrameSource> frameSource = nullptr);
  DisplayLink(Passkey, Target target, Selector selector, std::shared_ptr<FrameSource> frameSource);

  bool isPaused() const override;
  // Starts or stops the frame source to match.
  void setPaused(bool paused) override;
  int preferredFramesPerSecond() const override;
  double timestamp() const override;
  double duration() const override;
  // The same executor and mode may be added twice; the mode is then listed twice.
  void add(const RunLoop& runLoop, const std::string& mode) override;
  // Removes every listing of the mode; an executor left without modes is dropped. Unknown ones are ignored.
  void remove(const RunLoop& runLoop, const std::string& mode) override;
  // Paused for good: no executors, no target. Unpausing afterwards runs the source but performs nothing.
  void invalidate() override;

  // One refresh, as the main queue runs it.
  void refresh(const FrameTime& time);

 private:
  // Keeps a refresh from the frame source for the main queue; true when no refresh waits there yet (the
  // caller then posts one). Any thread.
  bool queueRefresh(const FrameTime& time);
  // The refresh kept by queueRefresh, with the latest time given. Main queue.
  void runQueuedRefresh();
  // Which run (the time between an unpause and the next pause or invalidation) is current.
  std::uint64_t currentRun() const;
  // A refresh of `run`, and the callbacks it queues, perform only while that run lasts.
  void refresh(const FrameTime& time, std::uint64_t run);
  bool isCurrentRunLocked(std::uint64_t run) const;

  struct Scheduler {
    RunLoop runLoop;
    std::vector<std::string> modes;
    // Whether a callback waits on this executor; guarded by mutex_.
    std::shared_ptr<bool> callbackQueued;
  };

  mutable std::mutex mutex_;
  const std::shared_ptr<FrameSource> link_;
  Target target_;
  Selector selector_;
  std::vector<Scheduler> schedulers_;
  int preferredFramesPerSecond_ = 0;
  double timestamp_ = 0;
  double duration_ = 0;
  bool isPaused_ = true;
  std::uint64_t run_ = 0;
  bool refreshQueued_ = false;  // a refresh waits on the main queue
  FrameTime queuedTime_;        // the latest time that refresh takes
  std::uint64_t queuedRun_ = 0;
};

}  // namespace vellum
