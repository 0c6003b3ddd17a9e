#pragma once
// DownloadTask: the handle a download request gives its caller. It names one caller's entry on a shared
// transfer (the record and the entry's cancel token), or a provider's data-loading work, or nothing yet; a
// handle returned before the work exists is linked to the work's handle later, and then answers as that one.
//
// Example, given std::shared_ptr<vellum::ImageDownloader> downloader, const std::string& url,
//                const vellum::VellumParsedOptionsInfo& options, vellum::ImageDownloader::Completion completion:
//   auto handle = downloader->downloadImage(url, options, completion);
//   if (!handle) return;         // none when the request was refused at once
//   handle->setPriority(0.9f);   // this caller's priority on the shared transfer
//   handle->cancel();            // only this caller's entry goes; the others keep the transfer
//
// A cancel asked of a handle that is not linked yet is remembered, and linking then cancels the entry before
// the transfer starts: a caller that cancelled never receives an image.
//
// CancellationDownloadTask meets a handle and a cancellation that may come in either order, exactly once.
//
// Threads: every member may be called from any thread; each handle's fields are guarded by its own mutex,
// never held while a record is told anything. Lifetime: a chain of linked handles is released in a loop.
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

#include "foundation/cancellable.hpp"

namespace vellum {

class SessionDataTask;

class DownloadTask {
 public:
  // An empty handle, to be linked.
  DownloadTask() = default;
  DownloadTask(std::shared_ptr<SessionDataTask> sessionTask, std::int64_t cancelToken);
  // A handle on provider work: cancelling it cancels that work.
  explicit DownloadTask(foundation::Cancellable providerTask);
  ~DownloadTask();
  DownloadTask(const DownloadTask&) = delete;
  DownloadTask& operator=(const DownloadTask&) = delete;

  // This handle's own value, else the linked handle's, followed to the end of the chain.
  std::shared_ptr<SessionDataTask> sessionTask() const;
  void setSessionTask(std::shared_ptr<SessionDataTask> task);
  std::optional<std::int64_t> cancelToken() const;
  void setCancelToken(std::optional<std::int64_t> token);
  std::optional<foundation::Cancellable> providerTask() const;

  // Links this handle to the handle of the work behind it. A cancel asked before is carried out now.
  void setLinkedTask(std::shared_ptr<DownloadTask> task);
  bool isInitialized() const;

  void cancel();
  void setPriority(float priority);
  void resetPriority();

 private:
  mutable std::mutex propertyLock_;  // the property queue: guards the fields below
  std::shared_ptr<DownloadTask> linkedTask_;
  std::optional<foundation::Cancellable> providerTask_;
  std::shared_ptr<SessionDataTask> sessionTask_;
  std::optional<std::int64_t> cancelToken_;
  bool cancelRequested_ = false;
};

class CancellationDownloadTask {
 public:
  // A null handle is ignored. A handle stored after `cancel` is cancelled at once.
  void setTask(std::shared_ptr<DownloadTask> task);
  void cancel();
  bool isCancelled() const;
  std::shared_ptr<DownloadTask> task() const;

 private:
  mutable std::mutex lock_;
  std::shared_ptr<DownloadTask> task_;
  bool isCancelled_ = false;
};

}  // namespace vellum
