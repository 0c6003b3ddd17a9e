#include "vellum/networking/transfer_store_ledger.hpp"

namespace vellum {

bool TransferStoreLedger::claim(const std::string& place, std::function<void()> then) {
  {
    std::lock_guard lock(mutex_);
    auto [entry, first] = entries_.try_emplace(place);
    if (first) return true;
    if (!entry->second.done) {
      if (then) entry->second.waiting.push_back(std::move(then));
      return false;
    }
  }
  if (then) then();
  return false;
}

void TransferStoreLedger::stored(const std::string& place) {
  std::vector<std::function<void()>> waiting;
  {
    std::lock_guard lock(mutex_);
    auto& entry = entries_[place];
    entry.done = true;
    waiting.swap(entry.waiting);
  }
  for (const auto& then : waiting) then();
}

}  // namespace vellum
