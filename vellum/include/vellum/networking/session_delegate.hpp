#pragma once
// SessionDelegate: the delegate of a downloader's session. It keeps the table of running downloads (one
// SessionDataTask per URL), turns the session's events into updates of those records, and produces each
// download's outcome: the bytes and the response, or a VellumError saying what went wrong. What it cannot
// decide itself (is a status acceptable, may a response proceed, what are the final bytes, how to answer a
// challenge) it asks through five slots that the downloader fills; an empty slot gets the fallback answer.
//
// Example, given std::shared_ptr<vellum::URLSessionDataTask> dataTask, const std::string& url,
//                vellum::SessionDataTask::TaskCallback callback:
//   auto delegate = std::make_shared<vellum::SessionDelegate>();
//   struct Owner {};
//   auto owner = std::make_shared<Owner>();   // the rule holds while the owner lives
//   delegate->onValidStatusCode.delegate(owner, [](Owner&, int code) -> std::optional<bool> { return code < 400; });
//   auto handle = delegate->add(dataTask, url, callback);   // files a new record for the URL
//
// Asynchronous answers (response disposition, redirect, challenge) come back through a completion that may
// run later on any thread; only its first call counts.
//
// Threads: the event members run on the session's serial delegate queue; the table members on any thread.
// `lock` guards the table and is never held while a slot or a record's completion runs. Lock order: the
// downloader's lock, then this one, then a record's.
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "foundation/bytes.hpp"
#include "httpkit/url_error.hpp"
#include "vellum/general/delegate.hpp"
#include "vellum/networking/download_task.hpp"
#include "vellum/networking/network_metrics.hpp"
#include "vellum/networking/session_data_task.hpp"

namespace vellum {

enum class ResponseDisposition { cancel = 0, allow = 1 };
enum class AuthChallengeDisposition {
  useCredential = 0,
  performDefaultHandling = 1,
  cancelAuthenticationChallenge = 2,
  rejectProtectionSpace = 3,
};

inline constexpr const char* kAuthenticationMethodServerTrust = "NSURLAuthenticationMethodServerTrust";

// The only challenge this session raises: whether to trust the server of an https transfer.
struct URLAuthenticationChallenge {
  std::string authenticationMethod = kAuthenticationMethodServerTrust;
  std::string host;
};
// Made from a server's trust: using it turns certificate checks off for that transfer.
struct URLCredential {
  std::string trustedHost;
};
struct ChallengeAnswer {
  AuthChallengeDisposition disposition = AuthChallengeDisposition::performDefaultHandling;
  std::optional<URLCredential> credential;
};

class SessionDelegate : public std::enable_shared_from_this<SessionDelegate> {
 public:
  template <class T>
  using Answer = std::function<void(T)>;

  // A response whose status code is 0 stands for an answer that is not HTTP (a URL of another scheme).
  Delegate<int, bool> onValidStatusCode;
  // The block answers through the completion and yields true; an empty slot yields none.
  Delegate<std::pair<httpkit::HTTPURLResponse, Answer<ResponseDisposition>>, bool> onResponseReceived;
  Delegate<std::shared_ptr<SessionDataTask>, foundation::SharedBytes> onDidDownloadData;
  Delegate<std::pair<URLAuthenticationChallenge, Answer<ChallengeAnswer>>, bool> onReceiveSessionChallenge;
  Delegate<std::tuple<std::shared_ptr<URLSessionDataTask>, URLAuthenticationChallenge, Answer<ChallengeAnswer>>, bool>
      onReceiveSessionTaskChallenge;

  // Files a new record for `url` with this caller, replacing any earlier one. `prepare`, when given, runs on
  // the new record before it is filed: what it binds (the record's completion) is in place before anything
  // else can reach the record.
  std::shared_ptr<DownloadTask> add(std::shared_ptr<URLSessionDataTask> dataTask, const std::string& url,
                                    SessionDataTask::TaskCallback callback,
                                    const std::function<void(SessionDataTask&)>& prepare = nullptr);
  // None when the record has completed.
  std::shared_ptr<DownloadTask> append(const std::shared_ptr<SessionDataTask>& record,
                                       SessionDataTask::TaskCallback callback);
  std::shared_ptr<SessionDataTask> task(const std::string& url) const;
  // The record of this very transfer; none for an older transfer of the same URL.
  std::shared_ptr<SessionDataTask> task(const URLSessionDataTask& dataTask) const;
  void remove(const std::shared_ptr<SessionDataTask>& record);
  void cancelTask(const std::shared_ptr<URLSessionDataTask>& dataTask);
  void cancelAll();
  void cancel(const std::string& url);
  // The records of the table, at this moment.
  std::vector<std::shared_ptr<SessionDataTask>> tasks() const;
  // For a session that goes away: empties the table and marks every record completed, so that no caller
  // joins one of them any more, and hands back each record with the callers it still had. Their answers
  // are the caller's to give, once it holds no lock; the session's own late events find no record.
  std::vector<std::pair<std::shared_ptr<SessionDataTask>, std::vector<SessionDataTask::TaskCallback>>> detachAll();

  // Session events, on the delegate queue.
  void didReceiveResponse(const std::shared_ptr<URLSessionDataTask>& dataTask, const httpkit::HTTPURLResponse& response,
                          Answer<ResponseDisposition> completion);
  void didReceiveData(const std::shared_ptr<URLSessionDataTask>& dataTask, const foundation::Bytes& data);
  // The same, handing the buffer over to the task's data where no side effect needs to see it afterwards.
  void didReceiveData(const std::shared_ptr<URLSessionDataTask>& dataTask, foundation::Bytes&& data);
  void didComplete(const std::shared_ptr<URLSessionDataTask>& dataTask, const std::optional<httpkit::URLError>& error);
  void willPerformHTTPRedirection(const std::shared_ptr<URLSessionDataTask>& dataTask,
                                  const httpkit::HTTPURLResponse& response, httpkit::URLRequest newRequest,
                                  Answer<std::optional<httpkit::URLRequest>> completion);
  void didReceiveChallenge(const URLAuthenticationChallenge& challenge, Answer<ChallengeAnswer> completion);
  void didReceiveTaskChallenge(const std::shared_ptr<URLSessionDataTask>& dataTask,
                               const URLAuthenticationChallenge& challenge, Answer<ChallengeAnswer> completion);
  void didFinishCollecting(const std::shared_ptr<URLSessionDataTask>& dataTask,
                           const std::vector<TransactionMetrics>& transactions);

 private:
  void finish(const URLSessionDataTask& dataTask, const SessionDataTask::TaskResult& result);
  void callbackCancelled(const std::shared_ptr<SessionDataTask>& record, std::int64_t token,
                         const SessionDataTask::TaskCallback& callback);

  mutable std::mutex lock_;
  std::map<std::string, std::shared_ptr<SessionDataTask>> tasks_;
};

}  // namespace vellum
