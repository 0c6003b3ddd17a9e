// The values the public headers' examples promise, from the same lines run against the shipped metadata: an
// example that tells a reader a wrong value is a fault a reader will copy.
#include <gtest/gtest.h>

#include "numberplan/numberplan.hpp"

namespace numberplan {
namespace {

TEST(UsageExamples, EngineParsesAndFormatsAsItsExampleSays) {
  auto engine = std::make_shared<PhoneNumberEngine>();
  PhoneNumber number = engine->parse("020 7946 0000", "GB");
  EXPECT_EQ(engine->format(number, PhoneNumberFormat::international), "+44 20 7946 0000");
  EXPECT_EQ(engine->format(number, PhoneNumberFormat::e164), "+442079460000");
  EXPECT_EQ(number.type, PhoneNumberType::fixedLine);
  EXPECT_EQ(engine->mainCountry(44), "GB");
  EXPECT_EQ(engine->format(engine->parse("+33 6 12 34 56 78"), PhoneNumberFormat::e164), "+33612345678");

  PartialFormatter typing(engine, "US");
  EXPECT_EQ(typing.formatPartial("650253"), "(650) 253");
  EXPECT_EQ(typing.formatPartial("01144"), "011 44");
  EXPECT_EQ(typing.formatPartial("+4420794"), "+44 20 794");
  EXPECT_EQ(typing.currentRegion(), "GB");
}

TEST(UsageExamples, ParserKeepsTheNationalTextAsWrittenAfterTheCode) {
  auto engine = std::make_shared<PhoneNumberEngine>();
  const PhoneNumberParser& parser = *engine->parseManager()->parser();
  const MetadataTerritory& gb = *engine->metadata("GB");
  EXPECT_EQ(parser.normalizeNumber("(650) 253-0000"), "6502530000");
  std::string national;
  EXPECT_EQ(parser.countryCode("+44 20 7946 0000", national, gb), 44u);
  EXPECT_EQ(national, " 20 7946 0000");
  EXPECT_EQ(parser.normalizeNumber(national), "2079460000");
  EXPECT_EQ(parser.numberType("2079460000", gb, false), PhoneNumberType::fixedLine);
}

TEST(UsageExamples, TooShortAndInvalidAreTheErrorsTheExamplesName) {
  auto engine = std::make_shared<PhoneNumberEngine>();
  auto caseOf = [&](const std::string& text) {
    try {
      engine->parse(text, "US");
    } catch (const PhoneNumberError& error) {
      return std::pair(error.errorCase(), error.errorDescription());
    }
    return std::pair(PhoneNumberError::Case::generalError, std::string("parsed"));
  };
  EXPECT_EQ(caseOf("011 12"), std::pair(PhoneNumberError::Case::tooShort, std::string("The number provided is too short.")));
  // Two digits with neither plus sign nor prefix are not cut short: they are no number of the region.
  EXPECT_EQ(caseOf("12").first, PhoneNumberError::Case::invalidNumber);
}

TEST(UsageExamples, TextAndPatternHelpersAnswerAsDocumented) {
  EXPECT_EQ(utf16Length("a\U0001F600b"), 4u);
  EXPECT_EQ(utf8Offset("a\U0001F600b", 3), std::optional<std::size_t>(5));
  EXPECT_EQ(utf8Offset("a\U0001F600b", 2), std::nullopt);
  EXPECT_EQ(utf16Substring("a\U0001F600b", Utf16Range{3, 1}), std::optional<std::string>("b"));
  RegexManager regex;
  EXPECT_TRUE(regex.hasMatchAtStart("^[+＋]+", "+44 20"));
  EXPECT_EQ(regex.matchedSubstrings("\\d+", "a12b345"), (std::vector<std::string>{"12", "345"}));
  EXPECT_EQ(regex.replacingMatches("(\\d)(\\d{2})", "123", "$1-$2"), "1-23");
  auto match = regex.compiledExpression("(\\d{3})-(\\d{4})")->firstMatch("call 555-0100 now");
  ASSERT_TRUE(match);
  EXPECT_EQ(match->range().location, 5u);
  EXPECT_EQ(match->range().length, 8u);
  EXPECT_EQ(match->text(2), "0100");
  EXPECT_EQ(digitNormalizationMap().at("\u0663"), "3");
}

}  // namespace
}  // namespace numberplan
