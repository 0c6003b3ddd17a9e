#include "vellum/general/vellum_error.hpp"

#include <cstdio>

#include "httpkit/url_error.hpp"
#include "vellum/image/image_codecs.hpp"

namespace vellum {
namespace {

template <class... Ts>
struct Overloaded : Ts... {
  using Ts::operator()...;
};
template <class... Ts>
Overloaded(Ts...) -> Overloaded<Ts...>;

// Library values that have no text of their own are written as their type and address.
std::string describeObject(const char* type, const void* object) {
  if (!object) return "nil";
  char text[96];
  std::snprintf(text, sizeof text, "<%s: %p>", type, object);
  return text;
}

std::string describe(const httpkit::URLRequest& request) { return "<URLRequest: " + request.url + ">"; }

std::string describe(const httpkit::HTTPURLResponse& response) {
  return "<HTTPURLResponse: " + response.url + " { Status Code: " + std::to_string(response.statusCode) + " }>";
}

std::string describeTask(const std::shared_ptr<SessionDataTask>& task) {
  return describeObject("SessionDataTask", task.get());
}

std::string describeAttributes(const std::map<std::string, std::string>& attributes) {
  std::string text = "[";
  bool first = true;
  for (const auto& [key, value] : attributes) {
    if (!first) text += ", ";
    first = false;
    text += key + ": " + value;
  }
  return text + "]";
}

// A name the application's own object gives (a processor's identifier, a provider's key, a serializer's
// text). Errors are made on the paths that answer callers, so a name that throws is shown as missing rather
// than ending the error, and with it the answer, on its way.
template <class Name>
std::string nameGiven(const Name& name) {
  try {
    return name();
  } catch (...) {
    return "<unavailable>";
  }
}

std::string describeProcessor(const std::shared_ptr<const ImageProcessor>& processor) {
  if (!processor) return "nil";
  return "ImageProcessor(identifier: \"" + nameGiven([&] { return processor->identifier(); }) + "\")";
}

// The system's low-data refusal: only this reason lets the retrieval fall back to its low-data source.
bool isConstrainedNetworkUnavailable(const httpkit::URLError& error) {
  return error.networkUnavailableReason() == httpkit::URLError::NetworkUnavailableReason::constrained;
}

}  // namespace

std::string describe(const UnderlyingError& error) {
  if (!error) return "nil";
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "unknown error";
  }
}

int VellumError::RequestErrorReason::code() const {
  static constexpr int codes[] = {1002, 1003, 1004, 1006, 1001, 1005};
  return codes[value.index()];
}

std::optional<std::string> VellumError::RequestErrorReason::description() const {
  return std::visit(
      Overloaded{
          [](const InvalidURL& r) -> std::string {
            return "The request contains an invalid or empty URL. Request: " + describe(r.request) + ".";
          },
          [](const TaskCancelled& r) -> std::string {
            return "The session task was cancelled. Task: " + describeTask(r.task) +
                   ", cancel token: " + std::to_string(r.token) + ".";
          },
          [](const LivePhotoTaskCancelled& r) -> std::string {
            return "The live photo download task was cancelled. Source: " +
                   describeObject("LivePhotoSource", r.source.get());
          },
          [](const DataProviderCancelled& r) -> std::string {
            return "The image data provider task was cancelled. Provider cache key: " +
                   (r.provider ? nameGiven([&] { return r.provider->cacheKey(); }) : std::string("nil"));
          },
          [](const EmptyRequest&) -> std::string { return "The request is empty or `nil`."; },
          [](const AsyncTaskContextCancelled&) -> std::string {
            return "The async task context was cancelled. This usually happens when the task is cancelled before "
                   "it starts.";
          },
      },
      value);
}

int VellumError::ResponseErrorReason::code() const { return 2001 + static_cast<int>(value.index()); }

std::optional<std::string> VellumError::ResponseErrorReason::description() const {
  return std::visit(
      Overloaded{
          [](const InvalidURLResponse& r) -> std::string {
            return "The URL response is invalid: " + describe(r.response);
          },
          [](const InvalidHTTPStatusCode& r) -> std::string {
            return "The HTTP status code in response is invalid. Code: " + std::to_string(r.response.statusCode) +
                   ", response: " + describe(r.response) + ".";
          },
          [](const URLSessionError& r) -> std::string {
            return "A URL session error happened. The underlying error: " + vellum::describe(r.error);
          },
          [](const DataModifyingFailed& r) -> std::string {
            return "The data modifying delegate returned `nil` for the downloaded data. Task: " +
                   describeTask(r.task) + ".";
          },
          [](const NoURLResponse& r) -> std::string {
            return "No URL response received. Task: " + describeTask(r.task) + ".";
          },
          [](const CancelledByDelegate& r) -> std::string {
            return "The downloading task is cancelled by the downloader delegate. Response: " +
                   describe(r.response) + ".";
          },
      },
      value);
}

