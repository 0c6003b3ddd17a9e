// As-you-type formatting over the invented plan: prefixes, templates, regions, and text left alone.
#include <gtest/gtest.h>

#include "numberplan/partial_formatter.hpp"
#include "phone_fixture.hpp"

namespace numberplan {
namespace {

class PartialFormatterTest : public ::testing::Test {
 protected:
  std::shared_ptr<PhoneNumberEngine> engine = testing::fixtureEngine();
  PartialFormatter typing{engine, "US"};

  // Feeds the text one character at a time, as a field would, and returns every step.
  std::vector<std::string> typed(const std::string& text) {
    std::vector<std::string> steps;
    for (std::size_t length = 1; length <= text.size(); ++length) steps.push_back(typing.formatPartial(text.substr(0, length)));
    return steps;
  }
};

TEST_F(PartialFormatterTest, NationalNumberKeystrokes) {
  EXPECT_EQ(typed("6502530000"),
            (std::vector<std::string>{"6", "65", "650", "650-2", "650-25", "650-253", "650-2530", "(650) 253-00",
                                      "(650) 253-000", "(650) 253-0000"}));
  EXPECT_EQ(typing.currentRegion(), "US");
}

TEST_F(PartialFormatterTest, InternationalPrefixAndCallingCode) {
  EXPECT_EQ(typing.formatPartial("011"), "011");
  EXPECT_EQ(typing.formatPartial("01144"), "011 44");
  EXPECT_EQ(typing.currentRegion(), "GB");
  EXPECT_EQ(typing.formatPartial("011442079"), "011 44 20 79");
  EXPECT_EQ(typing.formatPartial("+44"), "+44");
  EXPECT_EQ(typing.formatPartial("+442079460000"), "+44 20 7946 0000");
  EXPECT_EQ(typing.formatPartial("+4420"), "+44 20");
}

TEST_F(PartialFormatterTest, NationalPrefixIsShownApart) {
  PartialFormatter british(engine, "GB");
  EXPECT_EQ(british.formatPartial("02079460000"), "020 7946 0000");
  EXPECT_EQ(british.formatPartial("0207"), "020 7");
  // The US rule "$NP $FG" holds a space: the prefix gets one after it.
  EXPECT_EQ(typing.formatPartial("16502530000"), "1 (650) 253-0000");
  PartialFormatter bare(engine, "GB", false);
  EXPECT_EQ(bare.formatPartial("02079460000"), "20 7946 0000");
  EXPECT_EQ(bare.formatPartial("+442079460000"), "20 7946 0000");
}

TEST_F(PartialFormatterTest, TextThatIsNotANumberIsLeftAsTyped) {
  for (const std::string text : {"a650", " 650", "+", "+ ", "hello", ""}) {
    EXPECT_EQ(typing.formatPartial(text), text);
  }
  EXPECT_EQ(typing.currentRegion(), "US");
}

TEST_F(PartialFormatterTest, ShortNumbersAreNotTemplated) {
  EXPECT_EQ(typing.formatPartial("65"), "65");
  EXPECT_EQ(typing.formatPartial("+4420"), "+44 20");
}

TEST_F(PartialFormatterTest, RegionWithoutInternationalPrefixKeepsThePlus) {
  PartialFormatter nicaragua(engine, "NI");
  EXPECT_EQ(nicaragua.formatPartial("+44123"), "44123");
  EXPECT_EQ(nicaragua.currentRegion(), "NI");
}

TEST_F(PartialFormatterTest, MaxDigitsKeepsTheFirstDigits) {
  typing.setMaxDigits(4);
  EXPECT_EQ(typing.formatPartial("65025300"), "650-2");
  // A negative limit keeps nothing rather than failing.
  typing.setMaxDigits(-3);
  EXPECT_EQ(typing.formatPartial("+4420794"), "+44");
}

TEST_F(PartialFormatterTest, DialSuffixStaysUnformatted) {
  EXPECT_EQ(typing.formatPartial("6502530000,123"), "(650) 253-0000,123");
  EXPECT_EQ(typing.formatPartial("6502530000;1,2"), "(650) 253-0000;1,2");
  EXPECT_EQ(typing.formatPartial("6502530000,1;2"), "(650) 253-0000,1;2");
}

TEST_F(PartialFormatterTest, NumbersLongerThanEveryFormatStayUnformatted) {
  EXPECT_EQ(typing.formatPartial("650253000012"), "650253000012");
  EXPECT_EQ(typing.formatPartial("+44207946000012"), "+44 207946000012");
}

TEST_F(PartialFormatterTest, AlternationPatternsAreOnlyUsedWhole) {
  // A plan whose only format is an alternation: no template, but a whole match still formats.
  const auto json = std::string(R"json({"phoneNumberMetadata": {"territories": {"territory": [
    {"id": "ZZ", "countryCode": "998", "mainCountryForCode": "true", "internationalPrefix": "00",
     "generalDesc": {"nationalNumberPattern": "\\d{6}"}, "fixedLine": {"nationalNumberPattern": "\\d{6}"},
     "availableFormats": {"numberFormat": [{"pattern": "(\\d{3}|\\d{2})(\\d{3})", "format": "$1 $2"}]}}]}}})json");
  const auto plan = std::make_shared<PhoneNumberEngine>(
      [json] { return std::optional<std::vector<std::uint8_t>>(testing::bytesOf(json)); });
  PartialFormatter zz(plan, "ZZ");
  EXPECT_EQ(zz.formatPartial("1234"), "1234");
  EXPECT_EQ(zz.formatPartial("123456"), "123 456");
}

TEST_F(PartialFormatterTest, CurrentRegion) {
  typing.formatPartial("+16502530000");
  EXPECT_EQ(typing.currentRegion(), "US");
  typing.formatPartial("+442079460000");
  EXPECT_EQ(typing.currentRegion(), "GB");

  // A default region of calling code 1 that is not the main one keeps reporting itself.
  PartialFormatter canadian(engine, "CA");
  canadian.formatPartial("+16502530000");
  EXPECT_EQ(canadian.currentRegion(), "CA");
  canadian.formatPartial("+4420");
  EXPECT_EQ(canadian.currentRegion(), "GB");

  PartialFormatter unknownDefault(engine, "XX");
  EXPECT_EQ(unknownDefault.currentRegion(), "US");

  PartialFormatter ignoring(engine, "GB", true, std::nullopt, true);
  ignoring.formatPartial("+80012345678");
  EXPECT_EQ(ignoring.currentRegion(), "GB");
  ignoring.setIgnoreIntlNumbers(false);
  EXPECT_EQ(ignoring.currentRegion(), "001");

  typing.setDefaultRegion("GB");
  EXPECT_EQ(typing.formatPartial("02079460000"), "020 7946 0000");
}

TEST_F(PartialFormatterTest, TextTheParserWouldMisreadIsLeftAlone) {
  std::string longText(ParseManager::maxInputLength + 1, '1');
  EXPECT_EQ(typing.formatPartial(longText), longText);
  EXPECT_EQ(typing.formatPartial("650\uFF12\uFF15\uFF13"), "650\uFF12\uFF15\uFF13");
  EXPECT_EQ(typing.formatPartial("\u0666\u0665\u0660253"), "650-253");
}

TEST_F(PartialFormatterTest, NationalNumberAlone) {
  EXPECT_EQ(typing.nationalNumber("011 44 20 7946"), "207946");
}

}  // namespace
}  // namespace numberplan
