#include "vellum/networking/session_data_task.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>

#include <httpkit/http_headers.hpp>

#include "url_session.hpp"

namespace vellum {

namespace {
// A field's value where it is, or none: each download reads three of them on the transfer thread.
const std::string* fieldOf(const httpkit::HTTPURLResponse& response, std::string_view name) {
  for (const auto& [field, value] : response.headers) {
    if (httpkit::headerNamesEqual(field, name)) return &value;
  }
  return nullptr;
}
}  // namespace

std::int64_t expectedContentLength(const httpkit::HTTPURLResponse& response) {
  // A body in a transfer coding (chunked) is framed by it, and the client reads it so: a Content-Length
  // beside it may say anything.
  if (fieldOf(response, "Transfer-Encoding")) return -1;
  const auto trimmed = [](std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
  };
  // A content-coded body is counted here as the client decodes it, and its announced length counts the coded
  // bytes: no total at all rather than one the download passes.
  if (const auto* coding = fieldOf(response, "Content-Encoding"); coding && !httpkit::headerNamesEqual(trimmed(*coding), "identity")) {
    return -1;
  }
  const auto* field = fieldOf(response, "Content-Length");
  if (!field) return -1;
  const std::string_view text = trimmed(*field);
  std::int64_t length = -1;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), length);
  // A sign, trailing junk or a number that does not fit is no announcement at all.
  if (text.empty() || text.front() == '-' || error != std::errc{} || end != text.data() + text.size()) return -1;
  return length;
}

URLSessionDataTask::URLSessionDataTask(httpkit::URLRequest originalRequest, std::uint64_t taskIdentifier,
                                       std::weak_ptr<URLSession> session)
    : originalRequest_(std::move(originalRequest)), taskIdentifier_(taskIdentifier), session_(std::move(session)) {}

float URLSessionDataTask::priority() const { return priority_.load(); }

void URLSessionDataTask::setPriority(float priority) {
  priority_.store(priority);
  if (auto session = session_.lock()) session->priorityChanged(*this);
}

void URLSessionDataTask::resume() {
  if (cancelled_.load() || resumed_.exchange(true)) return;
  if (auto session = session_.lock()) session->start(shared_from_this());
}

void URLSessionDataTask::cancel() {
  if (cancelled_.exchange(true)) return;
  if (auto session = session_.lock()) session->cancelTask(shared_from_this());
}

namespace {
std::optional<std::string> urlOf(const std::shared_ptr<URLSessionDataTask>& task) {
  if (!task || task->originalRequest().url.empty()) return std::nullopt;
  return task->originalRequest().url;
}
}  // namespace

SessionDataTask::SessionDataTask(std::shared_ptr<URLSessionDataTask> task)
    : task_(std::move(task)), originalURL_(urlOf(task_)) {}

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
  return *mutableData_;
}

foundation::SharedBytes SessionDataTask::receivedData() const {
  std::lock_guard lock(lock_);
  dataHandedOut_ = true;
  return foundation::SharedBytes(std::shared_ptr<const foundation::Bytes>(mutableData_));
}

std::int64_t SessionDataTask::receivedByteCount() const {
  std::lock_guard lock(lock_);
  return static_cast<std::int64_t>(mutableData_->size());
}

void SessionDataTask::appendData(const foundation::Bytes& data) {
  std::lock_guard lock(lock_);
  if (std::exchange(dataHandedOut_, false)) mutableData_ = std::make_shared<foundation::Bytes>(*mutableData_);
  // Room for the announced body is made once, not regrown (and recopied) chunk by chunk. Only so much is
  // taken on the server's word: a body announced longer than it is costs no more than that.
  if (mutableData_->empty() && task_ && task_->response_) {
    constexpr std::int64_t kMostReservedAhead = std::int64_t{1} << 20;
    const std::int64_t announced = vellum::expectedContentLength(*task_->response_);
    if (announced > 0) mutableData_->reserve(static_cast<std::size_t>(std::min(announced, kMostReservedAhead)));
  }
  mutableData_->insert(mutableData_->end(), data.begin(), data.end());
}

void SessionDataTask::appendData(foundation::Bytes&& data) {
  {
    std::lock_guard lock(lock_);
    if (mutableData_->empty()) {
      // What was handed out stays as it was: the record's buffer becomes a new one.
      if (std::exchange(dataHandedOut_, false)) {
        mutableData_ = std::make_shared<foundation::Bytes>(std::move(data));
      } else {
        *mutableData_ = std::move(data);
      }
      return;
    }
  }
  appendData(static_cast<const foundation::Bytes&>(data));
}

std::optional<NetworkMetrics> SessionDataTask::metrics() const {
  std::lock_guard lock(lock_);
  return metrics_;
}

void SessionDataTask::setMetrics(NetworkMetrics metrics) {
  std::lock_guard lock(lock_);
  metrics_ = std::move(metrics);
}

bool SessionDataTask::started() const {
  std::lock_guard lock(lock_);
  return started_;
}

bool SessionDataTask::completed() const {
  std::lock_guard lock(lock_);
  return completed_;
}

std::vector<SessionDataTask::TaskCallback> SessionDataTask::callbacks() const {
  std::lock_guard lock(lock_);
  std::vector<TaskCallback> result;
  for (const auto& [token, callback] : callbacksStore_) result.push_back(callback);
  return result;
}

