#pragma once
// ImageDownloader: the network front of the image library. Given a URL and a caller's options it builds a
// request, lets the caller's modifier change it, and downloads the bytes over the downloader's one session.
// Callers of one URL share one transfer; each gets its own handle (to cancel its share or change its
// priority) and, on its own callback queue, its own image (its own processor applied) or a VellumError.
//
// Example, given const std::string& url, const vellum::VellumParsedOptionsInfo& options, std::stop_token stopToken,
//                std::function<void(vellum::ImagePtr)> show:
//   auto downloader = vellum::ImageDownloader::make("avatars");
//   auto handle = downloader->downloadImage(url, vellum::VellumParsedOptionsInfo{},
//       [show](const vellum::ImageDownloader::DownloadResult& result) { if (result) show(result.value().image); });
//   auto future = downloader->downloadImageAsync(url, options, stopToken);   // throws VellumError from get()
//
// Releasing a downloader answers every caller it still owes an answer with a cancelled URL error, whether
// its transfer was running or its image was being made.
//
// Requests offer the content codings the session decodes ("gzip, deflate, br") unless their modifier sets
// Accept-Encoding itself; an answer coded with one of them reaches the image decoder decoded.
//
// A subclass may replace the properties, the three `downloadImage` forms and the protected steps; make it
// with `ImageDownloader::create<T>(name, ...)`.
//
// Application code that throws (anything, not only std::exception) is logged and costs only what it was
// asked about; the session goes on with every other download:
//   - a decision takes the answer a refusal gives: a status rule rejects the status (`invalidHTTPStatusCode`),
//     a response hook cancels (`cancelledByDelegate`, unless it answered first), a data hook gives no bytes
//     (`dataModifyingFailed`), a request modifier gives no request (`emptyRequest`), a challenge responder
//     answers the default handling (certificate checks stay on);
//   - code of one caller (a data-received side effect, a redirect handler, a modifier's
//     `onDownloadTaskStarted`) cancels that caller alone (`taskCancelled`); a redirect is then decided by
//     the caller attached last among those left;
//   - a notice (`willDownloadImage`, `didFinishDownloadingImage`, `didDownloadImage`) changes nothing;
//   - a completion has had its answer; the next caller still gets its own.
//
// Threads: every member may be called from any thread. The delegate's and the challenge responder's hooks
// run on the session's one delegate queue (see their classes): a hook that blocks stalls every transfer of
// the downloader. Lock order: this downloader's lock, then its session delegate's, then a record's; no lock
// is held while a hook, delegate or completion runs.
// Lifetime: `default_()` lives for the whole process; others as long as they are referenced. Nothing a
// download holds keeps its downloader alive.
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <stop_token>
#include <string>

#include "foundation/result.hpp"
#include "httpkit/url_request.hpp"
#include "vellum/networking/download_task.hpp"
#include "vellum/image/image.hpp"
#include "vellum/networking/network_metrics.hpp"
#include "vellum/general/options.hpp"
#include "vellum/networking/session_configuration.hpp"
#include "vellum/networking/session_delegate.hpp"
#include "vellum/networking/transfer_store_ledger.hpp"
#include "vellum/general/vellum_error.hpp"

