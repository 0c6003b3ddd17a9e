// Every reason's code and text, and the predicates callers use to tell cancellations from failures.
#include <gtest/gtest.h>

#include <optional>
#include <stdexcept>

#include "httpkit/url_error.hpp"

#include "test_images.hpp"
#include "vellum/general/vellum_error.hpp"

namespace vellum {
namespace {

using Request = VellumError::RequestErrorReason;
using Response = VellumError::ResponseErrorReason;
using Cache = VellumError::CacheErrorReason;
using Processor = VellumError::ProcessorErrorReason;
using Setting = VellumError::ImageSettingErrorReason;

UnderlyingError boom() { return std::make_exception_ptr(std::runtime_error("boom")); }

httpkit::HTTPURLResponse response(int status) {
  httpkit::HTTPURLResponse r;
  r.statusCode = status;
  r.url = "https://x.test/a.png";
  return r;
}

struct Provider : ImageDataProvider {
  std::string cacheKey() const override { return "provider-key"; }
  void data(Handler handler) const override { handler(DataResult::success({})); }
  std::unique_ptr<ImageDataProvider> clone() const override { return std::make_unique<Provider>(*this); }
};

void expectError(const VellumError& e, int code, const std::string& text) {
  EXPECT_EQ(e.errorCode(), code) << text;
  ASSERT_TRUE(e.errorDescription()) << code;
  EXPECT_EQ(*e.errorDescription(), text) << code;
  EXPECT_STREQ(e.what(), text.c_str());
}

TEST(VellumErrorTexts, RequestReasons) {
  httpkit::URLRequest request;
  request.url = "https://x.test/a.png";
  expectError(VellumError::requestError(Request::EmptyRequest{}), 1001, "The request is empty or `nil`.");
  expectError(VellumError::requestError(Request::InvalidURL{request}), 1002,
              "The request contains an invalid or empty URL. Request: <URLRequest: https://x.test/a.png>.");
  expectError(VellumError::requestError(Request::TaskCancelled{nullptr, 7}), 1003,
              "The session task was cancelled. Task: nil, cancel token: 7.");
  expectError(VellumError::requestError(Request::LivePhotoTaskCancelled{nullptr}), 1004,
              "The live photo download task was cancelled. Source: nil");
  expectError(VellumError::requestError(Request::AsyncTaskContextCancelled{}), 1005,
              "The async task context was cancelled. This usually happens when the task is cancelled before it "
              "starts.");
  expectError(VellumError::requestError(Request::DataProviderCancelled{std::make_shared<Provider>()}), 1006,
              "The image data provider task was cancelled. Provider cache key: provider-key");
}

TEST(VellumErrorTexts, ResponseReasons) {
  const std::string r500 = "<HTTPURLResponse: https://x.test/a.png { Status Code: 500 }>";
  expectError(VellumError::responseError(Response::InvalidURLResponse{response(500)}), 2001,
              "The URL response is invalid: " + r500);
  expectError(VellumError::responseError(Response::InvalidHTTPStatusCode{response(500)}), 2002,
              "The HTTP status code in response is invalid. Code: 500, response: " + r500 + ".");
  expectError(VellumError::responseError(Response::URLSessionError{boom()}), 2003,
              "A URL session error happened. The underlying error: boom");
  expectError(VellumError::responseError(Response::DataModifyingFailed{nullptr}), 2004,
              "The data modifying delegate returned `nil` for the downloaded data. Task: nil.");
  expectError(VellumError::responseError(Response::NoURLResponse{nullptr}), 2005,
              "No URL response received. Task: nil.");
  expectError(VellumError::responseError(Response::CancelledByDelegate{response(500)}), 2006,
              "The downloading task is cancelled by the downloader delegate. Response: " + r500 + ".");
}

TEST(VellumErrorTexts, CacheReasons) {
  expectError(VellumError::cacheError(Cache::FileEnumeratorCreationFailed{"file:///c"}), 3001,
              "Cannot create file enumerator for URL: file:///c.");
  expectError(VellumError::cacheError(Cache::InvalidFileEnumeratorContent{"file:///c"}), 3002,
              "Cannot get contents from the file enumerator at URL: file:///c.");
  expectError(VellumError::cacheError(Cache::InvalidURLResource{boom(), "k", "file:///c/f"}), 3003,
              "Cannot get URL resource values or data for the given URL: file:///c/f. Cache key: k. Underlying "
              "error: boom");
  expectError(VellumError::cacheError(Cache::CannotLoadDataFromDisk{"file:///c/f", boom()}), 3004,
              "Cannot load data from disk at URL: file:///c/f. Underlying error: boom");
  expectError(VellumError::cacheError(Cache::CannotCreateDirectory{"/c", boom()}), 3005,
              "Cannot create directory at given path: Path: /c. Underlying error: boom");
  expectError(VellumError::cacheError(Cache::ImageNotExisting{"k"}), 3006,
              "The image is not in cache, but you requires it should only be from cache by enabling the "
              "`.onlyFromCache` option. Key: k.");
  expectError(VellumError::cacheError(Cache::CannotConvertToData{"obj", boom()}), 3007,
              "Cannot convert the input object to a `Data` object when storing it to disk cache. Object: obj. "
              "Underlying error: boom");
  expectError(VellumError::cacheError(Cache::CannotSerializeImage{nullptr, std::nullopt, nullptr}), 3008,
              "Cannot serialize an image due to the cache serializer returning `nil`. Image: nil, original data: "
              "nil, serializer: nil.");
  auto image = Image::make(test::gradient(3, 2));
  expectError(VellumError::cacheError(Cache::CannotSerializeImage{image, foundation::Bytes(5),
                                                                  DefaultCacheSerializer::defaultSerializer()}),
              3008,
              "Cannot serialize an image due to the cache serializer returning `nil`. Image: Optional(<Image 3x2 "
              "@1x>), original data: Optional(5 bytes), serializer: DefaultCacheSerializer(compressionQuality: 1, "
              "preferCacheOriginalData: false).");
  expectError(VellumError::cacheError(Cache::CannotCreateCacheFile{"file:///c/f", "k", foundation::Bytes(12), boom()}),
              3009,
              "Cannot create cache file at url: file:///c/f, key: k, data length: 12. Underlying foundation error: "
              "boom.");
  // No blank between the attributes' full stop and "Underlying".
  expectError(VellumError::cacheError(Cache::CannotSetCacheFileAttribute{"/c/f", {{"a", "1"}, {"b", "2"}}, boom()}),
              3010,
              "Cannot set file attribute for the cache file at path: /c/f, attributes: [a: 1, b: 2].Underlying "
              "foundation error: boom.");
  expectError(VellumError::cacheError(Cache::DiskStorageIsNotReady{"file:///c"}), 3011,
              "The disk storage is not ready to use yet at URL: 'file:///c'. This is usually caused by extremely "
              "lack of disk space. Ask users to free up some space and restart the app.");
  expectError(VellumError::cacheError(Cache::MissingLivePhotoResourceOnDisk{nullptr}), 3012,
              "The live photo resource 'nil' is missing in the cache. Usually a re-download can fix this issue.");
}

TEST(VellumErrorTexts, ProcessorAndSettingReasons) {
  expectError(VellumError::processorError(Processor::ProcessingFailed{
                  std::make_shared<DefaultImageProcessor>("p"), ImageProcessItem::data(foundation::Bytes(4))}),
              4001,
              "Processing image failed. Processor: ImageProcessor(identifier: \"p\"). Processing item: data(4 "
              "bytes).");
  expectError(VellumError::imageSettingError(Setting::EmptySource{}), 5001, "The input resource is empty.");
  expectError(VellumError::imageSettingError(Setting::NotCurrentSourceTask{nullptr, boom(), nullptr}), 5002,
              "Retrieving resource failed, and this resource is not the one currently expected. Error: boom. "
              "Resource: nil.");
  expectError(VellumError::imageSettingError(Setting::DataProviderError{nullptr, boom()}), 5003,
              "Image data provider fails to provide data. Provider: nil, error: boom");
  expectError(VellumError::imageSettingError(Setting::AlternativeSourcesExhausted{{}}), 5004,
              "Image setting from alternative sources failed: []");
  expectError(VellumError::imageSettingError(Setting::NotCurrentLivePhotoSourceTask{nullptr, boom(), nullptr}), 5005,
              "Retrieving live photo resource failed, and this resource is not the one currently expected. Error: "
              "boom. Resource: nil.");
  expectError(VellumError::imageSettingError(Setting::LivePhotoResultError{nullptr, nullptr, nullptr}), 5006,
              "An error occurred while processing live photo. Source: nil. Result: nil. Error: nil");
  expectError(VellumError::imageSettingError(Setting::LivePhotoResultError{nullptr, boom(), nullptr}), 5006,
              "An error occurred while processing live photo. Source: nil. Result: nil. Error: Optional(boom)");

  // Neither result nor error: no description at all.
  EXPECT_FALSE(VellumError::imageSettingError(Setting::NotCurrentSourceTask{}).errorDescription());
  EXPECT_FALSE(VellumError::imageSettingError(Setting::NotCurrentLivePhotoSourceTask{}).errorDescription());
  EXPECT_STREQ(VellumError::domain, "com.marrowby.Vellum.Error");
}

TEST(VellumErrorPredicates, CancellationStatusAndStaleness) {
  EXPECT_TRUE(VellumError::requestError(Request::TaskCancelled{nullptr, 1}).isTaskCancelled());
  EXPECT_TRUE(VellumError::requestError(Request::AsyncTaskContextCancelled{}).isTaskCancelled());
  EXPECT_FALSE(VellumError::requestError(Request::LivePhotoTaskCancelled{nullptr}).isTaskCancelled());
  EXPECT_FALSE(VellumError::requestError(Request::DataProviderCancelled{nullptr}).isTaskCancelled());
  EXPECT_FALSE(VellumError::requestError(Request::EmptyRequest{}).isTaskCancelled());

  auto status500 = VellumError::responseError(Response::InvalidHTTPStatusCode{response(500)});
  EXPECT_TRUE(status500.isInvalidResponseStatusCode());
  EXPECT_TRUE(status500.isInvalidResponseStatusCode(500));
  EXPECT_FALSE(status500.isInvalidResponseStatusCode(404));
  EXPECT_FALSE(
      VellumError::responseError(Response::CancelledByDelegate{response(404)}).isInvalidResponseStatusCode(404));
  EXPECT_TRUE(VellumError::imageSettingError(Setting::NotCurrentSourceTask{}).isNotCurrentTask());
  EXPECT_FALSE(VellumError::imageSettingError(Setting::NotCurrentLivePhotoSourceTask{}).isNotCurrentTask());

  using Unavailable = httpkit::URLError::NetworkUnavailableReason;
  const auto constrained = [](UnderlyingError underlying) {
    return VellumError::responseError(Response::URLSessionError{underlying}).isConstrainedNetworkFailure();
  };
  const auto refused = [](std::optional<Unavailable> reason) {
    return std::make_exception_ptr(httpkit::URLError(httpkit::URLError::Code::notConnectedToInternet, {}, {}, reason));
  };
  EXPECT_TRUE(constrained(refused(Unavailable::constrained)));
  EXPECT_FALSE(constrained(refused(Unavailable::expensive)) || constrained(refused(std::nullopt)) ||
               constrained(boom()) || constrained(nullptr));
  EXPECT_FALSE(VellumError::cacheError(Cache::ImageNotExisting{"k"}).isConstrainedNetworkFailure());
}

}  // namespace
}  // namespace vellum
