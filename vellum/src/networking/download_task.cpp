#include "vellum/networking/download_task.hpp"

#include "vellum/networking/session_data_task.hpp"

namespace vellum {

DownloadTask::DownloadTask(std::shared_ptr<SessionDataTask> sessionTask, std::int64_t cancelToken)
    : sessionTask_(std::move(sessionTask)), cancelToken_(cancelToken) {}

DownloadTask::DownloadTask(foundation::Cancellable providerTask) : providerTask_(std::move(providerTask)) {}

DownloadTask::~DownloadTask() {
  // A long chain released link by link would recurse as deep as it is long.
  std::shared_ptr<DownloadTask> next = std::move(linkedTask_);
  while (next && next.use_count() == 1) {
    std::shared_ptr<DownloadTask> after;
    {
      std::lock_guard lock(next->propertyLock_);
      after = std::move(next->linkedTask_);
    }
    next = std::move(after);
  }
}

std::shared_ptr<SessionDataTask> DownloadTask::sessionTask() const {
  std::lock_guard lock(propertyLock_);
  if (sessionTask_) return sessionTask_;
  return linkedTask_ ? linkedTask_->sessionTask() : nullptr;
}

void DownloadTask::setSessionTask(std::shared_ptr<SessionDataTask> task) {
  std::lock_guard lock(propertyLock_);
  sessionTask_ = std::move(task);
}

std::optional<std::int64_t> DownloadTask::cancelToken() const {
  std::lock_guard lock(propertyLock_);
  if (cancelToken_) return cancelToken_;
  return linkedTask_ ? linkedTask_->cancelToken() : std::nullopt;
}

void DownloadTask::setCancelToken(std::optional<std::int64_t> token) {
  std::lock_guard lock(propertyLock_);
  cancelToken_ = token;
}

std::optional<foundation::Cancellable> DownloadTask::providerTask() const {
  std::lock_guard lock(propertyLock_);
  if (providerTask_) return providerTask_;
  return linkedTask_ ? linkedTask_->providerTask() : std::nullopt;
}

void DownloadTask::setLinkedTask(std::shared_ptr<DownloadTask> task) {
  bool cancelNow = false;
  {
    std::lock_guard lock(propertyLock_);
    linkedTask_ = std::move(task);
    cancelNow = cancelRequested_ && linkedTask_;
  }
  if (cancelNow) cancel();
}

bool DownloadTask::isInitialized() const {
  std::lock_guard lock(propertyLock_);
  if (sessionTask_ && cancelToken_) return true;
  if (providerTask_) return true;
  return linkedTask_ && linkedTask_->isInitialized();
}

void DownloadTask::cancel() {
  {
    std::lock_guard lock(propertyLock_);
    cancelRequested_ = true;
  }
  if (auto provider = providerTask()) return provider->cancel();
  auto record = sessionTask();
  if (!record) return;
  auto token = cancelToken();
  if (!token) return;
  record->cancel(*token);
}

void DownloadTask::setPriority(float priority) {
  auto record = sessionTask();
  if (!record) return;
  auto token = cancelToken();
  if (!token) return;
  record->setPriority(*token, priority);
}

void DownloadTask::resetPriority() {
  auto record = sessionTask();
  if (!record) return;
  auto token = cancelToken();
  if (!token) return;
  record->resetPriority(*token);
}

void CancellationDownloadTask::setTask(std::shared_ptr<DownloadTask> task) {
  if (!task) return;
  bool cancelled = false;
  {
    std::lock_guard lock(lock_);
    task_ = task;
    cancelled = isCancelled_;
  }
  if (cancelled) task->cancel();
}

void CancellationDownloadTask::cancel() {
  std::shared_ptr<DownloadTask> task;
  {
    std::lock_guard lock(lock_);
    isCancelled_ = true;
    task = task_;
  }
  if (task) task->cancel();
}

bool CancellationDownloadTask::isCancelled() const {
  std::lock_guard lock(lock_);
  return isCancelled_;
}

std::shared_ptr<DownloadTask> CancellationDownloadTask::task() const {
  std::lock_guard lock(lock_);
  return task_;
}

}  // namespace vellum
