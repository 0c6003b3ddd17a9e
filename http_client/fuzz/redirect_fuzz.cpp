// libFuzzer harness: a redirect as a server may send it: the request's URL and a Location value (the input
// split at its first newline), resolved as the client follows it, with the origin check that decides whether
// credentials go along. Two URLs of one origin name one host.
#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include <httpkit/http_headers.hpp>
#include <httpkit/transfer_engine.hpp>

namespace {
bool sameHost(const httpkit::URLParts& a, const httpkit::URLParts& b) {
  return std::equal(a.host.begin(), a.host.end(), b.host.begin(), b.host.end(), [](char x, char y) {
    return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
  });
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::size_t split = text.find('\n');
  const std::string base(text.substr(0, split));
  const std::string reference(split == std::string_view::npos ? std::string_view() : text.substr(split + 1));

  const auto parts = httpkit::parseURL(base);
  const auto target = httpkit::resolveURL(base, reference);
  if (!target) return 0;
  const auto targetParts = httpkit::parseURL(*target);
  const bool same = httpkit::sameOrigin(base, *target);
  if (same != httpkit::sameOrigin(*target, base)) __builtin_trap();
  if (same && parts && targetParts && !sameHost(*parts, *targetParts)) __builtin_trap();

  httpkit::HTTPHeaders headers;
  headers.set("Authorization", "Bearer t");
  headers.set("Accept", "*/*");
  httpkit::removeCredentialsLeavingOrigin(headers, base, *target);
  if (headers.contains("Authorization") != same || !headers.contains("Accept")) __builtin_trap();
  return 0;
}
