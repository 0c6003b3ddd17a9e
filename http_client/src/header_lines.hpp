#pragma once
// Reading the answer's head as libcurl hands it over, one raw line at a time (CRLF included). The lines are
// the server's, so anything may arrive: a line that is not a header field is ignored, never trusted.
#include <optional>
#include <string_view>
#include <vector>

#include "httpkit/http_headers.hpp"

namespace httpkit {

// Collects the header fields of the latest answer head: a status line ("HTTP/...") starts a new head, so
// that interim answers (100 Continue, redirects) leave nothing behind. Repeated fields are folded into one
// comma-separated value; obsolete line folding continues the previous field. A head of many fields costs
// time in proportion to its length: fields are kept as they come and folded once, when asked for.
class HeaderAccumulator {
 public:
  void feed(std::string_view line);
  const HTTPHeaders& headers() const;
  // The same fields, handed over instead of copied: a later `headers()` folds them afresh.
  HTTPHeaders takeHeaders();
  // Each value of the field `name` as it came, before folding: for a field whose value is one item that may
  // itself hold a comma (a URL), where the folded list cannot be split back.
  std::vector<std::string_view> values(std::string_view name) const;

 private:
  std::vector<HTTPHeaders::Field> fields_;  // as they came, repeats unfolded
  bool continuable_ = false;                // a folded line would continue the last field
  mutable std::optional<HTTPHeaders> folded_;
};

// Whether `text` may go on the wire as a header field name / value / method without changing the message's
// framing (no line breaks, no NUL; names and methods are tokens).
bool isHeaderToken(std::string_view text);
bool isSafeHeaderValue(std::string_view text);

}  // namespace httpkit
