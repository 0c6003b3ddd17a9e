#include "transfer.hpp"

#include <algorithm>
#include <array>
#include <limits>
#include <span>
#include <string_view>
#include <utility>

#include <foundation/delay.hpp>
#include <foundation/log.hpp>

#include "curl_errors.hpp"
#include "httpkit/errors.hpp"

namespace httpkit {

namespace {

constexpr long kMaximumRedirects = 16;
// The most bytes of header fields (interim heads and trailers included) one hop's answer may have. curl
// refuses more than 300 KiB in a way that reads as a lost connection; this limit is met first, by more than
// curl's longest line (100 KiB), so that the answer is refused as what it is: the server's fault.
constexpr std::size_t kMaximumHeadBytes = 192 * 1024;
// The most of a followed redirect's body that is read so that its connection can carry the next hop; a
// longer body (or one announced longer) is left unread and its connection closed.
constexpr std::uint64_t kRedirectBodyRead = 64 * 1024;
// How long after a followed redirect's head its body may take to arrive whole. A short body comes with its
// head, and reading it keeps the connection for the next hop; one slower than this (a stall, a trickle) is
// not worth the wait, and its connection is closed instead.
constexpr std::chrono::milliseconds kRedirectBodyWait{300};
// How much longer than its decoded limit a coded body may be on the wire. Coding makes a body longer than its
// content only by its framing: zlib's and brotli's worst cases stay under an eighth more, with a header. Past
// this, a stream that decodes to little or nothing (empty blocks, empty gzip members) is only keeping the
// transfer busy, which it could otherwise do until the whole-transfer limit.
std::size_t codedBodyLimit(std::size_t decodedLimit) {
  constexpr std::size_t kFraming = 64 * 1024;
  const std::size_t extra = decodedLimit / 4 + kFraming;
  return decodedLimit > std::numeric_limits<std::size_t>::max() - extra ? std::numeric_limits<std::size_t>::max()
                                                                         : decodedLimit + extra;
}
// How often a driver's turn asks the kernel whether bytes reached a connection that curl holds back.
constexpr std::chrono::milliseconds kSocketAskInterval{1};

// RFC 9110's idempotent methods: sent twice, they leave the server as sent once. Any other (POST, PATCH, a
// method of the caller's own) may act twice.
bool isIdempotent(const HTTPMethod& method) {
  for (const char* name : {"GET", "HEAD", "OPTIONS", "TRACE", "PUT", "DELETE"}) {
    if (method.rawValue == name) return true;
  }
  return false;
}

bool isRedirect(long status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// The body length a Content-Length value announces; a length past what fits saturates. Repeated fields
// arrive folded into a list, which announces one length only when every item says the same (RFC 9112
// makes any other list an error); none for that or for anything that is not a length. Blanks may only
// surround an item: curl frames "1 2" as one byte, so taking it for 12 would judge a body it never reads.
std::optional<std::uint64_t> announcedLength(const std::string& contentLength) {
  std::optional<std::uint64_t> length;
  std::uint64_t value = 0;
  bool digits = false;
  bool ended = false;  // a blank followed this item's digits
  for (char c : contentLength + ",") {
    if (c >= '0' && c <= '9') {
      if (ended) return std::nullopt;
      constexpr auto kMost = std::numeric_limits<std::uint64_t>::max();
      const auto digit = static_cast<std::uint64_t>(c - '0');
      value = value > (kMost - digit) / 10 ? kMost : value * 10 + digit;
      digits = true;
    } else if (c == ',') {
      if (!digits || (length && *length != value)) return std::nullopt;
      length = value;
      value = 0;
      digits = false;
      ended = false;
    } else if (c == ' ' || c == '\t') {
      ended = digits;
    } else {
      return std::nullopt;
    }
  }
  return length;
}

// A Transfer-Encoding value that asks for the chunked coding alone.
bool isChunked(std::string_view coding) {
  while (!coding.empty() && (coding.front() == ' ' || coding.front() == '\t')) coding.remove_prefix(1);
  while (!coding.empty() && (coding.back() == ' ' || coding.back() == '\t')) coding.remove_suffix(1);
  return headerNamesEqual(coding, "chunked");
}

// 0 to 1 onto HTTP/2's 1 to 256; anything else (NaN included) gets the middle.
long streamWeight(float priority) {
  if (!(priority >= 0.0f && priority <= 1.0f)) priority = 0.5f;
  return 1L + static_cast<long>(priority * 255.0f);
}

}  // namespace

Transfer::Transfer(CURL* easy, CURLSH* share, ConnectionSockets* sockets, const URLRequest& request,
                   const TransferOptions& options, TransferObserver& observer)
    : easy_(easy),
      share_(share),
      sockets_(sockets),
      observer_(observer),
      originalURL_(request.url),
      connectTimeout_(options.connectTimeout),
      idleTimeout_(options.idleTimeout),
      resourceTimeout_(options.resourceTimeout),
      maximumBodySize_(options.maximumBodySize),
      maximumCodedBodySize_(codedBodyLimit(options.maximumBodySize)),
      followRedirects_(options.followRedirects),
      decodeContent_(options.decodeContent),
      verifyPeer_(options.verifyPeer),
      priority_(options.priority),
      request_(request),
      fields_(options.additionalHeaders) {
  // curl reads the URL as a C string: what follows a NUL would be dropped, and the request would go to
  // another path than the caller's.
  if (request.url.find('\0') != std::string::npos) {
    throw URLError(URLError::Code::badURL, "the URL holds a NUL byte", request.url);
  }
  if (!isHeaderToken(request.method.rawValue)) {
    throw EncodingError("the method \"" + request.method.rawValue + "\" is not an HTTP token");
  }
  for (const auto& [name, value] : request.headers) fields_.set(name, value);
  for (const auto& [name, value] : fields_) {
    if (!isHeaderToken(name) || !isSafeHeaderValue(value)) {
      throw EncodingError("the header field \"" + name + "\" cannot be sent as it is");
    }
  }
  // The body goes out as it is: a coding the caller names would have to be applied here, and a server
  // would read the body by it.
  if (const auto coding = fields_.value("Transfer-Encoding"); coding && !isChunked(*coding)) {
    throw EncodingError("the header field \"Transfer-Encoding\" asks for \"" + *coding +
                        "\"; a body can only be sent as it is or chunked");
  }
  started_ = Clock::now();
  if (!configureHop()) {
    // No destructor runs for an object whose constructor throws; the handle's owner unhooks the list.
    curl_slist_free_all(std::exchange(headerList_, nullptr));
    throw EncodingError("the request's URL or method is longer than can be sent");
  }
}

Transfer::~Transfer() {
  if (headerList_) curl_slist_free_all(headerList_);
}

bool Transfer::configureHop() {
  CURL* easy = easy_;
  hopStarted_ = Clock::now();
  lastActivity_ = hopStarted_;
  connected_ = false;
  requestStarted_ = false;
  neverSent_ = false;
  socket_ = CURL_SOCKET_BAD;
  socketAsked_ = {};
  status_ = 0;
  headEnded_ = false;
  following_ = false;
  redirectTarget_.reset();
  headBytes_ = 0;
  redirectBodyRead_ = 0;
  redirectCut_ = false;
  decoder_.reset();
  bodyStarted_ = false;
  errorBuffer_[0] = 0;

  // The options every transfer of a driver sets alike are set once per handle: a handle that carried a
  // transfer (its private pointer set last, below) and was not reset since still holds them. A driver keeps
  // its handles to itself, so the share and the socket registry are the same ones.
  void* carried = nullptr;
  curl_easy_getinfo(easy, CURLINFO_PRIVATE, &carried);
  if (!carried) {
    if (share_) curl_easy_setopt(easy, CURLOPT_SHARE, share_);
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    // Redirects are followed here rather than by curl, which would send a PUT's method again without its
    // body; see `hopDone`.
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    // A transfer ended during its name lookup leaves the lookup's thread to finish on its own (it cleans up
    // after itself) instead of waiting for it: a silent name server holds a lookup for many seconds, and the
    // driver, with every other transfer it moves, would wait as long.
    curl_easy_setopt(easy, CURLOPT_QUICK_EXIT, 1L);
    // Bodies are decoded here (see ContentDecoder), so curl passes them on as they came.
    curl_easy_setopt(easy, CURLOPT_HTTP_CONTENT_DECODING, 0L);
    // The idle and whole-transfer timeouts are the driver's (see `deadline`): curl's low-speed check
    // averages over seconds and fires late. Progress reports tell when a byte of the request went out.
    curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, &Transfer::onProgress);
    // A transfer waiting for a free connection (a per-host limit) is not idle: its clock starts when a
    // connection is being opened for it or one is ready.
    curl_easy_setopt(easy, CURLOPT_SOCKOPTFUNCTION, &Transfer::onSocketOpened);
    curl_easy_setopt(easy, CURLOPT_PREREQFUNCTION, &Transfer::onConnected);
    if (sockets_) {
      curl_easy_setopt(easy, CURLOPT_CLOSESOCKETFUNCTION, &ConnectionSockets::onClose);
      curl_easy_setopt(easy, CURLOPT_CLOSESOCKETDATA, sockets_);
    }
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &Transfer::onHeader);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Transfer::onBody);
  }
  // curl refuses texts past its length limit and keeps what the handle held before: the last transfer's.
  bool taken = curl_easy_setopt(easy, CURLOPT_URL, request_.url.c_str()) == CURLE_OK;
  curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, verifyPeer_ ? 1L : 0L);
  curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, verifyPeer_ ? 2L : 0L);
  curl_easy_setopt(easy, CURLOPT_STREAM_WEIGHT, streamWeight(priority_));
  curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(connectTimeout_.count()));
  curl_easy_setopt(easy, CURLOPT_XFERINFODATA, this);
  curl_easy_setopt(easy, CURLOPT_SOCKOPTDATA, this);
  curl_easy_setopt(easy, CURLOPT_PREREQDATA, this);
  curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, errorBuffer_);
  curl_easy_setopt(easy, CURLOPT_HEADERDATA, this);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, this);
  curl_easy_setopt(easy, CURLOPT_PRIVATE, this);

  // The handle is not reset between transfers or hops (that costs more than the transfer's own options), so
  // every option that depends on the method is set here each time, defaults included.
  const std::string& method = request_.method.rawValue;
  // A HEAD goes out without a body, even one the caller gave it, so nothing may announce one.
  const bool sendsBody =
      method != "HEAD" && (request_.body.has_value() || method == "POST" || method == "PUT" || method == "PATCH");
  curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, nullptr);
  curl_easy_setopt(easy, CURLOPT_NOBODY, method == "HEAD" ? 1L : 0L);
  if (method == "HEAD") {
    // NOBODY made it a HEAD.
  } else if (sendsBody) {
    static const char empty = 0;
    const void* data = request_.body && !request_.body->empty() ? static_cast<const void*>(request_.body->data()) : &empty;
    curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request_.body ? request_.body->size() : 0));
    curl_easy_setopt(easy, CURLOPT_POSTFIELDS, data);
    if (method != "POST") taken = taken && curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, method.c_str()) == CURLE_OK;
  } else {
    curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
    if (method != "GET") taken = taken && curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, method.c_str()) == CURLE_OK;
  }

  // curl adds a form content type to every body and waits for "100 Continue" on large ones; neither is
  // asked for, so both are switched off unless the caller set them.
  if (headerList_) curl_slist_free_all(std::exchange(headerList_, nullptr));
  curl_slist* list = nullptr;
  for (const auto& [name, value] : fields_) {
    // Where the message ends is said by the body actually sent (curl writes its length), never by a field
    // of the caller's: one that disagreed would make the server read into the next request on the
    // connection, or wait for bytes that never come. A chunked coding asked for stays, for a body.
    if (headerNamesEqual(name, "Content-Length")) continue;
    if (headerNamesEqual(name, "Transfer-Encoding") && !sendsBody) continue;
    const std::string line = value.empty() ? name + ";" : name + ": " + value;
    list = curl_slist_append(list, line.c_str());
  }
  if (sendsBody && !fields_.contains("Content-Type")) list = curl_slist_append(list, "Content-Type:");
  if (!fields_.contains("Expect")) list = curl_slist_append(list, "Expect:");
  if (decodeContent_ && !fields_.contains("Accept-Encoding")) {
    // Never destroyed: a transfer may still start on a pool worker or a released engine's worker while the
    // process exits.
    static const auto* const accepted = new std::string("Accept-Encoding: " + std::string(ContentDecoder::kAccepted));
    list = curl_slist_append(list, accepted->c_str());
  }
  headerList_ = list;
  curl_easy_setopt(easy, CURLOPT_HTTPHEADER, list);
  return taken;
}

