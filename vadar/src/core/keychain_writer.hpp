#pragma once
// The library's keychain items ("cachedClient", "cachedEnvironment", "vadarDeviceToken") written off the
// calling thread: no request, and nothing on the main queue, waits for a Secret Service round trip, and a
// Secret Service that stops answering holds only the writer.
//
//   core::KeychainWriter::shared().submit({store, instance, cachedClientKey, [](const auto& store) { ... }});
//   core::KeychainWriter::shared().drain(std::chrono::seconds(5));
//
// A write names the store it goes to: the one registered when it was queued, not whatever `configure()`
// registered since. It also names the instance whose data it is; before writing, the writer makes the store
// that instance's (InstanceMarker::claim), so one instance's items never sit beside another's.
//
// One writer thread serves the process. Each store and item has at most one write waiting; a newer one replaces
// it, which is then skipped, so the item always ends up with the value last submitted. Writes follow each other
// at a short interval unless someone drains. The thread starts on demand and ends when nothing is left to
// write; `drain` waits for the writes, within a deadline, never for the thread.
//
// Nothing drains at exit, so a write still waiting when the process ends is lost: `Vadar::shutdown()` drains,
// and so does every call that changes the signed-in state before it returns.
#include <chrono>
#include <functional>
#include <string>

#include <keychain/keychain_store.hpp>

namespace vadar::core {

class KeychainWriter {
 public:
  struct Write {
    keychain::KeychainStore store;
    std::string instance;  // the frontend API address the data belongs to
    std::string item;
    // Runs on the writer thread with `store`; what it throws is noted as a keychain failure.
    std::function<void(const keychain::KeychainStore& store)> perform;
  };

  static KeychainWriter& shared();

  // Queues `write`, replacing a write of the same store and item that has not started yet.
  void submit(Write write);

  // Queues `write` and waits until it and every write submitted before it have run; false when `deadline`
  // passed first (the write stays queued).
  bool writeNow(Write write, std::chrono::milliseconds deadline);

  // Waits until every write submitted before the call has run or was superseded by one that has; false when
  // `deadline` passed first.
  bool drain(std::chrono::milliseconds deadline);

 private:
  KeychainWriter() = default;
  struct State;
  State& state();
  void run();
  void perform(const Write& write);
};

}  // namespace vadar::core
