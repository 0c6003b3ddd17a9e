#pragma once
// ImageLoadingProgressSideEffect: turns the chunks a download receives into calls of a progress block
// (received bytes, announced total) on the main queue. Callers that take a progress block append one to the
// options' `onDataReceived`.
//
// Example (on the main queue), given vellum::VellumParsedOptionsInfo& options, std::shared_ptr<double> bar,
//                                   std::function<bool()> showingThisDownload:
//   auto progress = std::make_shared<vellum::ImageLoadingProgressSideEffect>(
//       [bar](std::int64_t received, std::int64_t total) { if (total > 0) *bar = double(received) / total; });
//   if (!options.onDataReceived) options.onDataReceived.emplace();
//   options.onDataReceived->push_back(progress);
//   progress->setOnShouldApply(showingThisDownload);
//
// Each notification becomes one main-queue block. The sizes are read when that block runs, not when the chunk
// arrived, so two chunks before the main queue runs give two calls with the same size. Without an announced
// length nothing is called. An answer with a content coding (gzip, deflate, br) is decoded as it arrives:
// the received size counts decoded bytes, while the announced total is the coded length the server gave. `onShouldApply` is asked when each block runs, so replacing it applies to the
// blocks still waiting.
//
// Threads: onDataReceived on any thread (the download's delegate queue); the block always on the main queue,
// never under a lock. Lifetime: queued blocks hold the side effect and the download record.
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "vellum/general/options.hpp"

namespace vellum {

class ImageLoadingProgressSideEffect final : public DataReceivingSideEffect,
                                             public std::enable_shared_from_this<ImageLoadingProgressSideEffect> {
 public:
  using Block = std::function<void(std::int64_t receivedSize, std::int64_t totalSize)>;

  explicit ImageLoadingProgressSideEffect(Block block);

  std::function<bool()> onShouldApply() const override;
  void setOnShouldApply(std::function<bool()> shouldApply) override;
  // Returns at once; the call happens on the main queue. The chunk itself is not looked at.
  void onDataReceived(const std::shared_ptr<SessionDataTask>& task, const foundation::Bytes& data) override;

  // REQUIRES: on the main queue. Calls the block with these sizes unless it should not apply or `totalSize`
  // is -1 (no announced length).
  void report(std::int64_t receivedSize, std::int64_t totalSize) const;

 private:
  bool shouldApply() const;

  mutable std::mutex propertyLock_;  // guards onShouldApply_ only
  std::function<bool()> onShouldApply_;
  const Block block_;
};

}  // namespace vellum