Transfer::Step Transfer::hopDone(CURLcode result) {
  if (sockets_ && socket_ != CURL_SOCKET_BAD) {
    long version = 0;
    curl_easy_getinfo(easy_, CURLINFO_HTTP_VERSION, &version);
    if (version == CURL_HTTP_VERSION_1_0 || version == CURL_HTTP_VERSION_1_1) sockets_->carriedHTTP1(socket_);
  }
  if (error_) return Step::finished;
  // Where a followed redirect leads is known once its head is in; its body decides nothing, however reading
  // it ended (left unread on purpose, cut by the close, framed wrongly).
  if (following_) result = CURLE_OK;
  if (result != CURLE_OK) {
    error_ = urlErrorFromCurl(result, errorBuffer_, originalURL_);
    // How curl refuses a head it cannot read (not HTTP at all, a line past its limit): the server's fault.
    const bool unreadableHead = result == CURLE_UNSUPPORTED_PROTOCOL || result == CURLE_OUT_OF_MEMORY;
    if (requestStarted_ && !headEnded_ && unreadableHead) {
      error_ = URLError(URLError::Code::badServerResponse, error_->detail(), originalURL_);
    }
    return Step::finished;
  }
  if (!following_) {
    // curl ends a hop well when the server closes inside the head; with no final head there is no answer.
    if (!headEnded_) {
      error_ = URLError(URLError::Code::networkConnectionLost,
                        "the connection closed before the answer's head was complete", originalURL_);
    } else if (decoder_ && bodyStarted_ && !decoder_->finished()) {
      error_ = URLError(URLError::Code::networkConnectionLost, "the compressed body ended before its end",
                        originalURL_);
    }
    return Step::finished;
  }

  if (!redirectTarget_) {
    error_ = URLError(URLError::Code::badServerResponse, "a redirect to an unusable address", originalURL_);
    return Step::finished;
  }
  const std::string next = *redirectTarget_;
  if (redirects_ >= kMaximumRedirects) {
    error_ = URLError(URLError::Code::httpTooManyRedirects,
                      "more than " + std::to_string(kMaximumRedirects) + " redirects", originalURL_);
    return Step::finished;
  }
  const std::string_view scheme = std::string_view(next).substr(0, next.find(':'));
  if (scheme != "http" && scheme != "https") {
    error_ = URLError(URLError::Code::unsupportedURL, "a redirect to " + next, originalURL_);
    return Step::finished;
  }

  rewriteForRedirect(status_, request_.method, request_.body, fields_);
  removeCredentialsLeavingOrigin(fields_, request_.url, next);
  request_.url = next;
  ++redirects_;
  if (!configureHop()) {
    error_ = URLError(URLError::Code::badServerResponse, "a redirect to an address too long to send", originalURL_);
    return Step::finished;
  }
  return Step::nextHop;
}

