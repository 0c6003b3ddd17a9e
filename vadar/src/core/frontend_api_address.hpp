#pragma once
// The frontend API address carried inside a publishable key: "pk_test_" or "pk_live_" followed by the
// URL-safe base64 of the host and one trailing character ("$").
#include <optional>
#include <string>
#include <string_view>

namespace vadar::core {

struct DerivedAddress {
  // "https://" + host; none when the key has no usable host (the previous address is then kept).
  std::optional<std::string> url;
  // True when the key decoded to text but that text is no host name; the caller logs it.
  bool rejectedHost = false;
};

// The first "pk_live_" with at least one character after it wins, else the first such "pk_test_"; the rest
// of the key is decoded strictly (no white space, no stray characters) as UTF-8 text whose last code point
// is dropped. The remaining text must be a host: ASCII letters, digits, "-" and ".", with an optional
// ":port"; anything else would let a key send credentials to a place the host name does not show.
DerivedAddress deriveFrontendApiUrl(std::string_view publishableKey);

bool isAcceptableHost(std::string_view host);

}  // namespace vadar::core
