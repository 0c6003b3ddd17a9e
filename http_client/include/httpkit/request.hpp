#pragma once
// The description of one call: path, method, query, JSON body, header fields and an optional id. The type
// parameter is what the answer's body decodes into:
//   Request<User>                 the body is decoded into a User (through nlohmann::json's from_json);
//   Request<std::optional<User>>  an empty body gives no value, any other body is decoded;
//   Request<void>                 the body is not decoded (the bytes stay in the response's `data`).
//
// Example:
//   httpkit::Request<nlohmann::json> r{"/v1/me"};
//   httpkit::Request<void> bye{"/v1/sessions/abc", httpkit::HTTPMethod::delete_};
//   bye.query = {{"force", std::nullopt}};   // "?force"
//
// `path` is used exactly as given: percent-encode its segments first. It is either a path relative to the
// client's base URL (an empty path means "/") or an absolute http(s) URL.
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "httpkit/http_headers.hpp"
#include "httpkit/http_method.hpp"

namespace httpkit {

struct QueryItem {
  std::string name;
  std::optional<std::string> value;  // none: the item is written as its bare name

  friend bool operator==(const QueryItem&, const QueryItem&) = default;
};

// The part of a request that does not depend on the decoded type; what the delegate is shown.
struct AnyRequest {
  std::string path = "/";
  HTTPMethod method;
  std::vector<QueryItem> query;
  std::optional<nlohmann::json> body;
  HTTPHeaders headers;
  std::optional<std::string> id;

  AnyRequest() = default;
  explicit AnyRequest(std::string path_, HTTPMethod method_ = HTTPMethod::get, std::vector<QueryItem> query_ = {},
                      std::optional<nlohmann::json> body_ = std::nullopt, HTTPHeaders headers_ = {},
                      std::optional<std::string> id_ = std::nullopt)
      : path(path_.empty() ? std::string("/") : std::move(path_)),
        method(std::move(method_)),
        query(std::move(query_)),
        body(std::move(body_)),
        headers(std::move(headers_)),
        id(std::move(id_)) {}
};

template <class Response = void>
struct Request : AnyRequest {
  using ResponseType = Response;
  using AnyRequest::AnyRequest;
  Request() = default;
};

}  // namespace httpkit