Transfer::Clock::time_point Transfer::deadline(Clock::time_point now) {
  // curl reads a connect limit of zero or less as its own default of minutes; here it leaves no time.
  if (connectTimeout_ <= std::chrono::milliseconds(0)) return started_;
  // Saturating: the default whole-transfer limit is a week, and a caller may ask for more.
  const auto whole = foundation::deadlineAfter(resourceTimeout_, started_);
  if (paused_ || !connected_) return whole;
  // A busy driver asks for every deadline on each of its turns, many times a millisecond: asking the kernel
  // each time would cost a system call per transfer per turn. Bytes seen late only ever move a deadline later.
  if (now - socketAsked_ >= kSocketAskInterval) {
    socketAsked_ = now;
    noteSocketBytes();
  }
  auto deadline = std::min(idleDeadline(), whole);
  if (deadline <= now && socketAsked_ != now) {
    socketAsked_ = now;
    noteSocketBytes();
    deadline = std::min(idleDeadline(), whole);
  }
  return deadline;
}

Transfer::Clock::time_point Transfer::idleDeadline() const {
  const auto idle = foundation::deadlineAfter(idleTimeout_, lastActivity_);
  return following_ ? std::min(idle, foundation::deadlineAfter(kRedirectBodyWait, redirectHeadEnded_)) : idle;
}

