#include "httpkit/api_client.hpp"

#include <optional>

#include "url_builder.hpp"

namespace httpkit {

namespace {

// Collects one whole answer for a `send`; the transfer runs on the sending thread.
class BufferedTransfer final : public TransferObserver {
 public:
  void didReceiveResponse(const HTTPURLResponse& response) override { response_ = response; }
  void didReceiveData(std::span<const std::uint8_t> bytes) override {
    data_.insert(data_.end(), bytes.begin(), bytes.end());
  }
  void didComplete(const std::optional<URLError>& error, const TaskMetrics& metrics) override {
    error_ = error;
    metrics_ = metrics;
  }

  const std::optional<URLError>& error() const { return error_; }
  HTTPURLResponse& response() { return response_; }
  Bytes& data() { return data_; }
  const TaskMetrics& metrics() const { return metrics_; }

 private:
  std::optional<URLError> error_;
  HTTPURLResponse response_;
  Bytes data_;
  TaskMetrics metrics_;
};

nlohmann::json defaultDecode(const Bytes& data) { return nlohmann::json::parse(data.begin(), data.end()); }

Bytes defaultEncode(const nlohmann::json& value) {
  const std::string text = value.dump();
  return Bytes(text.begin(), text.end());
}

}  // namespace

APIClient::Configuration::Configuration(std::optional<std::string> baseURL_)
    : baseURL(std::move(baseURL_)), decoder(&defaultDecode), encoder(&defaultEncode) {}

APIClient::APIClient(std::optional<std::string> baseURL, const std::function<void(Configuration&)>& configure)
    : APIClient([&] {
        Configuration configuration(std::move(baseURL));
        if (configure) configure(configuration);
        return configuration;
      }()) {}

APIClient::APIClient(Configuration configuration)
    : configuration_(std::move(configuration)),
      delegate_(configuration_.delegate ? configuration_.delegate : std::make_shared<APIClientDelegate>()),
      engine_(std::make_shared<TransferEngine>()) {
  if (!configuration_.decoder) configuration_.decoder = &defaultDecode;
  if (!configuration_.encoder) configuration_.encoder = &defaultEncode;
  const auto& session = configuration_.sessionConfiguration;
  transferOptions_.additionalHeaders = session.additionalHTTPHeaders;
  transferOptions_.connectTimeout = session.connectTimeout;
  transferOptions_.idleTimeout = session.timeoutIntervalForRequest;
  transferOptions_.resourceTimeout = session.timeoutIntervalForResource;
  transferOptions_.maximumBodySize = session.maximumResponseSize;
}

APIClient::~APIClient() = default;

std::string APIClient::makeURL(const AnyRequest& request) {
  if (auto custom = delegate_->makeURLForRequest(*this, request)) return checkedAbsoluteURL(*custom, "delegate's URL");
  return buildURL(configuration_.baseURL, request.path, request.query);
}

URLRequest APIClient::makeURLRequest(const AnyRequest& request) {
  URLRequest urlRequest;
  urlRequest.url = makeURL(request);
  urlRequest.method = request.method;
  urlRequest.headers = request.headers;
  if (request.body) {
    try {
      urlRequest.body = configuration_.encoder(*request.body);
    } catch (const EncodingError&) {
      throw;
    } catch (const std::exception& e) {
      throw EncodingError(e.what());
    }
    if (!urlRequest.headers.contains("Content-Type") &&
        !configuration_.sessionConfiguration.additionalHTTPHeaders.contains("Content-Type")) {
      urlRequest.headers.set("Content-Type", "application/json");
    }
  }
  return urlRequest;
}

RawResponse APIClient::transfer(DataTask& task, const std::stop_token& stop) {
  BufferedTransfer observer;
  engine_->perform(task.originalRequest, transferOptions_, observer, stop);
  if (observer.error()) throw *observer.error();
  return RawResponse{std::move(observer.response()), std::move(observer.data()), std::move(task), observer.metrics()};
}

RawResponse APIClient::data(const AnyRequest& request, std::stop_token stop) {
  const URLRequest first = makeURLRequest(request);
  for (int attempts = 1;; ++attempts) {
    if (stop.stop_requested()) throw URLError(URLError::Code::cancelled, {}, first.url);
    URLRequest attempt = first;
    delegate_->willSendRequest(*this, attempt);
    DataTask task{nextTaskIdentifier_.fetch_add(1), std::move(attempt)};

    std::exception_ptr failure;
    std::optional<RawResponse> response;
    try {
      response = transfer(task, stop);
    } catch (const URLError& error) {
      // A cancelled send stays cancelled: offering it for a retry could only loop.
      if (error.code() == URLError::Code::cancelled) throw;
      failure = std::current_exception();
    }
    if (response) {
      try {
        delegate_->validateResponse(*this, response->response, response->data, response->task);
        return std::move(*response);
      } catch (...) {
        failure = std::current_exception();
      }
    }
    if (!delegate_->shouldRetry(*this, response ? response->task : task, failure, attempts)) {
      std::rethrow_exception(failure);
    }
  }
}

nlohmann::json APIClient::decodeJSON(const Bytes& data, const std::type_info& type) const {
  if (data.empty()) throw DecodingError(detail::typeName(type), "the body is empty");
  try {
    return configuration_.decoder(data);
  } catch (const std::exception& e) {
    throw DecodingError(detail::typeName(type), e.what());
  }
}

}  // namespace httpkit
