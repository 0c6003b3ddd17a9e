#pragma once
// VellumError: the one error type of the image library. Five cases, each carrying a reason with a fixed code
// and a fixed English description built from the carried values.
//
// Example, given vellum::DiskStorage::Backend& disk, const foundation::Bytes& bytes, const std::string& key:
//   try { disk.store(bytes, key); }
//   catch (const vellum::VellumError& e) {
//     int code = e.errorCode();                 // 3009
//     auto text = e.errorDescription();         // "Cannot create cache file at url: file:///..."
//     bool fromTheCache = e.cacheReason() != nullptr;
//   }
#include <cstdint>
#include <exception>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "foundation/bytes.hpp"
#include "httpkit/http_url_response.hpp"
#include "httpkit/url_request.hpp"
#include "vellum/cache/cache_serializer.hpp"
#include "vellum/general/forward.hpp"
#include "vellum/image/image.hpp"
#include "vellum/sources/image_data_provider.hpp"
#include "vellum/image/image_processor.hpp"

namespace vellum {

// An underlying error as a reason carries it; its text is the exception's what().
using UnderlyingError = std::exception_ptr;

// The text of an underlying error.
std::string describe(const UnderlyingError& error);

class VellumError : public std::exception {
 public:
  struct RequestErrorReason {
    struct InvalidURL { httpkit::URLRequest request; };
    struct TaskCancelled { std::shared_ptr<SessionDataTask> task; std::int64_t token = 0; };
    struct LivePhotoTaskCancelled { std::shared_ptr<const LivePhotoSource> source; };
    struct DataProviderCancelled { std::shared_ptr<const ImageDataProvider> provider; };
    struct EmptyRequest {};
    struct AsyncTaskContextCancelled {};
    using Value = std::variant<InvalidURL, TaskCancelled, LivePhotoTaskCancelled, DataProviderCancelled,
                               EmptyRequest, AsyncTaskContextCancelled>;

    template <class Case>
    RequestErrorReason(Case c) : value(std::move(c)) {}
    int code() const;
    std::optional<std::string> description() const;
    Value value;
  };

  struct ResponseErrorReason {
    struct InvalidURLResponse { httpkit::HTTPURLResponse response; };
    struct InvalidHTTPStatusCode { httpkit::HTTPURLResponse response; };
    struct URLSessionError { UnderlyingError error; };
    struct DataModifyingFailed { std::shared_ptr<SessionDataTask> task; };
    struct NoURLResponse { std::shared_ptr<SessionDataTask> task; };
    struct CancelledByDelegate { httpkit::HTTPURLResponse response; };
    using Value = std::variant<InvalidURLResponse, InvalidHTTPStatusCode, URLSessionError, DataModifyingFailed,
                               NoURLResponse, CancelledByDelegate>;

    template <class Case>
    ResponseErrorReason(Case c) : value(std::move(c)) {}
    int code() const;
    std::optional<std::string> description() const;
    Value value;
  };

  struct CacheErrorReason {
    struct FileEnumeratorCreationFailed { std::string url; };
    struct InvalidFileEnumeratorContent { std::string url; };
    struct InvalidURLResource { UnderlyingError error; std::string key; std::string url; };
    struct CannotLoadDataFromDisk { std::string url; UnderlyingError error; };
    struct CannotCreateDirectory { std::string path; UnderlyingError error; };
    struct ImageNotExisting { std::string key; };
    // `object` is the text of the value that could not be converted.
    struct CannotConvertToData { std::string object; UnderlyingError error; };
    struct CannotSerializeImage {
      ImagePtr image;
      std::optional<foundation::Bytes> original;
      std::shared_ptr<const CacheSerializer> serializer;
    };
    struct CannotCreateCacheFile { std::string fileURL; std::string key; foundation::Bytes data; UnderlyingError error; };
    struct CannotSetCacheFileAttribute {
      std::string filePath;
      std::map<std::string, std::string> attributes;
      UnderlyingError error;
    };
    struct DiskStorageIsNotReady { std::string cacheURL; };
    struct MissingLivePhotoResourceOnDisk { std::shared_ptr<const LivePhotoResource> resource; };
    using Value = std::variant<FileEnumeratorCreationFailed, InvalidFileEnumeratorContent, InvalidURLResource,
                               CannotLoadDataFromDisk, CannotCreateDirectory, ImageNotExisting, CannotConvertToData,
                               CannotSerializeImage, CannotCreateCacheFile, CannotSetCacheFileAttribute,
                               DiskStorageIsNotReady, MissingLivePhotoResourceOnDisk>;

