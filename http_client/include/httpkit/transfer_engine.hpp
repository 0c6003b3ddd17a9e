#pragma once
// The byte-moving engine under `APIClient`, over libcurl. A transfer is driven one of two ways:
//   perform  on the calling thread, which blocks until the transfer ends (what a `send` does): each such
//            transfer borrows an idle multi handle of the engine, with the connections it keeps, so that
//            senders on many threads never wait for one another;
//   start    on the engine's worker thread (started on first use), for transfers whose bytes are consumed
//            as they arrive; its observer runs on the worker and must return quickly.
// Name lookups and TLS sessions are shared by all transfers of an engine. Redirects are followed (a method
// is sent again only together with its body); the idle and whole-transfer timeouts are kept by the driver.
// The engine frames each request by the body it sends: a Content-Length field of the caller's (on the request
// or in `additionalHeaders`) is never sent, the true length is; `Transfer-Encoding: chunked` sends the body
// in chunks (and is dropped from a request without a body); any other transfer coding is refused.
// An answer's body is read by its length, its chunks or the connection's close; an answer in any other
// transfer coding (none is asked for) fails with `badServerResponse`.
//
// Example, given const httpkit::URLRequest& urlRequest, std::shared_ptr<httpkit::TransferObserver> observer:
//   auto engine = std::make_shared<httpkit::TransferEngine>();
//   httpkit::TransferOptions options;
//   engine->perform(urlRequest, options, *observer);   // returns after observer->didComplete
//   auto id = engine->start(urlRequest, options, observer);
//   engine->cancel(id);   // the observer completes with URLError::Code::cancelled
//
// Streaming transfers (`start`) are the small interface a session built on the engine needs: the head of the
// answer as soon as it has arrived, the body in chunks, one end with an error or none, and, while it runs,
// cancel, pause and resume (no byte of the body is read while paused, and the idle limit does not run, but
// the whole-transfer limit does), and a priority (the HTTP/2 stream weight). An engine made with a per-host
// connection limit never opens more connections to one host at a time for its streaming transfers; the
// others wait for a free connection, and that wait does not count against their idle limit.
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <stop_token>
#include <string>

#include "httpkit/http_url_response.hpp"
#include "httpkit/task_metrics.hpp"
#include "httpkit/url_error.hpp"
#include "httpkit/url_request.hpp"

namespace httpkit {

struct TransferOptions {
  // Header fields sent with every request unless the request sets a field of the same name.
  HTTPHeaders additionalHeaders;
  // Each time limit below that is zero or less leaves no time: the transfer fails as timed out at once. One
  // past the clock's range is no limit.
  // The longest wait for the name lookup and the connection (its TLS handshake included).
  std::chrono::milliseconds connectTimeout{std::chrono::seconds(60)};
  // The longest time without any byte moving, in either direction, before the transfer fails as timed out.
  // It runs from the moment a connection is being opened for the transfer or one is ready for it (waiting
  // for a free connection is not idleness); bytes of a header line still arriving count.
  std::chrono::milliseconds idleTimeout{std::chrono::seconds(60)};
  // The longest a whole transfer may take, from the start, waiting and pauses included.
  std::chrono::milliseconds resourceTimeout{std::chrono::hours(24 * 7)};
  // Bodies longer than this (once decoded) fail with `dataLengthExceedsMaximum` instead of growing without
  // bound; an answer that announces a longer body fails on its head, before the body is read. A coded body
  // fails alike once its coded bytes pass this by more than coding ever adds (a quarter, and 64 KiB). Only the
  // answer handed over is judged: a redirect being followed is followed whatever length it announces, and
  // its body is read only while it is short and comes at once (otherwise, or when it is cut or malformed,
  // its connection is closed and the redirect followed all the same).
  std::size_t maximumBodySize = std::size_t{64} << 20;
  // Off: a redirect answer is the transfer's answer, head and body, and the caller decides what follows.
  bool followRedirects = true;
  // Off: no Accept-Encoding field is sent and the body is passed on as the wire carried it, so that its
  // length is the Content-Length the server announced.
  bool decodeContent = true;
  // Off: the server's certificate and name are not checked for this transfer. Only for hosts the
  // application names as trusted; everything else keeps verification on.
  bool verifyPeer = true;
  // 0 to 1; the HTTP/2 stream weight (1 to 256) of the transfer. HTTP/1.1 has no such thing.
  float priority = 0.5f;
};

// A call that throws ends its transfer (and only it): `didComplete` follows with `URLError::Code::unknown`
// naming what was thrown. What `didComplete` itself throws is logged and dropped.
class TransferObserver {
 public:
  virtual ~TransferObserver() = default;
  // The head of the final answer (after redirects), as soon as it has arrived, before its first body byte.
  virtual void didReceiveResponse(const HTTPURLResponse& response) = 0;
  virtual void didReceiveData(std::span<const std::uint8_t> bytes) = 0;
  // Exactly once per started transfer; `error` is none when the whole answer arrived.
  virtual void didComplete(const std::optional<URLError>& error, const TaskMetrics& metrics) = 0;
};

class TransferEngine {
 public:
  using TransferID = std::uint64_t;

