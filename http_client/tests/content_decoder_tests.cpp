// The body decoder fed as the network feeds it: in pieces whose boundaries fall anywhere, members of a gzip
// body included, and the fuzz harness's seeds replayed as the harness splits them.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <span>
#include <string>

#include "content_decoder.hpp"
#include "test_support.hpp"

namespace {

using httpkit::ContentDecoder;

std::string gzipMember(const std::string& data) { return httpkit_tests::gzip(data, 15 + 16); }

// What one decoder made of a body fed in pieces of `piece` bytes.
struct Decoded {
  std::string text;
  ContentDecoder::Result last = ContentDecoder::Result::more;
  bool finished = false;
};

Decoded decode(const std::string& coding, std::span<const std::uint8_t> body, std::size_t piece) {
  std::unique_ptr<ContentDecoder> decoder;
  EXPECT_EQ(ContentDecoder::make(coding, decoder), ContentDecoder::Kind::decoded);
  Decoded result;
  const auto sink = [](void* out, const std::uint8_t* data, std::size_t length) {
    static_cast<std::string*>(out)->append(reinterpret_cast<const char*>(data), length);
    return true;
  };
  for (std::size_t at = 0; at < body.size() && result.last == ContentDecoder::Result::more; at += piece) {
    result.last = decoder->feed(body.subspan(at, std::min(piece, body.size() - at)), sink, &result.text);
  }
  result.finished = decoder->finished();
  return result;
}

Decoded decode(const std::string& coding, const std::string& body, std::size_t piece) {
  return decode(coding, std::span(reinterpret_cast<const std::uint8_t*>(body.data()), body.size()), piece);
}

TEST(ContentDecoding, GzipMembersWhateverThePieces) {
  const std::string body = gzipMember("hello ") + gzipMember("world");
  for (std::size_t piece = 1; piece <= body.size(); ++piece) {
    SCOPED_TRACE("pieces of " + std::to_string(piece));
    const auto whole = decode("gzip", body, piece);
    EXPECT_EQ(whole.last, ContentDecoder::Result::more);
    EXPECT_EQ(whole.text, "hello world");
    EXPECT_TRUE(whole.finished);

    // A body cut anywhere inside the second member, its magic included, is not whole.
    for (std::size_t cut : {std::size_t{1}, std::size_t{2}, std::size_t{12}}) {
      const auto shorter = decode("gzip", body.substr(0, gzipMember("hello ").size() + cut), piece);
      EXPECT_FALSE(shorter.finished) << "cut " << cut << " bytes into the second member";
    }
    // Bytes that cannot start a member make the body corrupt, whether or not they look half like one.
    for (const std::string& tail : {std::string("\x1f\x00", 2), std::string("x"), std::string(16, '\0')}) {
      EXPECT_EQ(decode("gzip", body + tail, piece).last, ContentDecoder::Result::corrupt);
    }
  }
}

TEST(ContentDecoding, OnlyGzipBodiesHoldMoreThanOneStream) {
  const std::string zlibWrapped = httpkit_tests::gzip("hello", 15);
  EXPECT_EQ(decode("deflate", zlibWrapped, 3).text, "hello");
  EXPECT_EQ(decode("deflate", zlibWrapped + zlibWrapped, 3).last, ContentDecoder::Result::corrupt);
  EXPECT_EQ(decode("deflate", zlibWrapped + "trailing", 64).last, ContentDecoder::Result::corrupt);

  const std::string brotli = httpkit_tests::brotli("hello");
  EXPECT_EQ(decode("br", brotli, 1).text, "hello");
  EXPECT_EQ(decode("br", brotli + "x", 1).last, ContentDecoder::Result::corrupt);
  EXPECT_EQ(decode("br", brotli + "x", 64).last, ContentDecoder::Result::corrupt);
}

// The harness's input is a piece size (1 + the first byte % 64) and a body; each seed is named after its
// coding and is a whole body of it, which decodes the same in the harness's pieces as in one.
TEST(ContentDecoding, FuzzSeedsDecodeWholeInTheHarnessPieces) {
  int seeds = 0;
  for (const auto& entry : std::filesystem::directory_iterator(HTTPKIT_FUZZ_CORPUS "/content_decoder")) {
    SCOPED_TRACE(entry.path().filename().string());
    std::ifstream in(entry.path(), std::ios::binary);
    const std::string input{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    ASSERT_GE(input.size(), 2u);
    const std::string name = entry.path().filename().string();
    const std::string coding = name.substr(0, name.find('-'));
    const std::string body = input.substr(1);
    const auto result = decode(coding, body, 1 + static_cast<std::uint8_t>(input[0]) % 64);
    EXPECT_EQ(result.last, ContentDecoder::Result::more);
    EXPECT_TRUE(result.finished);
    EXPECT_EQ(result.text, decode(coding, body, body.size()).text);
    ++seeds;
  }
  EXPECT_GE(seeds, 1);
}

}  // namespace
