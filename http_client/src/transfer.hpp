#pragma once
// One transfer as a driver moves it: the request, the hops it takes through redirects, the answer's head
// and body as they arrive, and the deadlines that bound it. A driver (the engine's worker, or a thread
// blocked in `TransferEngine::perform`) adds the easy handle to its multi handle, and calls `hopDone` when
// curl reports the hop finished and `complete` once; everything here runs on the driving thread.
#include <curl/curl.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "connection_sockets.hpp"
#include "content_decoder.hpp"
#include "header_lines.hpp"
#include "httpkit/transfer_engine.hpp"

namespace httpkit {

class Transfer {
 public:
  using Clock = std::chrono::steady_clock;

  // Throws `EncodingError` when the request cannot be put on the wire (a header field or method with a line
  // break). `easy` is owned by the caller: fresh, reset, or last used by a transfer given the same `share`
  // and `sockets`; `share` may be null; `sockets` (may be null) is the driver's registry of its connections'
  // sockets, which must outlive them.
  Transfer(CURL* easy, CURLSH* share, ConnectionSockets* sockets, const URLRequest& request,
           const TransferOptions& options, TransferObserver& observer);
  ~Transfer();
  Transfer(const Transfer&) = delete;
  Transfer& operator=(const Transfer&) = delete;

  CURL* easy() const { return easy_; }
  const std::string& url() const { return originalURL_; }

  enum class Step { finished, nextHop };
  // The hop ended with `result` and its easy handle is out of the multi handle. `nextHop`: the handle is set
  // up for the redirect's target; add it again.
  Step hopDone(CURLcode result);

  // When the transfer fails as timed out unless a byte moves first; then call `expire`. The idle limit runs
  // once the transfer has a connection (or is opening one), not while it waits for a free one; asking also
  // notes bytes that reached the connection without curl handing anything over yet (a head still arriving).
  // The body of a redirect being followed has a short wait of its own instead. `now` is the driver's clock
  // reading for this turn; the connection is asked about unseen bytes at most once a millisecond (and always
  // when the deadline seems to have passed), so a limit may end up to that much late, never early.
  Clock::time_point deadline(Clock::time_point now);
  // The deadline has passed: fails the transfer as timed out or, when it was the wait for a followed
  // redirect's body, leaves that body unread. Then take the handle out of the multi handle (which closes a
  // connection left mid-answer) and call `hopDone`, as when curl ends the hop.
  void expire();
  // While paused no byte of the body is read (the head still is, up to its end) and only the whole-transfer
  // limit runs; resuming starts the idle limit afresh.
  void setPaused(bool paused);
  void setPriority(float priority);
  // While `*requested` is set (from any thread) no body byte is handed over either: a pause asked for takes
  // hold at once, before the driver gets to `setPaused`. It must outlive the transfer.
  void holdBodyWhile(const std::atomic<bool>* requested) { holdRequested_ = requested; }
  // Whether curl was ever told to hold the body back: its handle then gets a full reset before another
  // transfer uses it.
  bool everPaused() const { return everPaused_; }
  // Ends the transfer with this error at the next `complete`, unless it already has one.
  void fail(URLError error);

  // Tells the observer how the transfer ended. Call once, after the easy handle left the multi handle.
  void complete();

 private:
  // False when curl refused the URL or the method (too long), which it would replace with the last ones.
  bool configureHop();
  void headEnded();
  void moved() { lastActivity_ = Clock::now(); }
  // When the idle limit (or a followed redirect's wait for its body) runs out, counted only while the
  // transfer has a connection and is not paused.
  Clock::time_point idleDeadline() const;
  void connecting();
  void noteSocketBytes();
  TaskMetrics metrics() const;
  bool receiveBody(const char* data, std::size_t length);
  bool deliverBody(const std::uint8_t* data, std::size_t length);
  bool deliverResponse();
  // Makes one call into the observer. What it throws ends the transfer (it would otherwise unwind through
  // curl's frames) and is named in the error `didComplete` then gives; false when it threw.
  template <class Call>
  bool tell(Call&& call) noexcept;

  static std::size_t onHeader(char* data, std::size_t size, std::size_t count, void* user);
  static std::size_t onBody(char* data, std::size_t size, std::size_t count, void* user);
  static int onProgress(void* user, curl_off_t, curl_off_t downloaded, curl_off_t, curl_off_t uploaded);
  static int onSocketOpened(void* user, curl_socket_t socket, curlsocktype purpose);
  static int onConnected(void* user, char* peerIP, char* localIP, int peerPort, int localPort);

  CURL* easy_;
  CURLSH* share_;
  ConnectionSockets* sockets_;
  TransferObserver& observer_;
  const std::string originalURL_;
  const std::chrono::milliseconds connectTimeout_;
  const std::chrono::milliseconds idleTimeout_;
  const std::chrono::milliseconds resourceTimeout_;
  const std::size_t maximumBodySize_;
  const std::size_t maximumCodedBodySize_;  // as it arrives, before the content coding is undone
  const bool followRedirects_;
  const bool decodeContent_;
  const bool verifyPeer_;
  float priority_;
  bool paused_ = false;
  bool everPaused_ = false;
  const std::atomic<bool>* holdRequested_ = nullptr;
  // The request of the current hop and the header fields it goes out with (the session's and its own).
  URLRequest request_;
  HTTPHeaders fields_;
  curl_slist* headerList_ = nullptr;

  Clock::time_point started_;
  Clock::time_point hopStarted_;
  Clock::time_point lastActivity_;
  curl_off_t lastDownloaded_ = 0;
  curl_off_t lastUploaded_ = 0;
  long redirects_ = 0;
  // The current hop opens or holds a connection; the idle limit runs only then.
  bool connected_ = false;
  // The request is about to go out on the connection: what arrives now is the answer.
  bool requestStarted_ = false;
  // The connection it was about to go out on was shut down first (see `ConnectionSockets`): it never
  // reached the server, so curl may send it again on another.
  bool neverSent_ = false;
  curl_socket_t socket_ = CURL_SOCKET_BAD;
  std::uint64_t socketBytes_ = 0;
  Clock::time_point socketAsked_{};

  HeaderAccumulator head_;
  std::size_t headBytes_ = 0;  // of the current hop
  long status_ = 0;
  bool headEnded_ = false;  // the final head of the current hop, not an interim one
  // The current hop's answer is a redirect that will be followed: its body is not the caller's.
  bool following_ = false;
  std::optional<std::string> redirectTarget_;  // absolute
  std::uint64_t redirectBodyRead_ = 0;
  Clock::time_point redirectHeadEnded_;
  // The rest of the followed redirect's body is left unread: the hop ends as if it had arrived.
  bool redirectCut_ = false;
  bool responseDelivered_ = false;
  std::unique_ptr<ContentDecoder> decoder_;
  bool bodyStarted_ = false;
  std::size_t received_ = 0;
  std::size_t codedReceived_ = 0;
  std::optional<URLError> error_;
  char errorBuffer_[CURL_ERROR_SIZE] = {};
};

}  // namespace httpkit