void Transfer::noteSocketBytes() {
  // Bytes after the head are counted as curl hands them over (a followed redirect's body included); before
  // the head has ended, curl holds a header line back until it is whole.
  if (socket_ == CURL_SOCKET_BAD || headEnded_) return;
  if (const auto bytes = ConnectionSockets::bytesMoved(socket_); bytes && *bytes != socketBytes_) {
    socketBytes_ = *bytes;
    moved();
  }
}

void Transfer::connecting() {
  if (connected_) return;
  connected_ = true;
  moved();
}

void Transfer::expire() {
  if (connectTimeout_ <= std::chrono::milliseconds(0)) {
    return fail(URLError(URLError::Code::timedOut,
                         "the connect limit of " + std::to_string(connectTimeout_.count()) + " ms leaves no time",
                         originalURL_));
  }
  const bool idle = connected_ && !paused_ && idleDeadline() <= foundation::deadlineAfter(resourceTimeout_, started_);
  if (idle && following_) {
    redirectCut_ = true;
    return;
  }
  const auto limit = idle ? idleTimeout_ : resourceTimeout_;
  // Idle is not silent: once the head is in, bytes curl reads without handing anything over (a chunk
  // extension without end) arrive and still leave the transfer where it was.
  fail(URLError(URLError::Code::timedOut,
                (idle ? "the transfer made no progress for " : "the transfer took longer than ") +
                    std::to_string(limit.count()) + " ms",
                originalURL_));
}

