#include "vadar/core/vadar_api_client_delegate.hpp"

#include "core/api_client_setup.hpp"
#include "core/request_preprocessors.hpp"
#include "core/response_processors.hpp"
#include "httpkit/transfer_engine.hpp"
#include "vadar/core/vadar.hpp"

namespace vadar {

void VadarAPIClientDelegate::willSendRequest(httpkit::APIClient&, httpkit::URLRequest& request) {
  // One snapshot for the whole request: proxy, debug mode and client id as they are now.
  const Vadar::RequestContext context = Vadar::shared()->requestContext();
  const std::string instance = instance_.value_or(context.frontendApiUrl);
  // The installed client is the current instance's: its id goes to no other.
  const auto clientId = instance == context.frontendApiUrl ? context.clientId : std::nullopt;
  if (auto url = core::EditableURL::of(request)) {
    core::VadarProxyRequestProcessor::process(*url, context.proxyConfiguration);
    core::VadarQueryItemsRequestProcessor::process(*url);
    request.url = url->joined();
  }
  core::VadarHeaderRequestProcessor::process(request, instance, context.debugMode, clientId);
  core::VadarFormEncodingRequestProcessor::process(request);
}

void VadarAPIClientDelegate::validateResponse(httpkit::APIClient&, const httpkit::HTTPURLResponse& response,
                                              const httpkit::Bytes& data, const httpkit::DataTask& task) {
  core::ParsedBody body;
  if (!data.empty()) {
    try {
      body = core::parseBody(data);
    } catch (const std::exception&) {
      // Not JSON: the processors that read the body find nothing in it.
    }
  }
  // Looked up once for the whole answer: every processor sees the same object.
  const std::shared_ptr<Vadar> vadar = Vadar::shared();
  const std::string instance = instance_ ? *instance_ : vadar->frontendApiUrl();
  // An answer a redirect fetched from another origin answers the call, but what it says of the instance (its
  // device token, its client, its sign-ins) is not the instance's to take: another origin could plant its own.
  // Most answers come from the address asked, unredirected: that needs no parse.
  if (response.url == task.originalRequest.url || httpkit::sameOrigin(response.url, task.originalRequest.url)) {
    core::VadarDeviceTokenRequestProcessor::process(response, instance, vadar.get());
    core::VadarClientSyncRequestProcessor::process(body, data, instance, vadar);
    core::VadarAuthEventRequestProcessor::process(body, instance);
  } else {
    core::VadarClientSyncRequestProcessor::process(body, data, instance, nullptr);
  }
  core::VadarErrorThrowingRequestProcessor::process(response, body);
  core::VadarInvalidAuthRequestProcessor::process(body, task);
}

bool VadarAPIClientDelegate::shouldRetry(httpkit::APIClient&, const httpkit::DataTask& task,
                                         const std::exception_ptr& error, int attempts) {
  return core::VadarAssertionRequestRetrier::shouldRetry(task, error, attempts);
}

}  // namespace vadar
