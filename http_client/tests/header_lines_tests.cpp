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

// Short heads and long ones are folded by different means; either way each name keeps its first place and
// its repeats join it in arrival order, whatever their letter case.
TEST(HeaderLines, RepeatsFoldInPlaceInShortAndLongHeads) {
  for (const int names : {3, 40}) {
    httpkit::HeaderAccumulator head;
    head.feed("HTTP/1.1 200 OK\r\n");
    for (int i = 0; i < names; ++i) head.feed("X-Field-" + std::to_string(i) + ": first\r\n");
    for (int i = names - 1; i >= 0; i -= 2) head.feed("x-FIELD-" + std::to_string(i) + ":second \r\n");
    const auto& headers = head.headers();
    ASSERT_EQ(headers.size(), static_cast<std::size_t>(names)) << names;
    int i = 0;
    for (const auto& [name, value] : headers) {
      EXPECT_EQ(name, "X-Field-" + std::to_string(i));
      EXPECT_EQ(value, (names - 1 - i) % 2 == 0 ? "first, second" : "first") << name;
      ++i;
    }
    // Handed over, the fields are still there to be folded again.
    const auto taken = head.takeHeaders();
    EXPECT_EQ(taken.size(), static_cast<std::size_t>(names));
    EXPECT_EQ(head.headers().value("X-FIELD-0"), taken.value("x-field-0"));
  }
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