int VellumError::CacheErrorReason::code() const { return 3001 + static_cast<int>(value.index()); }

std::optional<std::string> VellumError::CacheErrorReason::description() const {
  return std::visit(
      Overloaded{
          [](const FileEnumeratorCreationFailed& r) -> std::string {
            return "Cannot create file enumerator for URL: " + r.url + ".";
          },
          [](const InvalidFileEnumeratorContent& r) -> std::string {
            return "Cannot get contents from the file enumerator at URL: " + r.url + ".";
          },
          [](const InvalidURLResource& r) -> std::string {
            return "Cannot get URL resource values or data for the given URL: " + r.url + ". " +
                   "Cache key: " + r.key + ". Underlying error: " + vellum::describe(r.error);
          },
          [](const CannotLoadDataFromDisk& r) -> std::string {
            return "Cannot load data from disk at URL: " + r.url + ". Underlying error: " + vellum::describe(r.error);
          },
          [](const CannotCreateDirectory& r) -> std::string {
            return "Cannot create directory at given path: Path: " + r.path +
                   ". Underlying error: " + vellum::describe(r.error);
          },
          [](const ImageNotExisting& r) -> std::string {
            return std::string("The image is not in cache, but you requires it should only be ") +
                   "from cache by enabling the `.onlyFromCache` option. Key: " + r.key + ".";
          },
          [](const CannotConvertToData& r) -> std::string {
            return std::string("Cannot convert the input object to a `Data` object when storing it to disk cache. ") +
                   "Object: " + r.object + ". Underlying error: " + vellum::describe(r.error);
          },
          [](const CannotSerializeImage& r) -> std::string {
            const std::string image = r.image ? "Optional(" + r.image->description() + ")" : "nil";
            const std::string original =
                r.original ? "Optional(" + std::to_string(r.original->size()) + " bytes)" : "nil";
            return std::string("Cannot serialize an image due to the cache serializer returning `nil`. ") +
                   "Image: " + image + ", original data: " + original + ", " +
                   "serializer: " + (r.serializer ? nameGiven([&] { return r.serializer->description(); }) : std::string("nil")) + ".";
          },
          [](const CannotCreateCacheFile& r) -> std::string {
            return "Cannot create cache file at url: " + r.fileURL + ", key: " + r.key +
                   ", data length: " + std::to_string(r.data.size()) + ". " +
                   "Underlying foundation error: " + vellum::describe(r.error) + ".";
          },
          [](const CannotSetCacheFileAttribute& r) -> std::string {
            return "Cannot set file attribute for the cache file at path: " + r.filePath +
                   ", attributes: " + describeAttributes(r.attributes) + "." +
                   "Underlying foundation error: " + vellum::describe(r.error) + ".";
          },
          [](const DiskStorageIsNotReady& r) -> std::string {
            return "The disk storage is not ready to use yet at URL: '" + r.cacheURL + "'. " +
                   "This is usually caused by extremely lack of disk space. Ask users to free up some space and "
                   "restart the app.";
          },
          [](const MissingLivePhotoResourceOnDisk& r) -> std::string {
            return "The live photo resource '" + describeObject("LivePhotoResource", r.resource.get()) +
                   "' is missing in the cache. Usually a re-download" + " can fix this issue.";
          },
      },
      value);
}

int VellumError::ProcessorErrorReason::code() const { return 4001; }

std::optional<std::string> VellumError::ProcessorErrorReason::description() const {
  const auto& r = std::get<ProcessingFailed>(value);
  return "Processing image failed. Processor: " + describeProcessor(r.processor) +
         ". Processing item: " + r.item.description() + "." + (r.reason.empty() ? "" : " Reason: " + r.reason + ".");
}

VellumError::ProcessorErrorReason::ProcessingFailed VellumError::ProcessorErrorReason::ProcessingFailed::of(
    std::shared_ptr<const ImageProcessor> processor, ImageProcessItem item) {
  // Decoded once more, on the failure path only: the processor's answer is an image or nothing.
  std::string reason = item.isImage() ? std::string() : decodingFailure(item.dataValue()).value_or("");
  return {std::move(processor), std::move(item), std::move(reason)};
}

