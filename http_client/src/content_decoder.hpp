#pragma once
// Undoing the content coding of an answer's body as its bytes arrive, and telling at the end whether the
// coded stream was whole. curl would decode too, but it cannot say whether a body whose end is the
// connection's close stopped where the server meant it to, which is the one thing that tells a cut answer
// from a complete one.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

namespace httpkit {

class ContentDecoder {
 public:
  // Receives decoded bytes; false stops decoding (the body is refused).
  using Sink = bool (*)(void* context, const std::uint8_t* data, std::size_t length);

  // The codings this decoder reads, as offered to servers.
  static constexpr std::string_view kAccepted = "gzip, deflate, br";

  enum class Kind { identity, decoded, unsupported };
  // What a Content-Encoding value asks for; `decoder` is set for `decoded`.
  static Kind make(std::string_view contentEncoding, std::unique_ptr<ContentDecoder>& decoder);

  virtual ~ContentDecoder() = default;
  enum class Result { more, refused, corrupt };
  virtual Result feed(std::span<const std::uint8_t> input, Sink sink, void* context) = 0;
  // True once the coded stream's own end has been read.
  virtual bool finished() const = 0;
};

}  // namespace httpkit
