#include "utf8_validation.hpp"

#include <gtest/gtest.h>

#include <string>

namespace keychain {
namespace {

TEST(Utf8Validation, AcceptsWellFormedTextAtEveryLengthBoundary) {
  for (const std::string text : {"", "plain ascii", "\xC2\x80", "\xDF\xBF", "\xE0\xA0\x80", "\xEF\xBF\xBF",
                                 "\xED\x9F\xBF", "\xEE\x80\x80", "\xF0\x90\x80\x80", "\xF4\x8F\xBF\xBF"}) {
    EXPECT_TRUE(isValidUtf8(text)) << text;
  }
  EXPECT_TRUE(isValidUtf8(std::string("a\0b", 3)));
  EXPECT_FALSE(isValidUtf8(std::string("a\0b", 3), /*allowNul=*/false));
}

TEST(Utf8Validation, RejectsMalformedSequences) {
  const char* cases[] = {
      "\x80",              // continuation without lead
      "\xC0\xAF",          // overlong two-byte
      "\xC1\xBF",          // overlong two-byte
      "\xE0\x9F\xBF",      // overlong three-byte
      "\xF0\x8F\xBF\xBF",  // overlong four-byte
      "\xED\xA0\x80",      // UTF-16 surrogate
      "\xF4\x90\x80\x80",  // above U+10FFFF
      "\xF5\x80\x80\x80",  // invalid lead
      "\xFF",              // invalid lead
      "\xE2\x82",          // truncated at the end
      "\xE2\x28\xA1",      // bad continuation
      "\xF0\x9F\x98",      // truncated four-byte
  };
  for (const char* text : cases) EXPECT_FALSE(isValidUtf8(text)) << ::testing::PrintToString(text);
}

}  // namespace
}  // namespace keychain
