#pragma once
// ImageDownloader: the network front of the image library. Given a URL and a caller's options it builds a
// request, lets the caller's modifier change it, and downloads the bytes over the downloader's one session.
// Callers of one URL share one transfer; each gets its own handle (to cancel its share or change its
// priority) and, on its own callback queue, its own image (its own processor applied) or a VellumError.
//
//   auto downloader = vellum::ImageDownloader::make("avatars");
//   auto handle = downloader->downloadImage(url, vellum::VellumParsedOptionsInfo{},
//       [](const vellum::ImageDownloader::DownloadResult& result) { if (result) show(result.value().image); });
//   auto future = downloader->downloadImageAsync(url, options, stopToken);   // throws VellumError from get()
//
// Releasing a downloader answers every caller it still owes an answer with a cancelled URL error, whether
// its transfer was running or its image was being made.
//
// Threads: every member may be called from any thread. Lock order: this downloader's lock, then its session
// delegate's, then a record's; no lock is held while a hook, delegate or completion runs.
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
#include "vellum/general/vellum_error.hpp"

namespace vellum {

class URLSession;
class ImageDownloader;

struct ImageLoadingResult {
  ImagePtr image;
  std::optional<std::string> url;
  foundation::Bytes originalData;
  std::optional<NetworkMetrics> metrics;
};

struct LivePhotoResourceDownloadingResult {
  std::optional<std::string> url;
  foundation::Bytes originalData;
};

// Told of a downloader's life events; the defaults are what the downloader does without a delegate.
class ImageDownloaderDelegate {
 public:
  virtual ~ImageDownloaderDelegate() = default;
  virtual void willDownloadImage(ImageDownloader&, const std::string& /*url*/,
                                 const std::optional<httpkit::URLRequest>&) {}
  virtual void didFinishDownloadingImage(ImageDownloader&, const std::string& /*url*/,
                                         const std::optional<httpkit::HTTPURLResponse>&, const VellumError*) {}
  // The final bytes; none fails the download with `dataModifyingFailed`.
  virtual std::optional<foundation::Bytes> didDownloadData(ImageDownloader& downloader, foundation::Bytes data,
                                                           const SessionDataTask& task);
  virtual std::optional<foundation::Bytes> didDownloadDataForURL(ImageDownloader&, foundation::Bytes data,
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

class ImageDownloader final : public ImageDownloaderDelegate,
                              public AuthenticationChallengeResponsible,
                              public std::enable_shared_from_this<ImageDownloader> {
 public:
  using DownloadResult = foundation::Result<ImageLoadingResult, VellumError>;
  using Completion = std::function<void(const DownloadResult&)>;
  using LivePhotoResult = foundation::Result<LivePhotoResourceDownloadingResult, VellumError>;
  using ProgressBlock = std::function<void(std::int64_t receivedSize, std::int64_t totalSize)>;

  // REQUIRES: a non-empty name; an empty one stops the process with a message.
  static std::shared_ptr<ImageDownloader> make(std::string name);
  // The shared downloader named "default", made on first use and never destroyed.
  static const std::shared_ptr<ImageDownloader>& default_();
  ~ImageDownloader() override;

  const std::string& name() const { return name_; }

  // Seconds; 15 by default. Applies to requests made afterwards, as the limit on connecting and on going
  // without any byte, never on the whole download. 0, a negative value, NaN or more than a day is taken as
  // 15 when the transfer starts: curl reads 0 as "no limit", and a stalled server would hold it forever.
  double downloadTimeout() const;
  void setDownloadTimeout(double seconds);
  std::optional<std::set<std::string>> trustedHosts() const;
  void setTrustedHosts(std::optional<std::set<std::string>> hosts);
  bool requestsUsePipelining() const;
  void setRequestsUsePipelining(bool use);
  std::shared_ptr<ImageDownloaderDelegate> delegate() const;
  void setDelegate(const std::shared_ptr<ImageDownloaderDelegate>& delegate);  // held weakly
  std::shared_ptr<AuthenticationChallengeResponsible> authenticationChallengeResponder() const;
  void setAuthenticationChallengeResponder(const std::shared_ptr<AuthenticationChallengeResponsible>& responder);

  // Replacing either rebuilds the session; its running transfers end as cancelled.
  SessionConfiguration sessionConfiguration() const;
  void setSessionConfiguration(const SessionConfiguration& configuration);
  std::shared_ptr<SessionDelegate> sessionDelegate() const;
  void setSessionDelegate(std::shared_ptr<SessionDelegate> delegate);

  std::shared_ptr<DownloadTask> downloadImage(const std::string& url, const VellumParsedOptionsInfo& options,
                                              Completion completion = nullptr);
  std::shared_ptr<DownloadTask> downloadImage(const std::string& url, const std::optional<VellumOptionsInfo>& options,
                                              ProgressBlock progressBlock, Completion completion);
  // A stop request cancels the download, before or after its handle exists.
  std::future<ImageLoadingResult> downloadImageAsync(const std::string& url, const VellumParsedOptionsInfo& options,
                                                     std::stop_token stop = {});
  std::future<ImageLoadingResult> downloadImageAsync(const std::string& url,
                                                     const std::optional<VellumOptionsInfo>& options,
                                                     ProgressBlock progressBlock, std::stop_token stop = {});

  // The bytes as served, never decoded: the options' processor becomes the live-photo processor.
  std::shared_ptr<DownloadTask> downloadLivePhotoResource(const std::string& url, const VellumParsedOptionsInfo& options,
                                                          std::function<void(const LivePhotoResult&)> completion);
  std::future<LivePhotoResourceDownloadingResult> downloadLivePhotoResourceAsync(
      const std::string& url, const VellumParsedOptionsInfo& options, std::stop_token stop = {});

  void cancelAll();
  void cancel(const std::string& url);

  // While set, requests that may not use a constrained network fail as the system's low-data mode would.
  // Linux has no such mode; this is for tests.
  static void setNetworkConstrainedForTesting(bool constrained);

 private:
  struct Context {
    std::string url;
    httpkit::URLRequest request;
    VellumParsedOptionsInfo options;
  };

  explicit ImageDownloader(std::string name);
  void setupSessionHandler(const std::shared_ptr<SessionDelegate>& delegate);
  void createDownloadContext(const std::string& url, const VellumParsedOptionsInfo& options,
                             std::function<void(foundation::Result<Context, VellumError>)> done);
  std::shared_ptr<DownloadTask> addDownloadTask(const Context& context, SessionDataTask::TaskCallback callback);
  std::shared_ptr<DownloadTask> startDownloadTask(const Context& context, SessionDataTask::TaskCallback callback,
                                                  std::function<void(const std::shared_ptr<DownloadTask>&)> beforeResume);
  static void taskDone(const std::weak_ptr<ImageDownloader>& weak, const Context& context,
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
  std::mutex lock_;  // makes finding a running transfer and starting a new one one step
};

}  // namespace vellum