void Transfer::setPaused(bool paused) {
  if (paused == paused_) return;
  paused_ = paused;
  everPaused_ = everPaused_ || paused;
  // curl is paused only once the head is in: what it holds back while paused comes later in one piece, which
  // would join a head's lines (and it holds back only so many pieces, fewer than two heads make). Until then
  // the first body bytes pause it (see `onBody`).
  if (headEnded_ || !paused) curl_easy_pause(easy_, paused ? CURLPAUSE_RECV : CURLPAUSE_CONT);
  if (!paused) moved();
}

void Transfer::setPriority(float priority) {
  priority_ = priority;
  curl_easy_setopt(easy_, CURLOPT_STREAM_WEIGHT, streamWeight(priority));
}

void Transfer::fail(URLError error) {
  if (!error_) error_ = std::move(error);
}

void Transfer::headEnded() {
  curl_easy_getinfo(easy_, CURLINFO_RESPONSE_CODE, &status_);
  if (status_ < 200) return;  // an interim answer; the real head follows
  headEnded_ = true;
  const HTTPHeaders& headers = head_.headers();
  const bool head = request_.method.rawValue == "HEAD";
  // A HEAD is redirected as any other request; only the answer it ends on is handed over without a body.
  // Two different targets leave no way to tell which the server meant, whoever follows the redirect (here,
  // or a caller that follows hop by hop), and their folded list is no address at all: resolved, it would
  // become a path of its own. The same one named again is no doubt.
  const auto targets = head_.values("Location");
  if (isRedirect(status_) &&
      std::any_of(targets.begin(), targets.end(), [&](std::string_view t) { return t != targets.front(); })) {
    error_ = URLError(URLError::Code::badServerResponse, "a redirect that names more than one target", originalURL_);
    return;
  }
  following_ = followRedirects_ && isRedirect(status_) && !targets.empty();
  if (following_) {
    // Resolved here rather than by curl, which says where a redirect leads only once its body has ended.
    redirectTarget_ = resolveURL(request_.url, std::string(targets.front()));
    redirectHeadEnded_ = Clock::now();
    // Only the answer handed over is judged by its length; this one is followed whatever it announces. An
    // answer to a HEAD announces a body it never sends, so there is nothing to cut.
    const auto field = headers.value("Content-Length");
    const auto length = field ? announcedLength(*field) : std::optional<std::uint64_t>(0);
    if (!head && (!length || *length > kRedirectBodyRead)) redirectCut_ = true;
    return;
  }
  if (head || status_ == 204 || status_ == 304) {
    deliverResponse();
    return;
  }
  // Only the chunked coding is read here, and no other was asked for (no TE field is sent): a body in any
  // other, or chunked twice, would be handed over still coded.
  const auto transferCoding = headers.value("Transfer-Encoding");
  if (transferCoding && !isChunked(*transferCoding)) {
    error_ = URLError(URLError::Code::badServerResponse,
                      "the body is sent in the transfer coding \"" + *transferCoding + "\", which was not asked for",
                      originalURL_);
    return;
  }
  // An announced length is refused before a byte of it is read. A chunked body is framed by its chunks (curl
  // ignores a length beside them, and fails a malformed one itself): a length there says nothing of the body.
  if (const auto field = headers.value("Content-Length"); field && !transferCoding) {
    const auto length = announcedLength(*field);
    if (!length) {
      error_ = URLError(URLError::Code::badServerResponse, "the answer announces its length as \"" + *field + "\"",
                        originalURL_);
      return;
    }
    if (*length > maximumBodySize_) {
      error_ = URLError(URLError::Code::dataLengthExceedsMaximum,
                        "the answer announces " + *field + " bytes, more than " + std::to_string(maximumBodySize_),
                        originalURL_);
      return;
    }
  }
  const auto coding = headers.value("Content-Encoding");
  if (decodeContent_ && coding) {
    if (ContentDecoder::make(*coding, decoder_) == ContentDecoder::Kind::unsupported) {
      error_ = URLError(URLError::Code::badServerResponse, "the body is coded as \"" + *coding + "\"", originalURL_);
    }
  }
  // Streaming callers act on the head before the body arrives (or while it is held back).
  if (!error_) deliverResponse();
}