namespace vellum {

class URLSession;
class ImageDownloader;

// `originalData` is one buffer shared by every caller of the download, and so is `stores`: where the
// callers of the download have stored its image (none when the result was not made by a transfer).
struct ImageLoadingResult {
  ImagePtr image;
  std::optional<std::string> url;
  foundation::SharedBytes originalData;
  std::optional<NetworkMetrics> metrics;
  std::shared_ptr<TransferStoreLedger> stores;
};

struct LivePhotoResourceDownloadingResult {
  std::optional<std::string> url;
  foundation::SharedBytes originalData;
};

// Told of a downloader's life events; the defaults are what the downloader does without a delegate.
//
// Threads: `isValidStatusCode`, `didReceiveResponse`, `didDownloadData`, `didDownloadDataForURL` and, when
// a transfer ends, `didFinishDownloadingImage` run on the session's one delegate queue, which carries the
// events of every transfer of the downloader: a hook that blocks there stalls them all. A slow decision
// belongs elsewhere, answered later through the completion (`didReceiveResponse` may call it from any
// thread).
class ImageDownloaderDelegate {
 public:
  virtual ~ImageDownloaderDelegate() = default;
  virtual void willDownloadImage(ImageDownloader&, const std::string& /*url*/,
                                 const std::optional<httpkit::URLRequest>&) {}
  virtual void didFinishDownloadingImage(ImageDownloader&, const std::string& /*url*/,
                                         const std::optional<httpkit::HTTPURLResponse>&, const VellumError*) {}
  // The final bytes; none fails the download with `dataModifyingFailed`. What is answered is handed to
  // every caller as it is: answering `data` itself costs no copy.
  virtual std::optional<foundation::SharedBytes> didDownloadData(ImageDownloader& downloader,
                                                                 foundation::SharedBytes data,
                                                                 const SessionDataTask& task);
  virtual std::optional<foundation::SharedBytes> didDownloadDataForURL(ImageDownloader&, foundation::SharedBytes data,
                                                                       const std::string& /*url*/) {
    return data;
  }
  virtual void didDownloadImage(ImageDownloader&, const ImagePtr&, const std::string& /*url*/,
                                const std::optional<httpkit::HTTPURLResponse>&) {}
  // 200 to 399.
  virtual bool isValidStatusCode(int code, ImageDownloader&) { return code >= 200 && code <= 399; }
  virtual void didReceiveResponse(ImageDownloader&, const httpkit::HTTPURLResponse&,
                                  std::function<void(ResponseDisposition)> completion) {
    completion(ResponseDisposition::allow);
  }
};

// Answers authentication challenges; the defaults trust a server only for hosts in `trustedHosts`.
//
// Threads: both run on the session's one delegate queue, as the delegate's hooks do: one that blocks stalls
// every transfer of the downloader. Answer through the completion, from any thread, when it takes time.
class AuthenticationChallengeResponsible {
 public:
  virtual ~AuthenticationChallengeResponsible() = default;
  virtual void didReceiveChallenge(ImageDownloader& downloader, const URLAuthenticationChallenge& challenge,
                                   std::function<void(ChallengeAnswer)> completion);
  virtual void didReceiveTaskChallenge(ImageDownloader&, const URLSessionDataTask&, const URLAuthenticationChallenge&,
                                       std::function<void(ChallengeAnswer)> completion) {
    completion(ChallengeAnswer{});
  }
};

class ImageDownloader : public ImageDownloaderDelegate,
                        public AuthenticationChallengeResponsible,
                        public std::enable_shared_from_this<ImageDownloader> {
 public:
  using DownloadResult = foundation::Result<ImageLoadingResult, VellumError>;
  using Completion = std::function<void(const DownloadResult&)>;
  using LivePhotoResult = foundation::Result<LivePhotoResourceDownloadingResult, VellumError>;
  using ProgressBlock = std::function<void(std::int64_t receivedSize, std::int64_t totalSize)>;

  // One caller's prepared request: the final request (after its modifier) and the URL it goes to.
  struct DownloadingContext {
    std::string url;
    httpkit::URLRequest request;
    VellumParsedOptionsInfo options;
  };
  using ContextResult = foundation::Result<DownloadingContext, VellumError>;

  // REQUIRES: a non-empty name; an empty one stops the process with a message.
  static std::shared_ptr<ImageDownloader> make(std::string name);
  // Makes a subclass the way `make` makes a downloader: constructed, then its session handlers bound and
  // itself made its challenge responder. T's constructor takes the name first.
  template <class T, class... Args>
  static std::shared_ptr<T> create(Args&&... args) {
    auto downloader = std::make_shared<T>(std::forward<Args>(args)...);
    downloader->finishSetUp();
    return downloader;
  }
  // The shared downloader named "default", made on first use and never destroyed.
  static const std::shared_ptr<ImageDownloader>& default_();

  // REQUIRES: a non-empty name; an empty one stops the process with a message. Use `make` or `create`: a
  // downloader constructed alone has no session handlers bound yet.
  explicit ImageDownloader(std::string name);
  ~ImageDownloader() override;
  ImageDownloader(const ImageDownloader&) = delete;
  ImageDownloader& operator=(const ImageDownloader&) = delete;

  const std::string& name() const { return name_; }

  // Seconds; 15 by default. Applies to requests made afterwards, as the limit on connecting and on going
  // without any byte, never on the whole download. 0, a negative value, NaN or more than a day is taken as
  // 15 when the transfer starts: curl reads 0 as "no limit", and a stalled server would hold it forever.
  virtual double downloadTimeout() const;
  virtual void setDownloadTimeout(double seconds);
  virtual std::optional<std::set<std::string>> trustedHosts() const;
  virtual void setTrustedHosts(std::optional<std::set<std::string>> hosts);
  virtual bool requestsUsePipelining() const;
  virtual void setRequestsUsePipelining(bool use);
  virtual std::shared_ptr<ImageDownloaderDelegate> delegate() const;
  virtual void setDelegate(const std::shared_ptr<ImageDownloaderDelegate>& delegate);  // held weakly
  // The downloader itself until another is set; held weakly, and the downloader answers once it is gone.
  virtual std::shared_ptr<AuthenticationChallengeResponsible> authenticationChallengeResponder() const;
  virtual void setAuthenticationChallengeResponder(const std::shared_ptr<AuthenticationChallengeResponsible>& responder);

  // Replacing either rebuilds the session. Every download of the old session ends at once: its callers get
  // a cancelled URL error, and a download asked for afterwards starts a transfer of the new session rather
  // than joining one of the old.
  virtual SessionConfiguration sessionConfiguration() const;
  virtual void setSessionConfiguration(const SessionConfiguration& configuration);
  virtual std::shared_ptr<SessionDelegate> sessionDelegate() const;
  virtual void setSessionDelegate(std::shared_ptr<SessionDelegate> delegate);

  virtual std::shared_ptr<DownloadTask> downloadImage(const std::string& url, const VellumParsedOptionsInfo& options,
                                                      Completion completion = nullptr);
  virtual std::shared_ptr<DownloadTask> downloadImage(const std::string& url,
                                                      const std::optional<VellumOptionsInfo>& options,
                                                      ProgressBlock progressBlock, Completion completion);
  // A stop requested before the call starts nothing and answers `taskCancelled`; one requested later cancels
  // the download, and wins over an image not yet delivered.
  std::future<ImageLoadingResult> downloadImageAsync(const std::string& url, const VellumParsedOptionsInfo& options,
                                                     std::stop_token stop = {});
  std::future<ImageLoadingResult> downloadImageAsync(const std::string& url,
                                                     const std::optional<VellumOptionsInfo>& options,
                                                     ProgressBlock progressBlock, std::stop_token stop = {});

  // The bytes as served, never decoded into an image (a content coding of the answer is undone, as for every
  // download): the options' processor becomes the live-photo processor.
  std::shared_ptr<DownloadTask> downloadLivePhotoResource(const std::string& url, const VellumParsedOptionsInfo& options,
                                                          std::function<void(const LivePhotoResult&)> completion);
  std::future<LivePhotoResourceDownloadingResult> downloadLivePhotoResourceAsync(
      const std::string& url, const VellumParsedOptionsInfo& options, std::stop_token stop = {});

  void cancelAll();
  void cancel(const std::string& url);

  // While set, requests that may not use a constrained network fail as the system's low-data mode would.
  // Linux has no such mode; this is for tests.
  static void setNetworkConstrainedForTesting(bool constrained);

 protected:
  // The steps of a download, in the order they run; each may be replaced by a subclass, and the downloader
  // reaches every one of them through these virtuals.

  // Binds the session delegate's answering slots to this downloader (weakly).
  virtual void setupSessionHandler(const std::shared_ptr<SessionDelegate>& delegate);
  // The caller's entry on a transfer: its completion (none without one) and its options.
  virtual SessionDataTask::TaskCallback createTaskCallback(Completion completion, const VellumParsedOptionsInfo& options);
  // Builds the request and runs the options' modifier on it; `done` is called exactly once, later when the
  // modifier is asynchronous.
  virtual void createDownloadContext(const std::string& url, const VellumParsedOptionsInfo& options,
                                     std::function<void(ContextResult)> done);
  // In one step: joins the running transfer of the context's URL, or files a new one (not yet resumed).
  virtual std::shared_ptr<DownloadTask> addDownloadTask(const DownloadingContext& context,
                                                        SessionDataTask::TaskCallback callback);
  // Tells the delegate that a transfer ended, or that one caller's entry was cancelled.
  virtual void reportDidDownloadImageData(const std::string& url, const std::optional<httpkit::HTTPURLResponse>& response,
                                          const VellumError* error);
  // Adds the caller and resumes its transfer once; `beforeResume` gets the caller's handle first.
  virtual std::shared_ptr<DownloadTask> startDownloadTask(
      const DownloadingContext& context, SessionDataTask::TaskCallback callback,
      std::function<void(const std::shared_ptr<DownloadTask>&)> beforeResume);

 private:
  void finishSetUp();
  // What a new record does once its transfer has ended: hands the outcome to this downloader, if it lives.
  void bindCompletion(SessionDataTask& record, const DownloadingContext& context);
  // Swaps in a new session (and delegate, when given) and ends every download of the old one.
  void replaceSession(std::optional<SessionConfiguration> configuration, std::shared_ptr<SessionDelegate> delegate);
  static void taskDone(const std::weak_ptr<ImageDownloader>& weak, const DownloadingContext& context,
                       const std::weak_ptr<SessionDataTask>& record, const SessionDataTask::TaskResult& result,
                       const std::vector<SessionDataTask::TaskCallback>& callbacks);

  const std::string name_;
  mutable std::mutex propertyLock_;  // the property queue: guards the fields below up to `lock_`
  double downloadTimeout_ = 15.0;
  std::optional<std::set<std::string>> trustedHosts_;
  bool requestsUsePipelining_ = false;
  std::weak_ptr<ImageDownloaderDelegate> delegate_;
  std::weak_ptr<AuthenticationChallengeResponsible> authenticationChallengeResponder_;
  SessionConfiguration sessionConfiguration_;
  std::shared_ptr<SessionDelegate> sessionDelegate_;
  std::shared_ptr<URLSession> session_;
  // Makes finding a running transfer and starting a new one one step, and replacing the session another:
  // no caller joins a transfer of a session that is being replaced.
  std::mutex lock_;
};

}  // namespace vellum
