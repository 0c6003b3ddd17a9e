// Full formatting: the number formatter's choice of format and its national-prefix rule, and the engine's
// E.164, international and national layouts.
#include <gtest/gtest.h>

#include "numberplan/formatter.hpp"
#include "phone_fixture.hpp"

namespace numberplan {
namespace {

MetadataPhoneNumberFormat numberFormat(std::string pattern, std::string format,
                                       std::vector<std::string> leadingDigits = {},
                                       std::optional<std::string> rule = std::nullopt) {
  MetadataPhoneNumberFormat result;
  result.pattern = std::move(pattern);
  result.format = std::move(format);
  result.leadingDigitsPatterns = std::move(leadingDigits);
  result.nationalPrefixFormattingRule = std::move(rule);
  result.nationalPrefixOptionalWhenFormatting = false;
  return result;
}

PhoneNumber number(std::uint64_t national, bool leadingZero = false,
                   std::optional<std::string> extension = std::nullopt) {
  return PhoneNumber("", 99, leadingZero, national, std::move(extension), PhoneNumberType::unknown, std::nullopt);
}

class FormatterTest : public ::testing::Test {
 protected:
  std::shared_ptr<RegexManager> regex = std::make_shared<RegexManager>();
  Formatter formatter{regex};
  MetadataTerritory territory = [] {
    MetadataTerritory t;
    t.codeID = "ZZ";
    t.countryCode = 99;
    t.nationalPrefix = "0";
    return t;
  }();
};

TEST_F(FormatterTest, NationalPrefixRuleExample) {
  territory.numberFormats = {numberFormat("(\\d)(\\d{2})", "$1-$2", {}, "$NP ($FG)")};
  EXPECT_EQ(formatter.format(number(123), PhoneNumberFormat::national, &territory), "0 (1)-23");
  EXPECT_EQ(formatter.format(number(123), PhoneNumberFormat::international, &territory), "1-23");
}

TEST_F(FormatterTest, WithoutTerritoryOrFormatsTheNumberStaysPlain) {
  EXPECT_EQ(formatter.format(number(12, true, "89"), PhoneNumberFormat::national, nullptr), "012");
  EXPECT_EQ(formatter.format(number(12, false, "89"), PhoneNumberFormat::national, &territory), "12 ext. 89");
  EXPECT_EQ(formatter.format(number(12, false, ""), PhoneNumberFormat::national, &territory), "12 ext. ");
  territory.preferredExtnPrefix = "#";
  EXPECT_EQ(formatter.format(number(12, false, "89"), PhoneNumberFormat::national, &territory), "12#89");
}

TEST_F(FormatterTest, FormatChoice) {
  // Only the last leading-digits pattern counts, and it must match at the start.
  territory.numberFormats = {numberFormat("(\\d{3})(\\d{3})", "$1/$2", {"9", "1"}),
                             numberFormat("(\\d{3})(\\d{3})", "$1 $2", {"2"}),
                             numberFormat("(\\d{2})(\\d{4})", "$1.$2")};
  EXPECT_EQ(formatter.format(number(123456), PhoneNumberFormat::national, &territory), "123/456");
  EXPECT_EQ(formatter.format(number(923456), PhoneNumberFormat::national, &territory), "92.3456");
  EXPECT_EQ(formatter.format(number(223456), PhoneNumberFormat::national, &territory), "223 456");
  // A pattern that does not fit entirely skips its format; nothing fitting leaves the number alone.
  EXPECT_EQ(formatter.format(number(2234567), PhoneNumberFormat::national, &territory), "2234567");
  // A broken pattern only disqualifies its own format.
  territory.numberFormats.insert(territory.numberFormats.begin(), numberFormat("(\\d{3}", "$1"));
  EXPECT_EQ(formatter.format(number(223456), PhoneNumberFormat::national, &territory), "223 456");
}

TEST_F(FormatterTest, InternationalUsesIntlFormatAndNeverThePrefix) {
  territory.numberFormats = {numberFormat("(\\d{3})(\\d{3})", "($1) $2", {}, "$NP$FG")};
  EXPECT_EQ(formatter.format(number(223456), PhoneNumberFormat::national, &territory), "(0223) 456");
  EXPECT_EQ(formatter.format(number(223456), PhoneNumberFormat::international, &territory), "(223) 456");
  territory.numberFormats[0].intlFormat = "$1-$2";
  EXPECT_EQ(formatter.format(number(223456), PhoneNumberFormat::international, &territory), "223-456");
}

TEST_F(FormatterTest, BlankRuleOrNoNationalPrefixGivesThePlainTemplate) {
  territory.numberFormats = {numberFormat("(\\d{3})(\\d{3})", "$1 $2", {}, "  ")};
  EXPECT_EQ(formatter.format(number(223456), PhoneNumberFormat::national, &territory), "223 456");
  territory.numberFormats[0].nationalPrefixFormattingRule = "$NP$FG";
  territory.nationalPrefix.reset();
  EXPECT_EQ(formatter.format(number(223456), PhoneNumberFormat::national, &territory), "223 456");
}

TEST_F(FormatterTest, RuleGoesOnlyAtTheFirstPlaceholder) {
  territory.numberFormats = {numberFormat("(\\d{3})(\\d{3})", "$1 $2", {}, "$NP-$FG")};
  EXPECT_EQ(formatter.format(number(223456), PhoneNumberFormat::national, &territory), "0-223 456");
}

TEST_F(FormatterTest, VanishedRegexManagerLeavesTheNumberPlain) {
  Formatter orphan(std::make_shared<RegexManager>());  // the only owner is gone after construction
  territory.numberFormats = {numberFormat("(\\d{3})(\\d{3})", "$1 $2")};
  EXPECT_EQ(orphan.format(number(223456, false, "7"), PhoneNumberFormat::national, &territory), "223456 ext. 7");
}

TEST(EngineFormat, Layouts) {
  const auto engine = testing::fixtureEngine();
  const PhoneNumber italian("", 39, true, 61, std::nullopt, PhoneNumberType::fixedLine, "IT");
  EXPECT_EQ(engine->format(italian, PhoneNumberFormat::e164, false), "061");
  EXPECT_EQ(engine->format(italian, PhoneNumberFormat::e164, true), "+39061");

  const PhoneNumber us = engine->parse("650 253 0000 x12", "US", false);
  EXPECT_EQ(engine->format(us, PhoneNumberFormat::e164), "+16502530000");  // E.164 has no extension
  EXPECT_EQ(engine->format(us, PhoneNumberFormat::international), "+1 650-253-0000 ext. 12");
  EXPECT_EQ(engine->format(us, PhoneNumberFormat::international, false), "650-253-0000 ext. 12");
  // The rule "$NP $FG" replaces the first placeholder, inside the template's brackets.
  EXPECT_EQ(engine->format(us, PhoneNumberFormat::national), "(1 650) 253-0000 ext. 12");

  // Formatting follows the main territory of the calling code, also for a number of another region.
  const PhoneNumber canadian = engine->parse("416 555 0100", "CA", false);
  EXPECT_EQ(engine->format(canadian, PhoneNumberFormat::international), "+1 416-555-0100");
}

}  // namespace
}  // namespace numberplan
