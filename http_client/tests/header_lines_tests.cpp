// The answer's head as the server sends it, line by line: interim heads, repeats, folding and garbage.
#include <gtest/gtest.h>

#include <random>

#include "header_lines.hpp"

namespace {

httpkit::HTTPHeaders headOf(std::initializer_list<const char*> lines) {
  httpkit::HeaderAccumulator head;
  for (const char* line : lines) head.feed(line);
  return head.headers();
}

TEST(HeaderLines, OnlyTheLastHeadCountsAndRepeatsFold) {
  const auto headers = headOf({"HTTP/1.1 100 Continue\r\n", "X-Interim: yes\r\n", "\r\n", "HTTP/1.1 301 Moved\r\n",
                               "Location: /new\r\n", "\r\n", "HTTP/1.1 200 OK\r\n", "Authorization:  Bearer abc \r\n",
                               "Set-Cookie: a=1\r\n", "set-cookie: b=2\r\n", "X-Long: first\r\n", "\t second\r\n",
                               "Empty:\r\n"});
  EXPECT_FALSE(headers.contains("X-Interim") || headers.contains("Location"));
  EXPECT_EQ(headers.value("authorization"), "Bearer abc");
  EXPECT_EQ(headers.value("Set-Cookie"), "a=1, b=2");
  EXPECT_EQ(headers.value("x-long"), "first second");
  EXPECT_EQ(headers.value("empty"), "");
}

TEST(HeaderLines, MalformedLinesAreIgnored) {
  const auto headers = headOf({"HTTP/1.1 200 OK\r\n", "no colon here\r\n", "  orphan continuation\r\n",
                               "Bad Name: x\r\n", ": empty name\r\n", "Good: y\r\n"});
  ASSERT_EQ(headers.size(), 1u);
  EXPECT_EQ(headers.value("good"), "y");
}

// Random heads from the characters that matter to the parser: only token names and values without line
// breaks come out.
TEST(HeaderLines, RandomInputKeepsInvariants) {
  std::mt19937 random(20261206);
  const std::string alphabet = std::string("HTTP/1.1 200:\r\n\t ,;aZ-_\x7f\x80\xff", 24) + std::string(1, '\0');
  for (int round = 0; round < 3000; ++round) {
    httpkit::HeaderAccumulator head;
    for (int i = static_cast<int>(random() % 12); i > 0; --i) {
      std::string line;
      for (std::size_t j = random() % 40; j > 0; --j) line += alphabet[random() % alphabet.size()];
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
