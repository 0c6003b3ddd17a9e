#pragma once
// TransferStoreLedger: what the callers of one finished transfer have stored of it. Every caller that
// joined a shared download gets the same ledger with its image; the retrieval manager claims each place it
// stores the image in (a cache, a key, memory or disk) before storing, so one download is stored once per
// place however many callers joined it, instead of once per caller.
//
// Example, given std::shared_ptr<vellum::TransferStoreLedger> ledger, std::function<void()> whenStored,
//                std::shared_ptr<vellum::ImageCache> cache, vellum::ImagePtr image, const std::string& key:
//   const std::string place = "avatars|" + key + "|memory+disk";   // whatever names the place in one string
//   if (ledger->claim(place, whenStored)) {
//     cache->store(image, std::nullopt, key, vellum::VellumParsedOptionsInfo{}, true,
//                  [ledger, place](auto) { ledger->stored(place); });   // this caller stores
//   }                                                                        // else: stored by another caller
//
// Threads: every member may be called from any thread; `then` blocks run outside the lock, on the thread
// that calls `stored` (or in `claim`, when the store is already done). Lifetime: shared by the results of
// the transfer's callers; it holds nothing of the image or its bytes.
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace vellum {

class TransferStoreLedger {
 public:
  // True for the first claim of `place`: that caller stores and then calls `stored(place)`, whatever came of
  // the store. A later claim answers false; its `then`, when given, runs once that store is over (at once
  // when it is over already).
  bool claim(const std::string& place, std::function<void()> then = nullptr);
  // REQUIRES: `place` was claimed by the caller, and this is its only call for it.
  void stored(const std::string& place);

 private:
  struct Entry {
    bool done = false;
    std::vector<std::function<void()>> waiting;
  };
  std::mutex mutex_;  // guards entries_
  std::map<std::string, Entry> entries_;
};

}  // namespace vellum
