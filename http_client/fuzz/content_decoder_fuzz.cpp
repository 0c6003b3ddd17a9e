// libFuzzer harness: a coded body as a server may send it, fed in pieces of varying size, under each coding.
// Where the body decodes, it decodes to the same bytes as when it arrives in one piece: the reads' boundaries
// never change a body.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "content_decoder.hpp"

namespace {
// Refuses past a cap, as the client does: a small input must not be able to grow memory without bound.
constexpr std::size_t kCap = 1 << 20;

struct Output {
  std::size_t total = 0;
  std::uint64_t hash = 1469598103934665603ull;  // FNV-1a over the decoded bytes
};

bool sink(void* context, const std::uint8_t* data, std::size_t length) {
  auto& out = *static_cast<Output*>(context);
  if (length > kCap - out.total) return false;
  out.total += length;
  for (std::size_t i = 0; i < length; ++i) out.hash = (out.hash ^ data[i]) * 1099511628211ull;
  return true;
}

struct Decoded {
  Output output;
  httpkit::ContentDecoder::Result last = httpkit::ContentDecoder::Result::more;
  bool finished = false;
};

Decoded decode(const char* coding, std::span<const std::uint8_t> body, std::size_t piece) {
  std::unique_ptr<httpkit::ContentDecoder> decoder;
  if (httpkit::ContentDecoder::make(coding, decoder) != httpkit::ContentDecoder::Kind::decoded) __builtin_trap();
  Decoded result;
  for (std::size_t at = 0; at < body.size() && result.last == httpkit::ContentDecoder::Result::more; at += piece) {
    result.last = decoder->feed(body.subspan(at, std::min(piece, body.size() - at)), &sink, &result.output);
  }
  result.finished = decoder->finished();
  return result;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::size_t piece = 1 + data[0] % 64;
  std::span<const std::uint8_t> body(data + 1, size - 1);
  for (const char* coding : {"gzip", "deflate", "br"}) {
    const Decoded pieces = decode(coding, body, piece);
    if (pieces.output.total > kCap) __builtin_trap();
    if (pieces.last != httpkit::ContentDecoder::Result::more || !pieces.finished) continue;
    const Decoded whole = decode(coding, body, std::max<std::size_t>(body.size(), 1));
    if (whole.last != pieces.last || !whole.finished || whole.output.total != pieces.output.total ||
        whole.output.hash != pieces.output.hash) {
      __builtin_trap();
    }
  }
  return 0;
}