int VellumError::ImageSettingErrorReason::code() const {
  static constexpr int codes[] = {5002, 5003, 5004, 5005, 5006, 5001};
  return codes[value.index()];
}

std::optional<std::string> VellumError::ImageSettingErrorReason::description() const {
  return std::visit(
      Overloaded{
          [](const NotCurrentSourceTask& r) -> std::optional<std::string> {
            const std::string source = describeObject("Source", r.source.get());
            if (r.result) {
              return std::string("Retrieving resource succeeded, but this source is ") +
                     "not the one currently expected. Result: " +
                     describeObject("RetrieveImageResult", r.result.get()) + ". Resource: " + source + ".";
            }
            if (r.error) {
              return std::string("Retrieving resource failed, and this resource is ") +
                     "not the one currently expected. Error: " + vellum::describe(r.error) +
                     ". Resource: " + source + ".";
            }
            return std::nullopt;
          },
          [](const DataProviderError& r) -> std::optional<std::string> {
            return "Image data provider fails to provide data. Provider: " +
                   describeObject("ImageDataProvider", r.provider.get()) + ", error: " + vellum::describe(r.error);
          },
          [](const AlternativeSourcesExhausted& r) -> std::optional<std::string> {
            std::string list = "[";
            for (std::size_t i = 0; i < r.errors.size(); ++i) {
              if (i) list += ", ";
              list += describeObject("PropagationError", r.errors[i].get());
            }
            return "Image setting from alternative sources failed: " + list + "]";
          },
          [](const NotCurrentLivePhotoSourceTask& r) -> std::optional<std::string> {
            const std::string source = describeObject("LivePhotoSource", r.source.get());
            if (r.result) {
              return std::string("Retrieving live photo resource succeeded, but this source is ") +
                     "not the one currently expected. Result: " +
                     describeObject("RetrieveLivePhotoResult", r.result.get()) + ". Resource: " + source + ".";
            }
            if (r.error) {
              return std::string("Retrieving live photo resource failed, and this resource is ") +
                     "not the one currently expected. Error: " + vellum::describe(r.error) +
                     ". Resource: " + source + ".";
            }
            return std::nullopt;
          },
          [](const LivePhotoResultError& r) -> std::optional<std::string> {
            const std::string result =
                r.result ? "Optional(" + describeObject("RetrieveLivePhotoResult", r.result.get()) + ")" : "nil";
            const std::string error = r.error ? "Optional(" + vellum::describe(r.error) + ")" : "nil";
            return "An error occurred while processing live photo. Source: " +
                   describeObject("LivePhotoSource", r.source.get()) + ". " + "Result: " + result +
                   ". Error: " + error;
          },
          [](const EmptySource&) -> std::optional<std::string> { return "The input resource is empty."; },
      },
      value);
}

VellumError::VellumError(Reason reason) : reason_(std::move(reason)) {
  description_ = std::visit([](const auto& r) { return r.description(); }, reason_);
}

int VellumError::errorCode() const {
  return std::visit([](const auto& r) { return r.code(); }, reason_);
}

const char* VellumError::what() const noexcept { return description_ ? description_->c_str() : domain; }

bool VellumError::isTaskCancelled() const {
  const auto* r = requestReason();
  return r && (std::holds_alternative<RequestErrorReason::TaskCancelled>(r->value) ||
               std::holds_alternative<RequestErrorReason::AsyncTaskContextCancelled>(r->value));
}

bool VellumError::isInvalidResponseStatusCode() const {
  const auto* r = responseReason();
  return r && std::holds_alternative<ResponseErrorReason::InvalidHTTPStatusCode>(r->value);
}

bool VellumError::isInvalidResponseStatusCode(int statusCode) const {
  const auto* r = responseReason();
  if (!r) return false;
  const auto* invalid = std::get_if<ResponseErrorReason::InvalidHTTPStatusCode>(&r->value);
  return invalid && invalid->response.statusCode == statusCode;
}

bool VellumError::isNotCurrentTask() const {
  const auto* r = imageSettingReason();
  return r && std::holds_alternative<ImageSettingErrorReason::NotCurrentSourceTask>(r->value);
}

bool VellumError::isConstrainedNetworkFailure() const {
  const auto* r = responseReason();
  if (!r) return false;
  const auto* sessionError = std::get_if<ResponseErrorReason::URLSessionError>(&r->value);
  if (!sessionError || !sessionError->error) return false;
  try {
    std::rethrow_exception(sessionError->error);
  } catch (const httpkit::URLError& e) {
    return isConstrainedNetworkUnavailable(e);
  } catch (...) {
    return false;
  }
}

}  // namespace vellum
