// The answer's head as the server sends it, line by line: interim heads, repeats, folding and garbage.
#include <gtest/gtest.h>

#include <random>

#include "header_lines.hpp"

namespace {

using httpkit::HeaderAccumulator;

TEST(HeaderLines, OnlyTheLastHeadCounts) {
  HeaderAccumulator head;
  for (const char* line : {"HTTP/1.1 100 Continue\r\n", "X-Interim: yes\r\n", "\r\n", "HTTP/1.1 301 Moved\r\n",
                           "Location: /new\r\n", "\r\n", "HTTP/1.1 200 OK\r\n", "Content-Type: application/json\r\n",
                           "Authorization:  Bearer abc \r\n", "\r\n"}) {
    head.feed(line);
  }
  EXPECT_FALSE(head.headers().contains("X-Interim"));
  EXPECT_FALSE(head.headers().contains("Location"));
  EXPECT_EQ(head.headers().value("content-type"), "application/json");
  EXPECT_EQ(head.headers().value("authorization"), "Bearer abc");
}

TEST(HeaderLines, RepeatsFoldAndContinuationsJoin) {
  HeaderAccumulator head;
  for (const char* line : {"HTTP/1.1 200 OK\r\n", "Set-Cookie: a=1\r\n", "set-cookie: b=2\r\n", "X-Long: first\r\n",
                           "\t second\r\n", "Empty:\r\n"}) {
    head.feed(line);
  }
  EXPECT_EQ(head.headers().value("Set-Cookie"), "a=1, b=2");
  EXPECT_EQ(head.headers().value("x-long"), "first second");
  EXPECT_EQ(head.headers().value("empty"), "");
}

TEST(HeaderLines, MalformedLinesAreIgnored) {
  HeaderAccumulator head;
  for (const char* line : {"HTTP/1.1 200 OK\r\n", "no colon here\r\n", "  orphan continuation\r\n",
                           "Bad Name: x\r\n", ": empty name\r\n", "Good: y\r\n"}) {
    head.feed(line);
  }
  ASSERT_EQ(head.headers().size(), 1u);
  EXPECT_EQ(head.headers().value("good"), "y");
}

// Random heads, built from the characters that matter to the parser: whatever arrives, the result holds
// only token names and values without line breaks.
TEST(HeaderLines, RandomInputKeepsInvariants) {
  std::mt19937 random(20261206);
  const std::string alphabet = std::string("HTTP/1.1 200:\r\n\t ,;aZ-_\x7f\x80\xff", 24) + std::string(1, '\0');
  for (int round = 0; round < 3000; ++round) {
    HeaderAccumulator head;
    const int lines = static_cast<int>(random() % 12);
    for (int i = 0; i < lines; ++i) {
      std::string line;
      const std::size_t length = random() % 40;
      for (std::size_t j = 0; j < length; ++j) line += alphabet[random() % alphabet.size()];
      if (random() % 3 == 0) line = "HTTP/1.1 200 OK\r\n";
      if (random() % 4 == 0) line = "Name" + line;
      head.feed(line);
    }
    for (const auto& [name, value] : head.headers()) {
      EXPECT_TRUE(httpkit::isHeaderToken(name)) << name;
      EXPECT_EQ(value.find_first_of("\r\n"), std::string::npos);
    }
  }
}

}  // namespace