template <class Call>
bool Transfer::tell(Call&& call) noexcept {
  std::string thrown;
  try {
    call();
    return true;
  } catch (const std::exception& e) {
    thrown = e.what();
  } catch (...) {
    thrown = "something that is not an exception";
  }
  fail(URLError(URLError::Code::unknown, "the transfer's observer threw: " + thrown, originalURL_));
  return false;
}

bool Transfer::deliverResponse() {
  if (responseDelivered_) return true;
  responseDelivered_ = true;
  HTTPURLResponse response;
  response.statusCode = static_cast<int>(status_);
  response.url = request_.url;
  response.headers = head_.takeHeaders();
  // One target named twice is handed over once: folded, it would read as an address of its own to a caller
  // that follows redirects itself.
  if (const auto targets = head_.values("Location"); targets.size() > 1 &&
      std::all_of(targets.begin(), targets.end(), [&](std::string_view t) { return t == targets.front(); })) {
    response.headers.set("Location", std::string(targets.front()));
  }
  return tell([&] { observer_.didReceiveResponse(response); });
}

void Transfer::complete() {
  if (!error_) deliverResponse();
  const TaskMetrics measured = metrics();
  // The transfer has ended whatever this throws; the throw is only worth a line in the log.
  try {
    observer_.didComplete(error_, measured);
  } catch (const std::exception& e) {
    foundation::log(foundation::LogLevel::error, std::string("httpkit: a transfer's observer threw on its end: ") + e.what());
  } catch (...) {
    foundation::log(foundation::LogLevel::error, "httpkit: a transfer's observer threw on its end");
  }
}

