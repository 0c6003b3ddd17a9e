#pragma once
// The method of an HTTP request, kept as its raw text so that any token a server understands can be sent.
//
// Example:
//   httpkit::HTTPMethod m = httpkit::HTTPMethod::post;
//   bool isPost = m.rawValue == "POST";   // true
#include <string>
#include <utility>

namespace httpkit {

struct HTTPMethod {
  std::string rawValue;

  HTTPMethod() : rawValue("GET") {}
  explicit HTTPMethod(std::string raw) : rawValue(std::move(raw)) {}

  static const HTTPMethod get;
  static const HTTPMethod post;
  static const HTTPMethod put;
  static const HTTPMethod patch;
  static const HTTPMethod delete_;
  static const HTTPMethod head;
  static const HTTPMethod options;
  static const HTTPMethod trace;
  static const HTTPMethod connect;

  friend bool operator==(const HTTPMethod&, const HTTPMethod&) = default;
};

inline const HTTPMethod HTTPMethod::get{"GET"};
inline const HTTPMethod HTTPMethod::post{"POST"};
inline const HTTPMethod HTTPMethod::put{"PUT"};
inline const HTTPMethod HTTPMethod::patch{"PATCH"};
inline const HTTPMethod HTTPMethod::delete_{"DELETE"};
inline const HTTPMethod HTTPMethod::head{"HEAD"};
inline const HTTPMethod HTTPMethod::options{"OPTIONS"};
inline const HTTPMethod HTTPMethod::trace{"TRACE"};
inline const HTTPMethod HTTPMethod::connect{"CONNECT"};

}  // namespace httpkit
