#pragma once
// URLSession: the session of one downloader, over an httpkit engine of its own. The engine's worker only
// moves bytes; every event goes, in order, to the session's serial delegate queue, where the session
// delegate is told. Redirects are followed here one hop at a time, each asking the delegate first; an answer
// the delegate gives later (a disposition, a redirect, a challenge) never blocks the worker: the transfer is
// paused and its bytes held until then.
//
// Timeouts: a request's `timeoutInterval` is both the connect limit and the idle limit (no byte for that
// long), never a limit on the whole transfer. 0, a negative value, NaN or more than a day is taken as 15 s:
// curl reads 0 as "no limit", and a stalled server would then hold the download forever.
//
// Threads: any thread; the delegate runs on the delegate queue. Lifetime: owned by its downloader; data tasks
// and in-flight events hold it weakly. Destroying it cancels and joins its engine, so it must not be
// destroyed on the engine's worker (the worker never holds it).
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "foundation/serial_queue.hpp"
#include "httpkit/transfer_engine.hpp"
#include "vellum/networking/session_configuration.hpp"
#include "vellum/networking/session_delegate.hpp"

namespace vellum {

class URLSession : public std::enable_shared_from_this<URLSession> {
 public:
  static std::shared_ptr<URLSession> make(const SessionConfiguration& configuration,
                                          std::shared_ptr<SessionDelegate> delegate);
  ~URLSession();

  std::shared_ptr<URLSessionDataTask> dataTask(httpkit::URLRequest request);
  // Ends every transfer as cancelled; later transfers end so at once.
  void invalidateAndCancel();
  const std::shared_ptr<SessionDelegate>& delegate() const { return delegate_; }

  // While set, a request that may not use a constrained network fails as the system would refuse it.
  static void setNetworkConstrained(bool constrained);

  // From URLSessionDataTask.
  void start(const std::shared_ptr<URLSessionDataTask>& task);
  void cancelTask(const std::shared_ptr<URLSessionDataTask>& task);
  void priorityChanged(const URLSessionDataTask& task);

  struct Flight;
  struct Inbox;

 private:
  URLSession(const SessionConfiguration& configuration, std::shared_ptr<SessionDelegate> delegate);

  // All below run on the delegate queue unless they say otherwise.
  void startHop(const std::shared_ptr<Flight>& flight);
  void launch(const std::shared_ptr<Flight>& flight, bool verifyPeer);
  // On the delegate queue, or on the thread that starts a flight no other thread can see yet.
  httpkit::TransferOptions prepareHop(const std::shared_ptr<Flight>& flight, bool verifyPeer);
  // REQUIRES: mutex_ held. False when the request could not be put on the wire (its end is queued).
  bool startTransfer(const std::shared_ptr<Flight>& flight, const httpkit::TransferOptions& options);
  void onHead(const std::shared_ptr<Flight>& flight, int hop, httpkit::HTTPURLResponse response);
  void onBody(const std::shared_ptr<Flight>& flight, int hop, foundation::Bytes bytes);
  void onEnd(const std::shared_ptr<Flight>& flight, int hop, std::optional<httpkit::URLError> error,
             const httpkit::TaskMetrics& metrics);
  void askDisposition(const std::shared_ptr<Flight>& flight, const httpkit::HTTPURLResponse& response);
  void disposed(const std::shared_ptr<Flight>& flight, int hop, ResponseDisposition disposition);
  void followRedirect(const std::shared_ptr<Flight>& flight);
  // An answer owed by the application (a response disposition, a challenge's) is waited for as long as the
  // request waits for bytes: past that, while `owed` still holds for the flight's hop, the flight ends timed out.
  void limitOwedAnswer(const std::shared_ptr<Flight>& flight, bool (*owed)(const Flight&), const char* what);
  void finish(const std::shared_ptr<Flight>& flight, std::optional<httpkit::URLError> error);
  void post(std::function<void(URLSession&)> event);

  const SessionConfiguration configuration_;
  const std::shared_ptr<SessionDelegate> delegate_;
  const std::shared_ptr<Inbox> inbox_;
  std::shared_ptr<httpkit::TransferEngine> engine_;
  std::mutex mutex_;  // guards flights_, invalidated_ and each flight's transfer id
  std::map<const URLSessionDataTask*, std::shared_ptr<Flight>> flights_;
  bool invalidated_ = false;
};

}  // namespace vellum
