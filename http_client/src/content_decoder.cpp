#include "content_decoder.hpp"

#include <brotli/decode.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <string>
#include <vector>

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
    if (input.empty()) return Result::more;
    if (!started_) {
      // Which deflate framing it is shows in the first two bytes, which may come in two pieces.
      if (!gzip_ && opening_.size() + input.size() < 2) {
        opening_.insert(opening_.end(), input.begin(), input.end());
        return Result::more;
      }
      if (!opening_.empty()) {
        opening_.insert(opening_.end(), input.begin(), input.end());
        const std::vector<std::uint8_t> joined = std::move(opening_);
        opening_.clear();
        return feed(joined, sink, context);
      }
      if (!start(input)) return Result::corrupt;
    }
    while (!input.empty()) {
      if (finished_) {
        const Result next = nextMember(input);
        if (next != Result::more || finished_) return next;
      }
      const Result result = inflateSome(input, sink, context);
      if (result != Result::more) return result;
    }
    return Result::more;
  }

  // A gzip member's magic may come in two reads: the first byte alone is held until the second arrives.
  bool finished() const override { return finished_ && !heldMagic_; }

 private:
  static constexpr std::uint8_t kMagic[2] = {0x1f, 0x8b};

  // After a stream's end only another gzip member may follow (as concatenated gzip files are); anything
  // else is not the body that was announced. Consumes the magic it has seen and starts the member.
  Result nextMember(std::span<const std::uint8_t>& input) {
    if (!gzip_) return Result::corrupt;
    if (!heldMagic_) {
      if (input[0] != kMagic[0]) return Result::corrupt;
      if (input.size() == 1) {
        heldMagic_ = true;
        input = {};
        return Result::more;
      }
      input = input.subspan(1);
    }
    if (input[0] != kMagic[1]) return Result::corrupt;
    heldMagic_ = false;
    input = input.subspan(1);
    inflateReset(&stream_);
    finished_ = false;
    // zlib reads the header a byte at a time, so the magic is handed over on its own.
    stream_.next_in = const_cast<Bytef*>(kMagic);
    stream_.avail_in = sizeof kMagic;
    std::uint8_t none = 0;
    stream_.next_out = &none;
    stream_.avail_out = 0;
    const int status = inflate(&stream_, Z_NO_FLUSH);
    return (status == Z_OK || status == Z_BUF_ERROR) && stream_.avail_in == 0 ? Result::more : Result::corrupt;
  }

  // Decodes from `input` until the stream ends or the input runs out; `input` keeps what follows the end.
  Result inflateSome(std::span<const std::uint8_t>& input, Sink sink, void* context) {
    stream_.next_in = const_cast<Bytef*>(input.data());
    stream_.avail_in = static_cast<uInt>(input.size());
    std::array<std::uint8_t, kChunk> out;
    Result result = Result::more;
    for (;;) {
      stream_.next_out = out.data();
      stream_.avail_out = static_cast<uInt>(out.size());
      const int status = inflate(&stream_, Z_NO_FLUSH);
      if (status != Z_OK && status != Z_STREAM_END && status != Z_BUF_ERROR) {
        result = Result::corrupt;
        break;
      }
      const std::size_t produced = out.size() - stream_.avail_out;
      if (produced > 0 && !sink(context, out.data(), produced)) {
        result = Result::refused;
        break;
      }
      if (status == Z_STREAM_END) {
        finished_ = true;
        break;
      }
      // All given is decoded and nothing is pending: the rest of the stream is still to come.
      if (stream_.avail_in == 0 && (stream_.avail_out > 0 || status == Z_BUF_ERROR)) break;
      if (status == Z_BUF_ERROR && produced == 0) {
        result = Result::corrupt;  // stuck with input left and room to write it
        break;
      }
    }
    input = input.subspan(input.size() - stream_.avail_in);
    if (result == Result::more && !finished_) input = {};
    return result;
  }

  bool start(std::span<const std::uint8_t> input) {
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
  std::vector<std::uint8_t> opening_;
  bool started_ = false;
  bool finished_ = false;
  bool heldMagic_ = false;
  z_stream stream_{};
};

class BrotliDecoder final : public ContentDecoder {
 public:
  BrotliDecoder() : state_(BrotliDecoderCreateInstance(nullptr, nullptr, nullptr)) {}
  ~BrotliDecoder() override { BrotliDecoderDestroyInstance(state_); }

  Result feed(std::span<const std::uint8_t> input, Sink sink, void* context) override {
    if (!state_) return Result::corrupt;
    if (input.empty()) return Result::more;
    if (finished_) return Result::corrupt;  // a brotli body is one stream; nothing may follow its end
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
        case BROTLI_DECODER_RESULT_SUCCESS: finished_ = true; return availableIn == 0 ? Result::more : Result::corrupt;
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
