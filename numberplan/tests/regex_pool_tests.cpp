// The regular-expression pool, its match and replace operations, the replacement templates and the shared
// patterns.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <latch>
#include <thread>

#include "testing/bounded_task.hpp"
#include "numberplan/values/constants.hpp"
#include "numberplan/values/phone_number_error.hpp"
#include "numberplan/regex/regex_manager.hpp"
#include "numberplan/regex/replacement_template.hpp"

namespace numberplan {
namespace {

using Strings = std::vector<std::string>;

TEST(RegexPool, OneTextGivesOneObjectAndFailedCompilesAreNotPooled) {
  RegexManager regex;
  const auto first = regex.compiledExpression("ext");
  EXPECT_EQ(regex.compiledExpression("ext").get(), first.get());
  EXPECT_NE(regex.compiledExpression("EXT").get(), first.get());  // another text, another entry
  try {
    regex.compiledExpression("(unclosed");
    ADD_FAILURE() << "compiled";
  } catch (const PhoneNumberError& error) {
    EXPECT_EQ(error, PhoneNumberError::generalError());
  }
  EXPECT_TRUE(regex.matchedSubstrings("(unclosed", "unclosed").empty());
  EXPECT_FALSE(regex.hasMatchAtStart("(unclosed", "(unclosed"));
  EXPECT_EQ(regex.replacingMatches("(unclosed", "text", "x"), "text");
  EXPECT_EQ(regex.poolSize(), 2U);
}

TEST(RegexPool, MatchesIgnoreLetterCaseAndReplaceEveryMatch) {
  RegexManager regex;
  EXPECT_EQ(regex.matchedSubstrings("ext", "12 EXT 3 Ext"), (Strings{"EXT", "Ext"}));
  EXPECT_TRUE(regex.hasMatchAtStart("[+＋]+", "＋44"));
  EXPECT_FALSE(regex.hasMatchAtStart("[+＋]+", "44+1"));  // matches, but only later
  EXPECT_EQ(regex.replacingMatches("\\d", "none", "#"), "none");
  EXPECT_EQ(regex.replacingMatches("\\d", "a1b2c3", "#"), "a#b#c#");
}

TEST(RegexPool, OneMatchIsReplacedInsideItsOwnRange) {
  RegexManager regex;
  // The one match of "\d+$" is "5"; searched again inside that range the anchors bind to the range, and the
  // replacement stays inside it: everything before the match is kept.
  EXPECT_EQ(regex.replacingMatches("\\d+$", "ab 12 x5", "[$0]"), "ab 12 x[5]");
  // Text after the single match stays as it was.
  EXPECT_EQ(regex.replacingMatches("(\\d{3})(\\d{4})", "5550100123", "$1-$2"), "555-0100123");
}

TEST(RegexPool, OffsetsCountUtf16Units) {
  RegexManager regex;
  // U+1F600 takes two UTF-16 units, so the digit after it starts at offset 3.
  const auto match = regex.compiledExpression("\\d")->firstMatch("a\U0001F600" "7");
  ASSERT_TRUE(match.has_value());
  EXPECT_EQ(match->range(), (Utf16Range{3, 1}));
  EXPECT_EQ(match->text(), "7");
  EXPECT_EQ(regex.replacingMatches("\\d", "\U0001F600" "1\U0001F600", "($0)"), "\U0001F600(1)\U0001F600");
  EXPECT_EQ(utf8Offset("a\U0001F600b", 2), std::nullopt);  // inside the surrogate pair
  EXPECT_EQ(utf16Substring("a\U0001F600b", Utf16Range{1, 2}), "\U0001F600");
  EXPECT_EQ(utf16Substring("a\U0001F600b", Utf16Range{2, 2}), std::nullopt);
}

TEST(RegexPool, SpaceCharacterSet) {
  EXPECT_EQ(RegexManager::trimmingSpaceCharacters("\u00A0 \t\n 12 3\u3000\u2028\r"), "12 3");
  EXPECT_FALSE(RegexManager::isSpaceCharacter(0x200B));  // zero-width space is a format character
}

TEST(RegexPool, RunawayMatchesTimeOutAsNoMatch) {
  // The first alternative backtracks exponentially before failing; the second then matches each "a". Without a
  // limit that takes milliseconds; with a limit of one engine step it times out, and a time-out is no match.
  const std::string pattern = "(a|aa)*(a|aa)*c|a";
  const std::string text(16, 'a');
  RegexManager unlimited(0);
  EXPECT_EQ(unlimited.compiledExpression(pattern)->firstMatch(text)->text(), "a");
  EXPECT_EQ(unlimited.replacingMatches(pattern, text, "b"), std::string(16, 'b'));

  RegexManager limited(1);
  EXPECT_FALSE(limited.compiledExpression(pattern)->firstMatch(text).has_value());
  EXPECT_TRUE(limited.matchedSubstrings(pattern, text).empty());
  EXPECT_FALSE(limited.hasMatchAtStart(pattern, text));
  EXPECT_EQ(limited.replacingMatches(pattern, text, "b"), text);
}

TEST(RegexPoolConcurrency, ThreadsShareOneCompiledObject) {
  RegexManager regex;
  constexpr int kThreads = 8;
  std::latch start(kThreads);
  std::vector<testing_support::BoundedTask<std::vector<const RegularExpression*>>> results;
  for (int t = 0; t < kThreads; ++t) {
    results.push_back(testing_support::launch([&] {
      start.arrive_and_wait();
      std::vector<const RegularExpression*> seen;
      for (int i = 0; i < 50; ++i) {
        seen.push_back(regex.compiledExpression("(\\d{3})(\\d{4})-" + std::to_string(i % 5)).get());
        EXPECT_EQ(regex.replacingMatches("(\\d{3})(\\d{4})", "5550100", "$1-$2"), "555-0100");
      }
      return seen;
    }));
  }
  std::vector<std::vector<const RegularExpression*>> all;
  for (auto& result : results) {
    ASSERT_EQ(result.wait_for(std::chrono::seconds(60)), std::future_status::ready);
    all.push_back(result.get());
  }
  for (const auto& seen : all) EXPECT_EQ(seen, all.front());
  EXPECT_EQ(regex.poolSize(), 6U);
}

// Expands `replacementTemplate` against the first match of `pattern` in `text`.
std::string expand(const std::string& pattern, const std::string& text, const std::string& replacementTemplate) {
  RegexManager regex;
  const auto match = regex.compiledExpression(pattern)->firstMatch(text);
  EXPECT_TRUE(match.has_value()) << pattern;
  return match ? expandTemplate(replacementTemplate, *match) : std::string();
}

TEST(ReplacementTemplate, BackslashTakesTheNextCharacter) {
  EXPECT_EQ(expand("(\\d)", "7", "\\$1"), "$1");
  EXPECT_EQ(expand("(\\d)", "7", "\\\\d"), "\\d");  // the partial formatter's digit template
  EXPECT_EQ(expand("(\\d)", "7", "a\\b$1"), "ab7");
  EXPECT_EQ(expand("(\\d)", "7", "\\\u00E9"), "\u00E9");  // a whole multi-byte character
  EXPECT_EQ(expand("(\\d)", "7", "$1\\"), "7");          // a lone trailing backslash writes nothing
}

TEST(ReplacementTemplate, DollarTakesTheLongestRunNamingAGroup) {
  EXPECT_EQ(expand("(\\d)(\\d)", "12", "$0|$1|$2"), "12|1|2");
  EXPECT_EQ(expand("(\\d)(\\d)", "12", "$12"), "12");   // group 1, then a literal "2"
  EXPECT_EQ(expand("(\\d)(\\d)", "12", "$3"), "$3");    // names no group: written as it is
  EXPECT_EQ(expand("(\\d)(\\d)", "12", "$ $x $"), "$ $x $");
  EXPECT_EQ(expand("(a)|(b)", "b", "[$1|$2]"), "[|b]");  // a group that took no part is empty
  EXPECT_EQ(expand("(1)(2)(3)(4)(5)(6)(7)(8)(9)(a)(b)(c)", "123456789abc", "$12|$13|$010"), "c|13|a");
  EXPECT_EQ(expand("(\\d)", "7", "$99999999999999999999999"), "$99999999999999999999999");
}

TEST(ReplacementTemplate, NationalLayoutExample) {
  // Rule "$NP ($FG)" with national prefix 0, put in place of the template's first "$1", writes 123 as "0 (1)-23".
  RegexManager regex;
  EXPECT_EQ(regex.replacingMatches("\\$FG", regex.replacingMatches("\\$NP", "$NP ($FG)", "0"), "\\$1"), "0 ($1)");
  EXPECT_EQ(regex.replacingMatches("(\\d)(\\d{2})", "123", "0 ($1)-$2"), "0 (1)-23");
  EXPECT_EQ(regex.replacingMatches("(\\d)(\\d{2})", "123", "$1-$2"), "1-23");
}

TEST(SharedPatterns, ByteCountsAndInvisibleSeparators) {
  EXPECT_EQ(validNumberPattern.size(), 460U);
  EXPECT_EQ(typedNumberShapePattern.size(), 480U);
  EXPECT_EQ(partialFormatStringPattern.size(), 143U);
  EXPECT_EQ(typedNumberShapePattern, std::string("[+＋]?(\\s*\\d)+\\s*$|") + std::string(validNumberPattern));
  EXPECT_NE(validNumberPattern.find(extensionPattern.substr(0, extensionPattern.size() - 1)), std::string::npos);
  for (std::string_view pattern : {validNumberPattern, typedNumberShapePattern, partialFormatStringPattern}) {
    std::size_t classes = 0;
    for (std::size_t at = pattern.find("\u3000"); at != std::string_view::npos; at = pattern.find("\u3000", at + 1)) {
      EXPECT_EQ(pattern.substr(at - 8, 8), "\u00AD\u200B\u2060");
      ++classes;
    }
    EXPECT_EQ(classes, 2U);
  }
}

TEST(SharedPatterns, CompileAndRecogniseNumbers) {
  RegexManager regex;
  for (std::string_view pattern : {validNumberPattern, typedNumberShapePattern, partialFormatStringPattern,
                                   extensionPattern}) {
    EXPECT_NO_THROW(regex.compiledExpression(pattern)) << pattern;
  }
  EXPECT_TRUE(regex.hasMatchAtStart(std::string(validNumberPattern), "650\u00AD253\u200B0000\u20601"));
  const std::string format(partialFormatStringPattern);
  EXPECT_TRUE(regex.hasMatchAtStart(format, "$1 $2-$3"));
  EXPECT_TRUE(regex.hasMatchAtStart(format, "($1)\u00AD$2"));
  EXPECT_FALSE(regex.hasMatchAtStart(format, "$1 a $2"));
  EXPECT_EQ(regex.compiledExpression(std::string(extensionPattern))->firstMatch("650 ext. 123")->text(), " ext. 123");
}

}  // namespace
}  // namespace numberplan