    template <class Case>
    CacheErrorReason(Case c) : value(std::move(c)) {}
    int code() const;
    std::optional<std::string> description() const;
    Value value;
  };

  struct ProcessorErrorReason {
    struct ProcessingFailed {
      std::shared_ptr<const ImageProcessor> processor;
      ImageProcessItem item;
      // Why the data is no image, in its decoder's words; empty for an image, or for data that decodes.
      std::string reason = {};
      // The failure of `processor` over `item`, with the decoder's reason when the item is data.
      static ProcessingFailed of(std::shared_ptr<const ImageProcessor> processor, ImageProcessItem item);
    };
    using Value = std::variant<ProcessingFailed>;

    template <class Case>
    ProcessorErrorReason(Case c) : value(std::move(c)) {}
    int code() const;
    std::optional<std::string> description() const;
    Value value;
  };

  struct ImageSettingErrorReason {
    struct NotCurrentSourceTask {
      std::shared_ptr<const RetrieveImageResult> result;
      UnderlyingError error;
      std::shared_ptr<const Source> source;
    };
    struct DataProviderError { std::shared_ptr<const ImageDataProvider> provider; UnderlyingError error; };
    struct AlternativeSourcesExhausted { std::vector<std::shared_ptr<const PropagationError>> errors; };
    struct NotCurrentLivePhotoSourceTask {
      std::shared_ptr<const RetrieveLivePhotoResult> result;
      UnderlyingError error;
      std::shared_ptr<const LivePhotoSource> source;
    };
    struct LivePhotoResultError {
      std::shared_ptr<const RetrieveLivePhotoResult> result;
      UnderlyingError error;
      std::shared_ptr<const LivePhotoSource> source;
    };
    struct EmptySource {};
    using Value = std::variant<NotCurrentSourceTask, DataProviderError, AlternativeSourcesExhausted,
                               NotCurrentLivePhotoSourceTask, LivePhotoResultError, EmptySource>;

    template <class Case>
    ImageSettingErrorReason(Case c) : value(std::move(c)) {}
    int code() const;
    std::optional<std::string> description() const;
    Value value;
  };

  enum class Case { requestError, responseError, cacheError, processorError, imageSettingError };

  static VellumError requestError(RequestErrorReason reason) { return VellumError(std::move(reason)); }
  static VellumError responseError(ResponseErrorReason reason) { return VellumError(std::move(reason)); }
  static VellumError cacheError(CacheErrorReason reason) { return VellumError(std::move(reason)); }
  static VellumError processorError(ProcessorErrorReason reason) { return VellumError(std::move(reason)); }
  static VellumError imageSettingError(ImageSettingErrorReason reason) { return VellumError(std::move(reason)); }

  static constexpr const char* domain = "com.marrowby.Vellum.Error";

  Case errorCase() const { return static_cast<Case>(reason_.index()); }
  int errorCode() const;
  // Absent only for the two not-current-task reasons when they carry neither a result nor an error.
  const std::optional<std::string>& errorDescription() const { return description_; }
  const char* what() const noexcept override;

  // The reason of each case; null when the error is of another case.
  const RequestErrorReason* requestReason() const { return std::get_if<RequestErrorReason>(&reason_); }
  const ResponseErrorReason* responseReason() const { return std::get_if<ResponseErrorReason>(&reason_); }
  const CacheErrorReason* cacheReason() const { return std::get_if<CacheErrorReason>(&reason_); }
  const ProcessorErrorReason* processorReason() const { return std::get_if<ProcessorErrorReason>(&reason_); }
  const ImageSettingErrorReason* imageSettingReason() const { return std::get_if<ImageSettingErrorReason>(&reason_); }

  // The request's task was cancelled (`taskCancelled` or `asyncTaskContextCancelled`), and nothing else.
  bool isTaskCancelled() const;
  bool isInvalidResponseStatusCode() const;
  bool isInvalidResponseStatusCode(int statusCode) const;
  bool isNotCurrentTask() const;
  // A URL session error saying the system refused the request in its low-data mode.
  bool isConstrainedNetworkFailure() const;

 private:
  using Reason = std::variant<RequestErrorReason, ResponseErrorReason, CacheErrorReason, ProcessorErrorReason,
                              ImageSettingErrorReason>;
  explicit VellumError(Reason reason);

  Reason reason_;
  std::optional<std::string> description_;
};

}  // namespace vellum
