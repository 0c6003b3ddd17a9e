#pragma once
// SessionDataTask: the shared record of one image download. Every caller that asks for a URL while its
// transfer runs is attached to the same record as a callback entry and gets a cancel token for it. The
// record collects the bytes, the metrics and the callers, and runs the transfer at the highest priority an
// attached caller asks for. It does not talk to the network: the session delegate feeds it.
//
// Example, given std::shared_ptr<vellum::SessionDataTask> record, vellum::SessionDataTask::TaskCallback callback:
//   auto token = record->addCallback(callback);   // none once the record has completed
//   if (!token) return;
//   record->setPriority(*token, 0.9f);
//   record->resume();                                            // the transfer starts once, however often asked
//   record->cancel(*token);                                      // only this caller's entry goes
//
// URLSessionDataTask is the transfer itself (the platform's data task): its request, identifier, priority and
// response. Its response lives here only, reached through the owning record under the record's lock.
//
// Threads: every member may be called from any thread. The record's lock guards all its mutable fields and is
// never held while a slot is called. Lock order: the downloader's lock, then the session delegate's, then this.
// Lifetime: held by the session delegate's table, the callers' DownloadTask handles and pending completions.
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <utility>
#include <vector>

#include "foundation/bytes.hpp"
#include "foundation/result.hpp"
#include "httpkit/http_url_response.hpp"
#include "httpkit/url_request.hpp"
#include "vellum/networking/network_metrics.hpp"
#include "vellum/general/options.hpp"
#include "vellum/general/vellum_error.hpp"

namespace vellum {

class URLSession;
struct ImageLoadingResult;

// One transfer of the session. Made by the session; `resume` starts it at most once, `cancel` ends it.
class URLSessionDataTask : public std::enable_shared_from_this<URLSessionDataTask> {
 public:
  explicit URLSessionDataTask(httpkit::URLRequest originalRequest, std::uint64_t taskIdentifier = 0,
                              std::weak_ptr<URLSession> session = {});

  const httpkit::URLRequest& originalRequest() const { return originalRequest_; }
  std::uint64_t taskIdentifier() const { return taskIdentifier_; }

  // 0 to 1; also the HTTP/2 stream weight of the transfer.
  float priority() const;
  void setPriority(float priority);

  // Starts the transfer; later calls, and a call after `cancel`, do nothing.
  void resume();
  // Ends the transfer; its delegate hears of it as a cancelled URL error (once, if it was running).
  void cancel();
  bool isCancelled() const { return cancelled_.load(); }

 private:
  friend class SessionDataTask;
  friend class URLSession;
  const httpkit::URLRequest originalRequest_;
  const std::uint64_t taskIdentifier_;
  const std::weak_ptr<URLSession> session_;
  std::atomic<float> priority_{kDefaultDownloadPriority};
  std::atomic<bool> resumed_{false};
  std::atomic<bool> cancelled_{false};
  std::optional<httpkit::HTTPURLResponse> response_;  // guarded by the owning record's lock
};

class SessionDataTask : public std::enable_shared_from_this<SessionDataTask> {
 public:
  using Completion = std::function<void(const foundation::Result<ImageLoadingResult, VellumError>&)>;

  // One attached caller: its completion (none when it wants none) and its options.
  struct TaskCallback {
    std::shared_ptr<const Completion> onCompleted;
    VellumParsedOptionsInfo options;
  };
  // How a transfer ended: the bytes and the response (none when none arrived), or the error.
  struct Downloaded {
    foundation::SharedBytes data;
    std::optional<httpkit::HTTPURLResponse> response;
  };
  using TaskResult = foundation::Result<Downloaded, VellumError>;
  using TaskDone = std::function<void(const TaskResult&, const std::vector<TaskCallback>&)>;
  using CallbackCancelled = std::function<void(std::int64_t token, const TaskCallback&)>;

  explicit SessionDataTask(std::shared_ptr<URLSessionDataTask> task);
  SessionDataTask(const SessionDataTask&) = delete;
  SessionDataTask& operator=(const SessionDataTask&) = delete;

  const std::shared_ptr<URLSessionDataTask>& task() const { return task_; }
  // The URL of the transfer's original request; the key the session delegate files the record under.
  const std::optional<std::string>& originalURL() const { return originalURL_; }

