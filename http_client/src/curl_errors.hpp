#pragma once
#include <curl/curl.h>

#include <string>

#include "httpkit/url_error.hpp"

namespace httpkit {

// The URL error a failed libcurl transfer stands for; `detail` is curl's own message when it gave one.
URLError urlErrorFromCurl(CURLcode code, const char* detail, const std::string& url);

}  // namespace httpkit