bool Transfer::receiveBody(const char* data, std::size_t length) {
  bodyStarted_ = true;
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(data);
  if (!decoder_) return deliverBody(bytes, length);
  if (length > maximumCodedBodySize_ - codedReceived_) {
    error_ = URLError(URLError::Code::dataLengthExceedsMaximum,
                      "the coded answer is longer than " + std::to_string(maximumCodedBodySize_) +
                          " bytes, more than a body of at most " + std::to_string(maximumBodySize_) + " needs",
                      originalURL_);
    return false;
  }
  codedReceived_ += length;
  const auto sink = [](void* self, const std::uint8_t* out, std::size_t size) {
    return static_cast<Transfer*>(self)->deliverBody(out, size);
  };
  switch (decoder_->feed(std::span(bytes, length), sink, this)) {
    case ContentDecoder::Result::more: return true;
    case ContentDecoder::Result::refused: return false;
    case ContentDecoder::Result::corrupt: break;
  }
  error_ = URLError(URLError::Code::badServerResponse, "the compressed body is corrupt", originalURL_);
  return false;
}

bool Transfer::deliverBody(const std::uint8_t* data, std::size_t length) {
  if (length > maximumBodySize_ - received_) {
    error_ = URLError(URLError::Code::dataLengthExceedsMaximum,
                      "the answer is longer than " + std::to_string(maximumBodySize_) + " bytes", originalURL_);
    return false;
  }
  received_ += length;
  return deliverResponse() && tell([&] { observer_.didReceiveData(std::span(data, length)); });
}

TaskMetrics Transfer::metrics() const {
  // curl measures each hop from its own start; the earlier hops' time is added so that the phases count from
  // the start of the whole transfer. A phase that did not happen stays zero.
  const auto before = std::chrono::duration_cast<std::chrono::microseconds>(hopStarted_ - started_);
  TaskMetrics m;
  auto micros = [&](CURLINFO info) {
    curl_off_t value = 0;
    curl_easy_getinfo(easy_, info, &value);
    return value == 0 ? std::chrono::microseconds(0) : std::chrono::microseconds(value) + before;
  };
  m.nameLookup = micros(CURLINFO_NAMELOOKUP_TIME_T);
  m.connect = micros(CURLINFO_CONNECT_TIME_T);
  m.secureConnection = micros(CURLINFO_APPCONNECT_TIME_T);
  m.requestStart = micros(CURLINFO_PRETRANSFER_TIME_T);
  m.responseStart = micros(CURLINFO_STARTTRANSFER_TIME_T);
  m.total = micros(CURLINFO_TOTAL_TIME_T);
  m.redirectCount = redirects_;
  curl_off_t sent = 0;
  curl_easy_getinfo(easy_, CURLINFO_SIZE_UPLOAD_T, &sent);
  m.requestBodyBytesSent = sent;
  long connects = 0;
  curl_easy_getinfo(easy_, CURLINFO_NUM_CONNECTS, &connects);
  m.reusedConnection = connects == 0;
  return m;
}

