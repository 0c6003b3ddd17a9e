// Parsing: the primitives and the driver's order, over the invented plan of phone_fixture.hpp.
#include <chrono>
#include <future>
#include <string>

#include <gtest/gtest.h>

#include "numberplan/phone_number_error.hpp"
#include "numberplan/phone_number_parser.hpp"
#include "phone_fixture.hpp"

namespace numberplan {
namespace {

using Case = PhoneNumberError::Case;

class ParserTest : public ::testing::Test {
 protected:
  std::shared_ptr<PhoneNumberEngine> engine = testing::fixtureEngine();
  const PhoneNumberParser& parser = *engine->parseManager()->parser();
  const MetadataTerritory& us = *engine->metadata("US");
  const MetadataTerritory& gb = *engine->metadata("GB");

  Case parseError(const std::string& text, const std::string& region = "US", bool ignoreType = false) {
    try {
      engine->parse(text, region, ignoreType);
    } catch (const PhoneNumberError& error) {
      return error.errorCase();
    }
    ADD_FAILURE() << "\"" << text << "\" parsed";
    return Case::deprecated;
  }
};

TEST_F(ParserTest, NormalizeKeepsOnlyMappedDigitsAndSymbols) {
  EXPECT_EQ(parser.normalizeNumber("\u0660\u0661\u0662-\u06F3\u06F4"), "01234");
  EXPECT_EQ(parser.normalizeNumber("(650) 253-0000"), "6502530000");
  EXPECT_EQ(parser.normalizeNumber("*#,; +x"), "*#,;");
  EXPECT_EQ(parser.normalizeNumber("\uFF11\uFF12\uFF13"), "");  // full-width digits are not in the map
}

TEST_F(ParserTest, StripExtensionReturnsTheDigitsOfTheMatchedGroup) {
  std::string number = "650 253 0000 ext. 123";
  EXPECT_EQ(parser.stripExtension(number), "123");
  EXPECT_EQ(number, "650 253 0000");

  number = "6502530000;ext=45";
  EXPECT_EQ(parser.stripExtension(number), "45");
  EXPECT_EQ(number, "6502530000");

  // The "#"-terminated and "x" forms carried their separators into the extension before.
  number = "650 253 0000 - 12#";
  EXPECT_EQ(parser.stripExtension(number), "12");
  number = "650 253 0000 x 7";
  EXPECT_EQ(parser.stripExtension(number), "7");

  number = "650 253 0000";
  EXPECT_EQ(parser.stripExtension(number), std::nullopt);
  EXPECT_EQ(number, "650 253 0000");
}

TEST_F(ParserTest, LeadingCountryCodeTakesTheShortestKnownCode) {
  std::string national = "unchanged";
  EXPECT_EQ(parser.leadingCountryCode("0441234", national), 0u);
  EXPECT_EQ(national, "unchanged");
  EXPECT_EQ(parser.leadingCountryCode("44123", national), 44u);  // no territory for 4
  EXPECT_EQ(national, "123");
  EXPECT_EQ(parser.leadingCountryCode("+16502530000", national), 1u);
  EXPECT_EQ(national, "6502530000");
  EXPECT_EQ(parser.leadingCountryCode("5991234", national), 599u);
  EXPECT_EQ(parser.leadingCountryCode("9991234", national), 0u);  // only three digits are tried
  EXPECT_EQ(parser.leadingCountryCode("+", national), 0u);
}

TEST_F(ParserTest, CountryCodeAfterPlusOrPrefixNeedsThreeCharacters) {
  std::string national;
  EXPECT_THROW(parser.countryCode("+12", national, us), PhoneNumberError);
  EXPECT_EQ(parser.countryCode("+123", national, us), 1u);
  EXPECT_THROW(parser.countryCode("01112", national, us), PhoneNumberError);
  EXPECT_EQ(parser.countryCode("011 44 20 7946 0000", national, us), 44u);
  EXPECT_EQ(parser.normalizeNumber(national), "2079460000");
  // A region without an international prefix names no country, whatever the text.
  EXPECT_EQ(parser.countryCode("+12", national, *engine->metadata("NI")), 0u);
}

TEST_F(ParserTest, InternationalPrefixFollowedByZeroIsKept) {
  std::string number = "0110441234";
  EXPECT_FALSE(parser.stripInternationalPrefix(number, "011"));
  EXPECT_EQ(number, "0110441234");
  number = "011441234";
  EXPECT_TRUE(parser.stripInternationalPrefix(number, "011"));
  EXPECT_EQ(number, "441234");
}

TEST_F(ParserTest, OwnCountryCodeWithoutPlusIsSplitOnlyWhenTheRestIsBetter) {
  std::string national = "16502530000";
  EXPECT_EQ(parser.countryCode("16502530000", national, us), 1u);
  EXPECT_EQ(national, "6502530000");
  // A number that does not start with the code is left alone.
  national = "2345678901";
  EXPECT_EQ(parser.countryCode("2345678901", national, us), 0u);
  EXPECT_EQ(national, "2345678901");
}

TEST_F(ParserTest, RemoveNationalPrefixAppliesTransformOnlyWhenItKeepsTheNumberValid) {
  MetadataTerritory territory;
  territory.nationalPrefixForParsing = "0(8)?";
  territory.nationalPrefixTransformRule = "5$1";
  territory.generalDesc = MetadataPhoneNumberDesc{std::nullopt, "5?8?\\d{6}", std::nullopt, std::nullopt};
  std::string number = "08123456";
  parser.removeNationalPrefix(number, territory);
  EXPECT_EQ(number, "58123456");

  // No last group text: the prefix is simply removed.
  number = "0123456";
  parser.removeNationalPrefix(number, territory);
  EXPECT_EQ(number, "123456");

  // Removing it would make a valid number invalid: kept.
  territory.generalDesc->nationalNumberPattern = "0\\d{6}";
  number = "0123456";
  parser.removeNationalPrefix(number, territory);
  EXPECT_EQ(number, "0123456");
}

TEST_F(ParserTest, NumberTypeFollowsTheFixedOrder) {
  // 80... matches both premium rate and toll free: premium rate comes first.
  EXPECT_EQ(parser.numberType("8001234567", gb, false), PhoneNumberType::premiumRate);
  EXPECT_EQ(parser.numberType("7700900123", gb, false), PhoneNumberType::mobile);
  EXPECT_EQ(parser.numberType("2079460000", gb, false), PhoneNumberType::fixedLine);
  EXPECT_EQ(parser.numberType("0079460000", gb, false), PhoneNumberType::unknown);
  // Identical fixed and mobile patterns.
  EXPECT_EQ(parser.numberType("6502530000", us, false), PhoneNumberType::fixedOrMobile);
  // With a leading zero, the number with its zero is tried first.
  EXPECT_EQ(parser.numberType("612345678", *engine->metadata("IT"), true), PhoneNumberType::fixedLine);
}

TEST_F(ParserTest, ParseCountryCodesAndRegions) {
  const PhoneNumber us1 = engine->parse("+1 (650) 253-0000", "us", false);
  EXPECT_EQ(us1.countryCode, 1u);
  EXPECT_EQ(us1.nationalNumber, 6502530000u);
  EXPECT_EQ(us1.regionID, "US");
  EXPECT_EQ(us1.numberString, "+1 (650) 253-0000");

  const PhoneNumber gb1 = engine->parse("011 44 20 7946 0000", "US", false);
  EXPECT_EQ(gb1.countryCode, 44u);
  EXPECT_EQ(gb1.type, PhoneNumberType::fixedLine);
  EXPECT_EQ(gb1.regionID, "GB");
  EXPECT_EQ(engine->parse("020 7946 0000", "GB", false), gb1);

  // Calling code 1 written by a non-main region's leading digits.
  EXPECT_EQ(engine->parse("+1 416 555 0100", "GB", false).regionID, "CA");
  EXPECT_EQ(engine->parse("416 555 0100", "US", false).regionID, "CA");

  // The region's own code without a plus sign.
  const PhoneNumber own = engine->parse("1 650 253 0000", "US", false);
  EXPECT_EQ(own.countryCode, 1u);
  EXPECT_EQ(own.nationalNumber, 6502530000u);

  // Letters after the digits are dropped; the whole input is kept as numberString.
  const PhoneNumber lettered = engine->parse("650 253 0000 call me", "US", false);
  EXPECT_EQ(lettered.nationalNumber, 6502530000u);
  EXPECT_EQ(lettered.numberString, "650 253 0000 call me");

  const PhoneNumber withExtension = engine->parse("650 253 0000 ext. 99", "US", false);
  EXPECT_EQ(withExtension.numberExtension, "99");
}

TEST_F(ParserTest, ParseLeadingZeros) {
  const PhoneNumber italian = engine->parse("06 1234 5678", "IT", false);
  EXPECT_TRUE(italian.leadingZero);
  EXPECT_EQ(italian.nationalNumber, 612345678u);
  EXPECT_EQ(italian.type, PhoneNumberType::fixedLine);

  const auto twoZeros = engine->parseManager()->validatedPhoneNumber("00612345", *engine->metadata("IT"), 39, true,
                                                                     "00612345", std::nullopt);
  ASSERT_TRUE(twoZeros);
  EXPECT_TRUE(twoZeros->leadingZero);
  EXPECT_EQ(twoZeros->nationalNumber, 612345u);
}

TEST_F(ParserTest, ParseIgnoringTypeKeepsTheJudgingRegion) {
  // AC judges and accepts 23456; with the type check the region search re-picks AB, the first that takes it.
  EXPECT_EQ(engine->parse("+599 23456", "AC", false).regionID, "AB");
  const PhoneNumber number = engine->parse("+599 23456", "AC", true);
  EXPECT_EQ(number.type, PhoneNumberType::unknown);
  EXPECT_EQ(number.regionID, "AC");
}

TEST_F(ParserTest, ParseErrors) {
  EXPECT_EQ(parseError("650 253 0000", "XX"), Case::invalidCountryCode);
  EXPECT_EQ(parseError("1"), Case::invalidNumber);
  EXPECT_EQ(parseError("call 650 253 0000"), Case::invalidNumber);
  // "+12" fails the valid-number pattern before country-code detection could call it too short.
  EXPECT_EQ(parseError("+12"), Case::invalidNumber);
  EXPECT_EQ(parseError("011 12"), Case::tooShort);
  EXPECT_EQ(parseError("011 044 1234"), Case::invalidNumber);
  EXPECT_EQ(parseError("+44 12"), Case::invalidNumber);
  EXPECT_EQ(parseError("123 456 78901234567890123"), Case::invalidNumber);  // beyond 64 bits
}

TEST_F(ParserTest, AmbiguityAmongNonMainTerritories) {
  // Only AB takes 6xxxx.
  EXPECT_EQ(engine->parse("+599 67890", "US", false).regionID, "AB");
  // AB reads 023456 with its national prefix removed, AC with a leading zero: two different numbers.
  try {
    engine->parse("+599 023456", "US", false);
    ADD_FAILURE() << "parsed";
  } catch (const PhoneNumberError& error) {
    ASSERT_EQ(error.errorCase(), Case::ambiguousNumber);
    ASSERT_EQ(error.phoneNumbers().size(), 2u);
    bool withZero = false;
    bool withoutZero = false;
    for (const PhoneNumber& number : error.phoneNumbers()) {
      EXPECT_EQ(number.nationalNumber, 23456u);
      (number.leadingZero ? withZero : withoutZero) = true;
    }
    EXPECT_TRUE(withZero && withoutZero);
  }
}

TEST_F(ParserTest, ListParseIsOrderedAndDropsFailuresOnRequest) {
  const std::vector<std::string> texts = {"650 253 0000", "x", "+44 20 7946 0000"};
  const auto kept = engine->parse(texts, "US", false, false);
  ASSERT_EQ(kept.size(), 2u);
  EXPECT_EQ(kept[0].countryCode, 1u);
  EXPECT_EQ(kept[1].countryCode, 44u);

  const auto all = engine->parse(texts, "US", false, true);
  ASSERT_EQ(all.size(), 3u);
  EXPECT_TRUE(all[1].isNotParsed());
  EXPECT_EQ(all[2].countryCode, 44u);
}

// Hostile and unusual input: bounded work, and no digit silently lost.
TEST_F(ParserTest, InputBeyondTheLengthLimitIsTooLong) {
  std::string text = "+1 650 253 0000";
  text.resize(ParseManager::maxInputLength, ' ');
  EXPECT_NO_THROW(engine->parse(text, "US", false));
  text.push_back(' ');
  EXPECT_EQ(parseError(text), Case::tooLong);
  // Counted in UTF-16 units, not bytes or characters: a no-break space is two bytes but one unit, an astral
  // character one character but two units.
  std::string spaced = "+1 650 253 0000";
  for (int i = 0; i < 200; ++i) spaced += "\u00A0";  // 415 bytes, 215 units
  EXPECT_NO_THROW(engine->parse(spaced, "US", false));
  std::string astral;
  for (int i = 0; i < 126; ++i) astral += "\U0001F4DE";  // 252 units
  EXPECT_EQ(parseError(astral), Case::tooLong);
}

TEST_F(ParserTest, DigitsTheMapWouldDropMakeTheNumberInvalid) {
  EXPECT_EQ(parseError("\uFF16\uFF15\uFF10 253 0000"), Case::invalidNumber);
  EXPECT_EQ(parseError("650 253 0000 ext. \uFF11\uFF12"), Case::invalidNumber);
  // Arabic-Indic digits are mapped, so they are fine.
  EXPECT_EQ(engine->parse("\u0666\u0665\u0660 253 0000", "US", false).nationalNumber, 6502530000u);
}

TEST_F(ParserTest, AdversarialInputsFinish) {
  const std::vector<std::string> inputs = {
      std::string(250, '1'),
      "+" + std::string(249, '-'),
      std::string(124, '1') + std::string(126, 'x'),
      [] {
        std::string text;
        while (text.size() < 240) text += "1-";
        return text + "ext";
      }(),
      std::string(200, '(') + "650" + std::string(47, ')'),
      std::string(8000, '1'),
  };
  auto run = std::async(std::launch::async, [&] {
    for (const std::string& input : inputs) {
      try {
        engine->parse(input, "US", false);
      } catch (const PhoneNumberError&) {
      }
    }
  });
  // A hang guard, not a timing: each input takes microseconds to milliseconds.
  ASSERT_EQ(run.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  run.get();
}

}  // namespace
}  // namespace numberplan
