// libFuzzer harness: a coded body as a server may send it, fed in pieces of varying size, under each coding.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "content_decoder.hpp"

namespace {
// Refuses past a cap, as the client does: a small input must not be able to grow memory without bound.
constexpr std::size_t kCap = 1 << 20;

bool sink(void* total, const std::uint8_t*, std::size_t length) {
  auto& count = *static_cast<std::size_t*>(total);
  if (length > kCap - count) return false;
  count += length;
  return true;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::size_t piece = 1 + data[0] % 64;
  std::span<const std::uint8_t> body(data + 1, size - 1);
  for (const char* coding : {"gzip", "deflate", "br"}) {
    std::unique_ptr<httpkit::ContentDecoder> decoder;
    if (httpkit::ContentDecoder::make(coding, decoder) != httpkit::ContentDecoder::Kind::decoded) __builtin_trap();
    std::size_t total = 0;
    for (std::size_t at = 0; at < body.size(); at += piece) {
      const auto result = decoder->feed(body.subspan(at, std::min(piece, body.size() - at)), &sink, &total);
      if (result != httpkit::ContentDecoder::Result::more) break;
    }
    if (total > kCap) __builtin_trap();
  }
  return 0;
}