std::size_t Transfer::onHeader(char* data, std::size_t size, std::size_t count, void* user) {
  auto* self = static_cast<Transfer*>(user);
  const std::string_view line(data, size * count);
  self->moved();
  self->headBytes_ += line.size();
  if (self->headBytes_ > kMaximumHeadBytes) {
    self->fail(URLError(URLError::Code::badServerResponse,
                        "the answer's header fields take more than " + std::to_string(kMaximumHeadBytes) + " bytes",
                        self->originalURL_));
    return 0;
  }
  self->head_.feed(line);
  // After the final head, a blank line ends the trailers.
  if ((line == "\r\n" || line == "\n") && !self->headEnded_) self->headEnded();
  return self->error_ || self->redirectCut_ ? 0 : size * count;
}

std::size_t Transfer::onBody(char* data, std::size_t size, std::size_t count, void* user) {
  auto* self = static_cast<Transfer*>(user);
  const std::size_t length = size * count;
  self->moved();
  // Bytes before a final head: curl reads on as body whatever follows an interim head it did not expect (a
  // "101 Switching Protocols" nobody asked for), the real answer's head included. No answer was given.
  if (!self->headEnded_) {
    self->fail(URLError(URLError::Code::badServerResponse, "the answer has no final head before its body",
                        self->originalURL_));
    return CURL_WRITEFUNC_ERROR;
  }
  if (self->following_) {  // a redirect's own body is of no use
    self->redirectBodyRead_ += length;
    if (self->redirectBodyRead_ <= kRedirectBodyRead) return length;
    self->redirectCut_ = true;
    return CURL_WRITEFUNC_ERROR;
  }
  // A pause asked before curl started the transfer does not stick in curl itself; this one does, and curl
  // hands the chunk over again on resume.
  if (self->paused_ || (self->holdRequested_ && self->holdRequested_->load(std::memory_order_acquire))) {
    self->everPaused_ = true;
    return CURL_WRITEFUNC_PAUSE;
  }
  return self->receiveBody(data, length) ? length : CURL_WRITEFUNC_ERROR;
}

int Transfer::onSocketOpened(void* user, curl_socket_t socket, curlsocktype) {
  auto* self = static_cast<Transfer*>(user);
  if (self->sockets_) self->sockets_->opened(socket);
  self->connecting();
  return CURL_SOCKOPT_OK;
}

int Transfer::onConnected(void* user, char* peerIP, char*, int peerPort, int localPort) {
  auto* self = static_cast<Transfer*>(user);
  self->connecting();
  // Asked again within a hop with no byte of answer, curl is about to send the request once more: its kept
  // connection ended after the request went out (a refused expectation would have brought a head). The
  // server may have acted on it; only a request that does the same when repeated may go again.
  if (self->requestStarted_ && !self->neverSent_ && self->headBytes_ == 0 && !isIdempotent(self->request_.method)) {
    self->fail(URLError(URLError::Code::networkConnectionLost,
                        "the connection closed after the request went out, before any answer; a " +
                            self->request_.method.rawValue + " is not sent twice",
                        self->originalURL_));
    return CURL_PREREQFUNC_ABORT;
  }
  self->requestStarted_ = true;
  self->neverSent_ = false;
  if (self->sockets_) {
    self->socket_ = self->sockets_->find(peerIP, peerPort, localPort);
    if (self->socket_ != CURL_SOCKET_BAD && self->sockets_->shutDownIfUnasked(self->socket_)) {
      self->socket_ = CURL_SOCKET_BAD;
      self->neverSent_ = true;
    } else if (self->socket_ != CURL_SOCKET_BAD) {
      self->socketBytes_ = ConnectionSockets::bytesMoved(self->socket_).value_or(0);
    }
  }
  return CURL_PREREQFUNC_OK;
}

int Transfer::onProgress(void* user, curl_off_t, curl_off_t downloaded, curl_off_t, curl_off_t uploaded) {
  auto* self = static_cast<Transfer*>(user);
  if (downloaded != self->lastDownloaded_ || uploaded != self->lastUploaded_) {
    self->lastDownloaded_ = downloaded;
    self->lastUploaded_ = uploaded;
    self->moved();
  }
  return 0;
}

}  // namespace httpkit
