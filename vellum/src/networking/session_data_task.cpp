#include "vellum/session_data_task.hpp"

#include <charconv>

namespace vellum {

std::int64_t expectedContentLength(const httpkit::HTTPURLResponse& response) {
  const auto field = response.value("Content-Length");
  if (!field) return -1;
  std::string_view text(*field);
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  std::int64_t length = -1;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), length);
  // A sign, trailing junk or a number that does not fit is no announcement at all.
  if (text.empty() || text.front() == '-' || error != std::errc{} || end != text.data() + text.size()) return -1;
  return length;
}

SessionDataTask::SessionDataTask(std::shared_ptr<URLSessionDataTask> task) : task_(std::move(task)) {}

std::optional<httpkit::HTTPURLResponse> SessionDataTask::response() const {
  std::lock_guard lock(lock_);
  return task_ ? task_->response_ : std::nullopt;
}

void SessionDataTask::setResponse(httpkit::HTTPURLResponse response) {
  std::lock_guard lock(lock_);
  if (task_) task_->response_ = std::move(response);
}

std::int64_t SessionDataTask::expectedContentLength() const {
  std::lock_guard lock(lock_);
  if (!task_ || !task_->response_) return -1;
  return vellum::expectedContentLength(*task_->response_);
}

foundation::Bytes SessionDataTask::mutableData() const {
  std::lock_guard lock(lock_);
  return mutableData_;
}

std::int64_t SessionDataTask::receivedByteCount() const {
  std::lock_guard lock(lock_);
  return static_cast<std::int64_t>(mutableData_.size());
}

void SessionDataTask::appendData(const foundation::Bytes& data) {
  std::lock_guard lock(lock_);
  mutableData_.insert(mutableData_.end(), data.begin(), data.end());
}

}  // namespace vellum