  std::optional<httpkit::HTTPURLResponse> response() const;
  void setResponse(httpkit::HTTPURLResponse response);
  // The length the response announced (its Content-Length); -1 without a response, without the field, when
  // the field is not a plain non-negative number, or when the body comes in a transfer coding (chunked) or a
  // content coding (whose announced length counts coded bytes, while the received ones are decoded).
  std::int64_t expectedContentLength() const;

  // A copy of every byte received so far, in arrival order.
  foundation::Bytes mutableData() const;
  // The bytes received so far without a copy: the record's own buffer, shared from then on. A later append
  // leaves what was handed out as it was.
  foundation::SharedBytes receivedData() const;
  std::int64_t receivedByteCount() const;
  void appendData(const foundation::Bytes& data);
  // The same, taking the buffer over instead of copying it when nothing has been received yet.
  void appendData(foundation::Bytes&& data);

  std::optional<NetworkMetrics> metrics() const;
  void setMetrics(NetworkMetrics metrics);
  bool started() const;
  bool completed() const;

  // The attached callers, in token order.
  std::vector<TaskCallback> callbacks() const;
  std::size_t callbackCount() const;
  // The data-received side effects of the attached callers, in token order and then list order, each with
  // the token of the caller whose options carry it.
  struct CallerSideEffect {
    std::int64_t token;
    std::shared_ptr<DataReceivingSideEffect> sideEffect;
  };
  std::vector<CallerSideEffect> sideEffects() const;
  // The caller attached last (the highest token) and its token; none when no caller is attached.
  std::optional<std::pair<std::int64_t, TaskCallback>> lastCallback() const;

  // None once the record has completed: the caller then needs a new transfer.
  std::optional<std::int64_t> addCallback(TaskCallback callback);
  std::optional<TaskCallback> removeCallback(std::int64_t token);
  void setPriority(std::int64_t token, float priority);
  void resetPriority(std::int64_t token);
  std::vector<TaskCallback> removeAllCallbacks();
  // Marks the record completed and hands back the callers that were attached.
  std::vector<TaskCallback> markCompleted();
  // In one hold of the lock: when no caller is attached, marks the record completed and answers true. So no
  // caller can attach between the last one leaving and the transfer being cancelled.
  bool completeIfUnattended();

  void resume();
  // Detaches this caller; `onCallbackCancelled` hears of it. Unknown tokens do nothing.
  void cancel(std::int64_t token);
  // Cancels every attached caller, one by one.
  void forceCancel();

  // Set by the downloader and the session delegate; called outside the lock.
  void setOnTaskDone(TaskDone done);
  void callOnTaskDone(const TaskResult& result, const std::vector<TaskCallback>& callbacks) const;
  void setOnCallbackCancelled(CallbackCancelled cancelled);

 private:
  void setTaskPriorityToHighest();  // REQUIRES: lock_ held
  // The caller's priority, kept in both stores. REQUIRES: lock_ held
  void storePriority(std::int64_t token, float priority);
  void forgetPriority(std::int64_t token);  // REQUIRES: lock_ held

  // NaN below every number, so the order stays total whatever a caller asks for.
  struct PriorityOrder {
    bool operator()(float a, float b) const;
  };

  const std::shared_ptr<URLSessionDataTask> task_;
  const std::optional<std::string> originalURL_;
  mutable std::mutex lock_;
  // Copied before an append once it has been handed out, so the shared bytes never change under a holder.
  std::shared_ptr<foundation::Bytes> mutableData_ = std::make_shared<foundation::Bytes>();
  mutable bool dataHandedOut_ = false;
  std::map<std::int64_t, TaskCallback> callbacksStore_;
  std::map<std::int64_t, float> prioritiesStore_;
  // Every attached caller's priority, sorted: the highest is at hand when one leaves, so cancelling each of
  // many callers of one transfer does not rescan all the others.
  std::multiset<float, PriorityOrder> priorityLevels_;
  bool completed_ = false;
  std::int64_t currentToken_ = 0;
  std::optional<NetworkMetrics> metrics_;
  bool started_ = false;
  TaskDone onTaskDone_;
  CallbackCancelled onCallbackCancelled_;
};

// The announced length of a response: its Content-Length, or -1 (none, not a length, or a coded body).
std::int64_t expectedContentLength(const httpkit::HTTPURLResponse& response);

}  // namespace vellum
