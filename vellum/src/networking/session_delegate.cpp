#include "vellum/networking/session_delegate.hpp"

#include <atomic>

#include "answer_once.hpp"
#include "general/guarded_call.hpp"
#include "vellum/networking/request_modifier.hpp"

namespace vellum {

namespace {

VellumError sessionError(const httpkit::URLError& error) {
  return VellumError::responseError(
      VellumError::ResponseErrorReason::URLSessionError{std::make_exception_ptr(error)});
}

}  // namespace

std::shared_ptr<DownloadTask> SessionDelegate::add(std::shared_ptr<URLSessionDataTask> dataTask, const std::string& url,
                                                   SessionDataTask::TaskCallback callback,
                                                   const std::function<void(SessionDataTask&)>& prepare) {
  std::lock_guard lock(lock_);
  auto record = std::make_shared<SessionDataTask>(std::move(dataTask));
  if (prepare) prepare(*record);
  std::weak_ptr<SessionDelegate> weakSelf = weak_from_this();
  std::weak_ptr<SessionDataTask> weakRecord = record;
  record->setOnCallbackCancelled([weakSelf, weakRecord](std::int64_t token, const SessionDataTask::TaskCallback& callback) {
    auto self = weakSelf.lock();
    auto record = weakRecord.lock();
    if (self && record) self->callbackCancelled(record, token, callback);
  });
  const auto token = record->addCallback(std::move(callback));
  tasks_[url] = record;
  return std::make_shared<DownloadTask>(record, *token);
}

std::shared_ptr<DownloadTask> SessionDelegate::append(const std::shared_ptr<SessionDataTask>& record,
                                                      SessionDataTask::TaskCallback callback) {
  const auto token = record->addCallback(std::move(callback));
  if (!token) return nullptr;
  return std::make_shared<DownloadTask>(record, *token);
}

std::shared_ptr<SessionDataTask> SessionDelegate::task(const std::string& url) const {
  std::lock_guard lock(lock_);
  auto it = tasks_.find(url);
  return it == tasks_.end() ? nullptr : it->second;
}

std::shared_ptr<SessionDataTask> SessionDelegate::task(const URLSessionDataTask& dataTask) const {
  std::lock_guard lock(lock_);
  const auto& url = dataTask.originalRequest().url;
  if (url.empty()) return nullptr;
  auto it = tasks_.find(url);
  if (it == tasks_.end() || it->second->task()->taskIdentifier() != dataTask.taskIdentifier()) return nullptr;
  return it->second;
}

void SessionDelegate::remove(const std::shared_ptr<SessionDataTask>& record) {
  std::lock_guard lock(lock_);
  if (!record->originalURL()) return;
  record->removeAllCallbacks();
  auto it = tasks_.find(*record->originalURL());
  if (it != tasks_.end() && it->second == record) tasks_.erase(it);
}

void SessionDelegate::cancelTask(const std::shared_ptr<URLSessionDataTask>& dataTask) {
  std::lock_guard lock(lock_);
  dataTask->cancel();
}

std::vector<std::shared_ptr<SessionDataTask>> SessionDelegate::tasks() const {
  std::lock_guard lock(lock_);
  std::vector<std::shared_ptr<SessionDataTask>> result;
  for (const auto& [url, record] : tasks_) result.push_back(record);
  return result;
}

std::vector<std::pair<std::shared_ptr<SessionDataTask>, std::vector<SessionDataTask::TaskCallback>>>
SessionDelegate::detachAll() {
  std::lock_guard lock(lock_);
  std::vector<std::pair<std::shared_ptr<SessionDataTask>, std::vector<SessionDataTask::TaskCallback>>> detached;
  for (auto& [url, record] : tasks_) detached.emplace_back(record, record->markCompleted());
  tasks_.clear();
  return detached;
}

void SessionDelegate::cancelAll() {
  for (const auto& record : tasks()) record->forceCancel();
}

void SessionDelegate::cancel(const std::string& url) {
  if (auto record = task(url)) record->forceCancel();
}

void SessionDelegate::finish(const URLSessionDataTask& dataTask, const SessionDataTask::TaskResult& result) {
  auto record = task(dataTask);
  if (!record) return;
  const auto callbacks = record->markCompleted();
  record->callOnTaskDone(result, callbacks);
  remove(record);
}

void SessionDelegate::didReceiveResponse(const std::shared_ptr<URLSessionDataTask>& dataTask,
                                         const httpkit::HTTPURLResponse& response,
                                         Answer<ResponseDisposition> completion) {
  using Reason = VellumError::ResponseErrorReason;
  if (response.statusCode == 0) {
    finish(*dataTask, SessionDataTask::TaskResult::failure(VellumError::responseError(Reason::InvalidURLResponse{response})));
    return completion(ResponseDisposition::cancel);
  }
  // A rule that throws has not said yes.
  bool valid = false;
  callGuarded("The status code rule", [&] { valid = onValidStatusCode.call(response.statusCode) == true; });
  if (!valid) {
    finish(*dataTask, SessionDataTask::TaskResult::failure(VellumError::responseError(Reason::InvalidHTTPStatusCode{response})));
    return completion(ResponseDisposition::cancel);
  }
  if (auto record = task(*dataTask)) record->setResponse(response);
  std::weak_ptr<SessionDelegate> weakSelf = weak_from_this();
  // The answer holds no copy of the response: a cancel reads it back from the record, which has it from
  // above, and with no record there is nothing to end.
  auto answer = answerOnce<ResponseDisposition>([weakSelf, dataTask, completion](ResponseDisposition disposition) {
    auto self = weakSelf.lock();
    if (self && disposition == ResponseDisposition::cancel) {
      if (auto record = self->task(*dataTask)) {
        self->finish(*dataTask, SessionDataTask::TaskResult::failure(VellumError::responseError(
                                    Reason::CancelledByDelegate{record->response().value_or(httpkit::HTTPURLResponse{})})));
      }
    }
    completion(disposition);
  });
  std::optional<bool> asked;
  // A hook that throws before it answers has cancelled; an answer it gave first stands.
  if (!callGuarded("The response hook", [&] { asked = onResponseReceived.call({response, answer}); })) {
    return answer(ResponseDisposition::cancel);
  }
  // Without a responder the transfer is cancelled unfinished: its callers then get the session's error.
  if (!asked) completion(ResponseDisposition::cancel);
}

void SessionDelegate::didReceiveData(const std::shared_ptr<URLSessionDataTask>& dataTask, const foundation::Bytes& data) {
  auto record = task(*dataTask);
  if (!record) return;
  record->appendData(data);
  // Taken under the record's lock, called outside it. A side effect that throws is its caller's code: that
  // caller leaves the transfer, cancelled, and the others go on.
  std::optional<std::int64_t> thrower;
  for (const auto& [token, sideEffect] : record->sideEffects()) {
    if (thrower == token) continue;
    const auto& effect = sideEffect;  // a lambda may not capture a structured binding under every compiler
    if (!callGuarded("A data-received side effect", [&] { effect->onDataReceived(record, data); })) {
      record->cancel(token);
      thrower = token;
    }
  }
}

void SessionDelegate::didReceiveData(const std::shared_ptr<URLSessionDataTask>& dataTask, foundation::Bytes&& data) {
  auto record = task(*dataTask);
  if (!record) return;
  // Side effects are rare; without them the received buffer becomes the task's data with no copy.
  if (!record->sideEffects().empty()) return didReceiveData(dataTask, static_cast<const foundation::Bytes&>(data));
  record->appendData(std::move(data));
}

void SessionDelegate::didComplete(const std::shared_ptr<URLSessionDataTask>& dataTask,
                                  const std::optional<httpkit::URLError>& error) {
  auto record = task(*dataTask);
  if (!record) return;
  if (error) return finish(*dataTask, SessionDataTask::TaskResult::failure(sessionError(*error)));
  // A hook that throws has given no bytes.
  std::optional<foundation::SharedBytes> data;
  callGuarded("The downloaded-data hook", [&] { data = onDidDownloadData.call(record); });
  if (!data) {
    return finish(*dataTask, SessionDataTask::TaskResult::failure(VellumError::responseError(
                                 VellumError::ResponseErrorReason::DataModifyingFailed{record})));
  }
  finish(*dataTask, SessionDataTask::TaskResult::success({std::move(*data), record->response()}));
}

void SessionDelegate::willPerformHTTPRedirection(const std::shared_ptr<URLSessionDataTask>& dataTask,
                                                 const httpkit::HTTPURLResponse& response,
                                                 httpkit::URLRequest newRequest,
                                                 Answer<std::optional<httpkit::URLRequest>> completion) {
  auto record = task(*dataTask);
  auto answer = answerOnce(std::move(completion));
  // The last caller's handler decides. One that throws before it answers is its caller's code: that caller
  // leaves the transfer, cancelled, and the caller now last decides (with no caller left, the transfer has
  // been cancelled and the answer no longer matters).
  // A handler that lets go of its completion without answering has refused the redirect: the transfer,
  // waiting for the answer, would otherwise wait for good.
  for (;;) {
    const auto last = record ? record->lastCallback() : std::nullopt;
    if (!last || !last->second.options.redirectHandler) return answer(std::move(newRequest));
    auto answered = std::make_shared<std::atomic<bool>>(false);
    const auto unanswered =
        std::make_shared<AnswerWhenDropped<std::optional<httpkit::URLRequest>>>(answer, std::nullopt);
    auto tracked = [answered, answer, unanswered](std::optional<httpkit::URLRequest> next) {
      answered->store(true);
      answer(std::move(next));
    };
    if (callGuarded("A redirect handler", [&] {
          last->second.options.redirectHandler->handleHTTPRedirection(record, response, newRequest, tracked);
        })) {
      return;
    }
    // One that threw decided nothing, whatever becomes of the copies it was given: the caller now last decides.
    unanswered->disarm();
    record->cancel(last->first);
    if (answered->load()) return;
  }
}

void SessionDelegate::didReceiveChallenge(const URLAuthenticationChallenge& challenge,
                                          Answer<ChallengeAnswer> completion) {
  auto answer = answerOnce(std::move(completion));
  // A responder that throws answers as none would: the default handling, which keeps every check on.
  std::optional<bool> asked;
  callGuarded("The challenge responder", [&] { asked = onReceiveSessionChallenge.call({challenge, answer}); });
  if (!asked) answer(ChallengeAnswer{});
}

void SessionDelegate::didReceiveTaskChallenge(const std::shared_ptr<URLSessionDataTask>& dataTask,
                                              const URLAuthenticationChallenge& challenge,
                                              Answer<ChallengeAnswer> completion) {
  auto answer = answerOnce(std::move(completion));
  std::optional<bool> asked;
  callGuarded("The challenge responder", [&] { asked = onReceiveSessionTaskChallenge.call({dataTask, challenge, answer}); });
  if (!asked) answer(ChallengeAnswer{});
}

void SessionDelegate::didFinishCollecting(const std::shared_ptr<URLSessionDataTask>& dataTask,
                                          const std::vector<TransactionMetrics>& transactions) {
  auto record = task(*dataTask);
  if (!record) return;
  if (auto metrics = NetworkMetrics::make(transactions)) record->setMetrics(std::move(*metrics));
}

void SessionDelegate::callbackCancelled(const std::shared_ptr<SessionDataTask>& record, std::int64_t token,
                                        const SessionDataTask::TaskCallback& callback) {
  record->callOnTaskDone(SessionDataTask::TaskResult::failure(VellumError::requestError(
                             VellumError::RequestErrorReason::TaskCancelled{record, token})),
                         {callback});
  // Counting and completing in one hold of the record's lock: a caller arriving now starts a new transfer
  // instead of joining one that is about to be cancelled.
  if (!record->completeIfUnattended()) return;
  cancelTask(record->task());
  remove(record);
}

}  // namespace vellum
