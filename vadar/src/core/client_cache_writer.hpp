#pragma once
// The keychain copy of the installed client ("cachedClient"), written off the main queue: a client write
// must not hold up the requests whose answers install the next client behind a Secret Service round trip.
//
// One writer thread serves the process. Each keychain (service and access group) has at most one write
// waiting; a newer write replaces the waiting one, which is then skipped, so the item always ends up with
// the value of the last write submitted. Writes to one keychain never overtake each other, and follow each
// other at a short interval at most, unless someone drains. The thread starts on demand and ends when
// nothing is left to write; `drain` waits for the writes, within a deadline, never for the thread.
//
// Nothing drains at exit, so a write still waiting when the process ends is lost. That is acceptable for a
// client that only refreshed, not for one that lost sessions: the next start would restore a signed-in user.
// Such a write goes through `writeNow`, which does not return before it is done.
#include <chrono>
#include <functional>
#include <string>
#include <utility>

namespace vadar::core {

class ClientCacheWriter {
 public:
  // Identifies the keychain a write goes to: later writes to the same one supersede a waiting write.
  using Target = std::pair<std::string, std::string>;

  static ClientCacheWriter& shared();

  // Queues `write` for `target`, replacing a write for it that has not started yet.
  void submit(Target target, std::function<void()> write);

  // Writes on the calling thread, in order with the queued writes: a write for `target` still waiting is
  // dropped (this one is newer) and a write in progress finishes first. Should that one not finish within
  // `deadline`, `write` is queued as by `submit` and the result is false.
  bool writeNow(Target target, std::function<void()> write, std::chrono::milliseconds deadline);

  // Waits until nothing is left to write (every write submitted before the call has run or was superseded by
  // one that has); false when `deadline` passed first.
  bool drain(std::chrono::milliseconds deadline);

 private:
  ClientCacheWriter() = default;
  struct State;
  State& state();
  void run();
};

}  // namespace vadar::core
