#pragma once
// Building the absolute URL of a call from the client's base URL, the request's path (already
// percent-encoded, used as it is) and its query items (plain text, encoded here). Every failure is a
// `URLError` with the code `badURL` that says what was wrong, raised before anything is sent.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "httpkit/request.hpp"

namespace httpkit {

// A client's base URL, checked and cut once for all the calls joined to it.
class BaseURL {
 public:
  explicit BaseURL(std::optional<std::string> text);
  const std::optional<std::string>& text() const { return text_; }
  // Scheme, authority and path without its trailing "/"s; none without a base URL or with one that is not
  // valid (each call then fails as it checks it).
  const std::optional<std::string>& head() const { return head_; }

 private:
  std::optional<std::string> text_;
  std::optional<std::string> head_;
};

std::string buildURL(const BaseURL& base, std::string_view path, const std::vector<QueryItem>& query);
std::string buildURL(const std::optional<std::string>& baseURL, std::string_view path,
                     const std::vector<QueryItem>& query);

// Checks that `url` is an absolute http(s) URL with a host and returns it unchanged.
std::string checkedAbsoluteURL(const std::string& url, std::string_view what);

// Percent-encodes a query item's name or value: everything but unreserved characters and a few
// delimiters that are unambiguous inside a query component. '&', '=', '+' and '#' are always encoded.
std::string encodeQueryComponent(std::string_view text);

}  // namespace httpkit