std::vector<SessionDataTask::CallerSideEffect> SessionDataTask::sideEffects() const {
  std::lock_guard lock(lock_);
  std::vector<CallerSideEffect> result;
  for (const auto& [token, callback] : callbacksStore_) {
    if (!callback.options.onDataReceived) continue;
    for (const auto& sideEffect : *callback.options.onDataReceived) {
      if (sideEffect) result.push_back({token, sideEffect});
    }
  }
  return result;
}

std::optional<std::pair<std::int64_t, SessionDataTask::TaskCallback>> SessionDataTask::lastCallback() const {
  std::lock_guard lock(lock_);
  if (callbacksStore_.empty()) return std::nullopt;
  return *callbacksStore_.rbegin();
}

std::size_t SessionDataTask::callbackCount() const {
  std::lock_guard lock(lock_);
  return callbacksStore_.size();
}

std::optional<std::int64_t> SessionDataTask::addCallback(TaskCallback callback) {
  std::lock_guard lock(lock_);
  if (completed_) return std::nullopt;
  const std::int64_t token = currentToken_;
  const float priority = callback.options.downloadPriority;
  callbacksStore_.emplace(token, std::move(callback));
  storePriority(token, priority);
  // A newcomer may raise the transfer's priority but never lowers it; the first one sets it.
  if (prioritiesStore_.size() == 1 || task_->priority() < priority) task_->setPriority(priority);
  currentToken_ = token + 1;
  return token;
}

bool SessionDataTask::PriorityOrder::operator()(float a, float b) const {
  if (std::isnan(a)) return !std::isnan(b);
  return !std::isnan(b) && a < b;
}

void SessionDataTask::storePriority(std::int64_t token, float priority) {
  forgetPriority(token);
  prioritiesStore_.emplace(token, priority);
  priorityLevels_.insert(priority);
}

void SessionDataTask::forgetPriority(std::int64_t token) {
  auto it = prioritiesStore_.find(token);
  if (it == prioritiesStore_.end()) return;
  // One entry of that level goes: the others at the same level belong to other callers.
  if (auto level = priorityLevels_.find(it->second); level != priorityLevels_.end()) priorityLevels_.erase(level);
  prioritiesStore_.erase(it);
}

void SessionDataTask::setTaskPriorityToHighest() {
  if (priorityLevels_.empty()) return;
  task_->setPriority(*priorityLevels_.rbegin());
}

std::optional<SessionDataTask::TaskCallback> SessionDataTask::removeCallback(std::int64_t token) {
  std::lock_guard lock(lock_);
  auto it = callbacksStore_.find(token);
  if (it == callbacksStore_.end()) return std::nullopt;
  TaskCallback removed = std::move(it->second);
  callbacksStore_.erase(it);
  forgetPriority(token);
  setTaskPriorityToHighest();
  return removed;
}

void SessionDataTask::setPriority(std::int64_t token, float priority) {
  std::lock_guard lock(lock_);
  if (!callbacksStore_.contains(token)) return;
  storePriority(token, priority);
  setTaskPriorityToHighest();
}

void SessionDataTask::resetPriority(std::int64_t token) {
  std::lock_guard lock(lock_);
  auto it = callbacksStore_.find(token);
  if (it == callbacksStore_.end()) return;
  storePriority(token, it->second.options.downloadPriority);
  setTaskPriorityToHighest();
}

std::vector<SessionDataTask::TaskCallback> SessionDataTask::removeAllCallbacks() {
  std::lock_guard lock(lock_);
  std::vector<TaskCallback> result;
  for (auto& [token, callback] : callbacksStore_) result.push_back(std::move(callback));
  callbacksStore_.clear();
  prioritiesStore_.clear();
  priorityLevels_.clear();
  return result;
}

std::vector<SessionDataTask::TaskCallback> SessionDataTask::markCompleted() {
  std::lock_guard lock(lock_);
  completed_ = true;
  std::vector<TaskCallback> result;
  for (auto& [token, callback] : callbacksStore_) result.push_back(std::move(callback));
  callbacksStore_.clear();
  prioritiesStore_.clear();
  priorityLevels_.clear();
  return result;
}

bool SessionDataTask::completeIfUnattended() {
  std::lock_guard lock(lock_);
  if (!callbacksStore_.empty()) return false;
  completed_ = true;
  return true;
}

void SessionDataTask::resume() {
  {
    std::lock_guard lock(lock_);
    if (started_) return;
    started_ = true;
  }
  task_->resume();
}

void SessionDataTask::cancel(std::int64_t token) {
  auto removed = removeCallback(token);
  if (!removed) return;
  CallbackCancelled cancelled;
  {
    std::lock_guard lock(lock_);
    cancelled = onCallbackCancelled_;
  }
  if (cancelled) cancelled(token, *removed);
}

void SessionDataTask::forceCancel() {
  std::vector<std::int64_t> tokens;
  {
    std::lock_guard lock(lock_);
    for (const auto& [token, callback] : callbacksStore_) tokens.push_back(token);
  }
  for (std::int64_t token : tokens) cancel(token);
}

void SessionDataTask::setOnTaskDone(TaskDone done) {
  std::lock_guard lock(lock_);
  onTaskDone_ = std::move(done);
}

void SessionDataTask::callOnTaskDone(const TaskResult& result, const std::vector<TaskCallback>& callbacks) const {
  TaskDone done;
  {
    std::lock_guard lock(lock_);
    done = onTaskDone_;
  }
  if (done) done(result, callbacks);
}

void SessionDataTask::setOnCallbackCancelled(CallbackCancelled cancelled) {
  std::lock_guard lock(lock_);
  onCallbackCancelled_ = std::move(cancelled);
}

}  // namespace vellum
