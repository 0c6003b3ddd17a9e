#pragma once
// Said first, so that a C++17 build stops on the reason and not deep inside a header.
#if __cplusplus < 202002L
#error "httpkit needs C++20: compile with -std=c++20 or later"
#endif
// httpkit: an HTTP client for JSON APIs over libcurl: APIClient, its delegate hooks, requests, responses
// and the URL errors of a transfer that got no answer.
//
// Example:
//   #include <httpkit/httpkit.hpp>
//
// Link httpkit::httpkit (CMake) or `pkg-config --libs httpkit`.
#include "httpkit/api_client.hpp"
#include "httpkit/api_client_delegate.hpp"
#include "httpkit/data_task.hpp"
#include "httpkit/errors.hpp"
#include "httpkit/http_headers.hpp"
#include "httpkit/http_method.hpp"
#include "httpkit/http_url_response.hpp"
#include "httpkit/request.hpp"
#include "httpkit/response.hpp"
#include "httpkit/task_metrics.hpp"
#include "httpkit/transfer_engine.hpp"
#include "httpkit/url_error.hpp"
#include "httpkit/url_request.hpp"
#include "httpkit/url_session_delegate.hpp"
