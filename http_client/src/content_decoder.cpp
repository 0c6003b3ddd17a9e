#include "content_decoder.hpp"

#include <brotli/decode.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <string>

namespace httpkit {

namespace {

constexpr std::size_t kChunk = 16 * 1024;

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

bool equalsLower(std::string_view text, std::string_view lower) {
  return text.size() == lower.size() && std::equal(text.begin(), text.end(), lower.begin(), [](char a, char b) {
           return std::tolower(static_cast<unsigned char>(a)) == b;
         });
}

// gzip, and deflate in its zlib wrapper or (as some servers send it) bare.
class ZlibDecoder final : public ContentDecoder {
 public:
  explicit ZlibDecoder(bool gzip) : gzip_(gzip) {}
  ~ZlibDecoder() override {
    if (started_) inflateEnd(&stream_);
  }

  Result feed(std::span<const std::uint8_t> input, Sink sink, void* context) override {
    if (!started_ && !start(input)) return Result::corrupt;
    stream_.next_in = const_cast<Bytef*>(input.data());
    stream_.avail_in = static_cast<uInt>(input.size());
    std::array<std::uint8_t, kChunk> out;
    while (!finished_) {
      stream_.next_out = out.data();
      stream_.avail_out = static_cast<uInt>(out.size());
      const int status = inflate(&stream_, Z_NO_FLUSH);
      if (status != Z_OK && status != Z_STREAM_END && status != Z_BUF_ERROR) return Result::corrupt;
      const std::size_t produced = out.size() - stream_.avail_out;
      if (produced > 0 && !sink(context, out.data(), produced)) return Result::refused;
      if (status == Z_STREAM_END) {
        // A gzip body may hold several members one after the other.
        if (gzip_ && stream_.avail_in >= 2 && stream_.next_in[0] == 0x1f && stream_.next_in[1] == 0x8b) {
          inflateReset(&stream_);
          continue;
        }
        finished_ = true;
      } else if (stream_.avail_out > 0 && stream_.avail_in == 0) {
        break;  // everything given is decoded; the rest of the stream is still to come
      } else if (status == Z_BUF_ERROR && produced == 0) {
        break;
      }
    }
    return Result::more;
  }

  bool finished() const override { return finished_; }

 private:
  bool start(std::span<const std::uint8_t> input) {
    if (input.empty()) return true;
    int windowBits = 15 + 32;  // zlib or gzip header, detected
    if (!gzip_) {
      const bool zlibHeader =
          input.size() >= 2 && (input[0] & 0x0F) == 8 && ((input[0] << 8) | input[1]) % 31 == 0;
      windowBits = zlibHeader ? 15 : -15;
    }
    if (inflateInit2(&stream_, windowBits) != Z_OK) return false;
    started_ = true;
    return true;
  }

  bool gzip_;
  bool started_ = false;
  bool finished_ = false;
  z_stream stream_{};
};

class BrotliDecoder final : public ContentDecoder {
 public:
  BrotliDecoder() : state_(BrotliDecoderCreateInstance(nullptr, nullptr, nullptr)) {}
  ~BrotliDecoder() override { BrotliDecoderDestroyInstance(state_); }

  Result feed(std::span<const std::uint8_t> input, Sink sink, void* context) override {
    if (!state_) return Result::corrupt;
    std::size_t availableIn = input.size();
    const std::uint8_t* nextIn = input.data();
    std::array<std::uint8_t, kChunk> out;
    for (;;) {
      std::size_t availableOut = out.size();
      std::uint8_t* nextOut = out.data();
      const BrotliDecoderResult result =
          BrotliDecoderDecompressStream(state_, &availableIn, &nextIn, &availableOut, &nextOut, nullptr);
      const std::size_t produced = out.size() - availableOut;
      if (produced > 0 && !sink(context, out.data(), produced)) return Result::refused;
      switch (result) {
        case BROTLI_DECODER_RESULT_NEEDS_MORE_OUTPUT: continue;
        case BROTLI_DECODER_RESULT_NEEDS_MORE_INPUT: return Result::more;
        case BROTLI_DECODER_RESULT_SUCCESS: finished_ = true; return Result::more;
        default: return Result::corrupt;
      }
    }
  }

  bool finished() const override { return finished_; }

 private:
  BrotliDecoderState* state_;
  bool finished_ = false;
};

}  // namespace

ContentDecoder::Kind ContentDecoder::make(std::string_view contentEncoding, std::unique_ptr<ContentDecoder>& decoder) {
  // Codings are listed in the order they were applied; only a single one (beside identity) is read.
  std::string_view coding;
  while (!contentEncoding.empty()) {
    const auto comma = contentEncoding.find(',');
    const std::string_view item = trim(contentEncoding.substr(0, comma));
    contentEncoding = comma == std::string_view::npos ? std::string_view() : contentEncoding.substr(comma + 1);
    if (item.empty() || equalsLower(item, "identity")) continue;
    if (!coding.empty()) return Kind::unsupported;
    coding = item;
  }
  if (coding.empty()) return Kind::identity;
  if (equalsLower(coding, "gzip") || equalsLower(coding, "x-gzip")) {
    decoder = std::make_unique<ZlibDecoder>(true);
  } else if (equalsLower(coding, "deflate")) {
    decoder = std::make_unique<ZlibDecoder>(false);
  } else if (equalsLower(coding, "br")) {
    decoder = std::make_unique<BrotliDecoder>();
  } else {
    return Kind::unsupported;
  }
  return Kind::decoded;
}

}  // namespace httpkit