  struct Configuration {
    // The most connections the streaming transfers keep open to one host at a time; 0 for no limit.
    long maximumConnectionsPerHost = 0;
    // Called after observer calls, on the thread that made them, before the engine waits or hands control
    // back: on the worker once per turn of its loop (one turn may carry many transfers' heads, bodies and
    // ends), and after a transfer refused at shutdown has completed on the caller's thread or a `perform` has
    // returned its last call. An observer that hands its events to another thread can so wake that thread
    // once for all of them. What it throws is dropped. Runs on the worker: it must return quickly.
    std::function<void()> afterObserverCalls{};
  };

  TransferEngine() : TransferEngine(Configuration{}) {}
  explicit TransferEngine(Configuration configuration);
  // Cancels the streaming transfers still running (their observers complete with `cancelled`) and joins the
  // worker, waiting for it a few seconds at most: a worker held longer by an observer that does not return
  // ends on its own once it does. The engine may be released from inside any observer call, on the worker or
  // in `perform`: the transfer making that call still completes, and the worker then ends on its own.
  //
  // In a process forked from the one that made it, the engine starts afresh on its first use: the kept
  // connections (its parent's sockets), the worker and the transfers it inherited stay its parent's, left
  // untouched, and are never used or closed here.
  ~TransferEngine();
  TransferEngine(const TransferEngine&) = delete;
  TransferEngine& operator=(const TransferEngine&) = delete;

  // Runs the transfer on the calling thread; every observer call happens on it, `didComplete` last, before
  // this returns. A stop request ends the transfer at once with `URLError::Code::cancelled`. Throws
  // `EncodingError` when the request cannot be put on the wire (a header field or method with a line
  // break, a transfer coding other than chunked), and `URLError::Code::badURL` for a URL holding a NUL byte,
  // which curl would cut there; then the observer is never called.
  void perform(const URLRequest& request, const TransferOptions& options, TransferObserver& observer,
               std::stop_token stop = {});

  // Queues the transfer on the worker. Throws as `perform` does.
  TransferID start(const URLRequest& request, const TransferOptions& options,
                   std::shared_ptr<TransferObserver> observer);
  // Ends the transfer with `URLError::Code::cancelled` unless it has already completed; at once, even while
  // its host name is still being looked up (the lookup finishes on its own, holding nothing of the engine).
  void cancel(TransferID id);
  // Stops reading the transfer's body until `resume` (a head still arriving is read to its end and handed
  // over); the idle limit does not run meanwhile (the whole-transfer limit does).
  void pause(TransferID id);
  void resume(TransferID id);
  // Gives the transfer a new priority (see `TransferOptions::priority`).
  void setPriority(TransferID id, float priority);

 private:
  class Impl;
  // The state of this process (see the destructor).
  std::shared_ptr<Impl> current();

  std::atomic<std::shared_ptr<Impl>> impl_;
};

// The parts of an absolute URL that a session checks before it starts a transfer or follows a redirect.
struct URLParts {
  std::string scheme;  // lower case
  std::string host;
};
// None when `url` is not an absolute URL with a scheme and, for http and https, a host.
std::optional<URLParts> parseURL(const std::string& url);
// `reference` (an absolute or relative URL, as a Location field carries it) resolved against `base`; none
// when either cannot be parsed. Spaces and bytes past ASCII in `reference` are percent-encoded, as browsers
// encode them when they follow a redirect.
std::optional<std::string> resolveURL(const std::string& base, const std::string& reference);
// Whether two absolute URLs are of one origin: the same scheme, host and port (a port left to the scheme
// counted as the scheme's). False when either cannot be parsed.
bool sameOrigin(const std::string& a, const std::string& b);
// Before a redirect from `from` to `to` is followed: when `to` is of another origin (scheme, host or port),
// removes the fields that were meant for the origin they were first sent to: those that carry credentials
// (Authorization, Cookie, Proxy-Authorization) and a Host a caller set, which names that origin.
void removeCredentialsLeavingOrigin(HTTPHeaders& headers, const std::string& from, const std::string& to);
// Before a redirect answered with `status` is followed: a request that it turns into a GET, as 303 does any
// method but GET and HEAD and as browsers have always read a POST answered by 301 or 302, loses its body and
// the fields that described it. Every other redirect sends the request again as it was, body included.
void rewriteForRedirect(int status, HTTPMethod& method, std::optional<Bytes>& body, HTTPHeaders& headers);

}  // namespace httpkit
