// Parsing: the primitives and the driver's order, over the invented plan of phone_fixture.hpp.
#include <chrono>
#include <future>
#include <string>

#include <gtest/gtest.h>

#include "testing/bounded_task.hpp"
#include "numberplan/values/phone_number_error.hpp"
#include "numberplan/parsing/phone_number_parser.hpp"
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

TEST_F(ParserTest, StripExtensionReturnsTheDigitsOfTheMatchedGroup) {
  // The "#"-terminated and "x" forms carried their separators into the extension before.
  const std::pair<std::string, std::optional<std::string>> cases[] = {
      {"650 253 0000 ext. 123", "123"}, {"650 253 0000;ext=45", "45"}, {"650 253 0000 - 12#", "12"},
      {"650 253 0000 x 7", "7"},        {"650 253 0000", std::nullopt}};
  for (const auto& [text, extension] : cases) {
    std::string number = text;
    EXPECT_EQ(parser.stripExtension(number), extension) << text;
    EXPECT_EQ(parser.normalizeNumber(number), "6502530000") << text;
  }
}

TEST_F(ParserTest, CountryCodeDetection) {
  std::string national = "unchanged";
  EXPECT_EQ(parser.leadingCountryCode("0441234", national), 0u);
  EXPECT_EQ(national, "unchanged");
  EXPECT_EQ(parser.leadingCountryCode("44123", national), 44u);  // the shortest known code: none for 4
  EXPECT_EQ(national, "123");
  EXPECT_EQ(parser.leadingCountryCode("9991234", national), 0u);  // only three digits are tried
  // After a plus sign or the international prefix at least three characters must follow.
  EXPECT_THROW(parser.countryCode("+12", national, us), PhoneNumberError);
  EXPECT_EQ(parser.countryCode("+123", national, us), 1u);
  EXPECT_THROW(parser.countryCode("01112", national, us), PhoneNumberError);
  EXPECT_EQ(parser.countryCode("011 44 20 7946 0000", national, us), 44u);
  EXPECT_EQ(parser.normalizeNumber(national), "2079460000");
  // A region without an international prefix names no country, whatever the text.
  EXPECT_EQ(parser.countryCode("+12", national, *engine->metadata("NI")), 0u);
  // The region's own code without a plus sign is split off only when the rest is a better number.
  national = "16502530000";
  EXPECT_EQ(parser.countryCode("16502530000", national, us), 1u);
  EXPECT_EQ(national, "6502530000");
  national = "2345678901";
  EXPECT_EQ(parser.countryCode("2345678901", national, us), 0u);
  EXPECT_EQ(national, "2345678901");
}

TEST_F(ParserTest, InternationalPrefixFollowedByZeroIsKept) {
  std::string number = "0110441234";
  EXPECT_FALSE(parser.stripInternationalPrefix(number, "011"));
  EXPECT_EQ(number, "0110441234");
  number = "011441234";
  EXPECT_TRUE(parser.stripInternationalPrefix(number, "011"));
  EXPECT_EQ(number, "441234");
}

// A region with prefixes of several lengths: "001" beside "00" + "1", or a carrier code "39" after "00" beside
// the calling code 39. What follows decides which prefix was dialled, whatever order the pattern lists them in.
TEST_F(ParserTest, InternationalPrefixOfSeveralLengths) {
  const auto stripped = [&](std::string number, std::string_view pattern) {
    return parser.stripInternationalPrefix(number, pattern) ? number : "kept";
  };
  for (const std::string_view pattern : {"001?", "00|001", "001|00"}) {
    EXPECT_EQ(stripped("0016502530000", pattern), "16502530000") << pattern;
    EXPECT_EQ(stripped("001442079460000", pattern), "442079460000") << pattern;
    // Valid either way (+39 06 123456, +1 390 612 3456): the longer prefix, the one the region names.
    EXPECT_EQ(stripped("0013906123456", pattern), "3906123456") << pattern;
    // Valid neither way: the longest, so the error speaks of what followed it.
    EXPECT_EQ(stripped("00112", pattern), "12") << pattern;
    // A zero after the longer prefix leaves the shorter one; after every prefix, none.
    EXPECT_EQ(stripped("00101234", pattern), "101234") << pattern;
    EXPECT_EQ(stripped("0001234", pattern), "kept") << pattern;
  }
  EXPECT_EQ(stripped("0039442079460000", "00(?:39)?"), "442079460000");
  EXPECT_EQ(stripped("00390612345678", "00(?:39)?"), "390612345678");

  // A number still being typed: a prefix whose rest may still become a number comes before the longest.
  const auto typedPrefix = [&](std::string_view number, std::string_view pattern) {
    return parser.internationalPrefixLength(number, pattern, PhoneNumberParser::NumberExtent::beginning);
  };
  EXPECT_EQ(stripped("0012", "001?"), "2");
  EXPECT_EQ(typedPrefix("0012", "001?"), 2u);  // no calling code begins with 2; "1 2..." may be American
  EXPECT_EQ(typedPrefix("001", "001?"), 3u);   // nothing after it yet
  EXPECT_EQ(typedPrefix("00144", "001?"), 3u);  // +44 beside +1 44...: both may grow, the longer wins
  EXPECT_EQ(typedPrefix("0016502530000", "001?"), 2u);  // a whole number after the shorter one
  EXPECT_EQ(typedPrefix("0002", "001?"), std::nullopt);

  // Through a whole parse, in a region whose prefix may carry a carrier code.
  std::string json(testing::fixtureMetadataJson);
  const std::string gbPrefix = R"("id": "GB", "countryCode": "44", "mainCountryForCode": "true", "internationalPrefix": "00")";
  json.replace(json.find(gbPrefix), gbPrefix.size() - 1, gbPrefix.substr(0, gbPrefix.size() - 1) + R"((?:1[25])?)");
  const auto carrier = std::make_shared<PhoneNumberEngine>(
      [&] { return std::optional<std::vector<std::uint8_t>>(testing::bytesOf(json)); });
  ASSERT_EQ(carrier->metadata("GB")->internationalPrefix, "00(?:1[25])?");
  EXPECT_EQ(carrier->parse("00 15 1 650 253 0000", "GB", false).nationalNumber, 6502530000u);
  EXPECT_EQ(carrier->parse("00 1 250 253 0000", "GB", false).nationalNumber, 2502530000u);
  EXPECT_EQ(carrier->parse("00 12 39 06 1234 5678", "GB", false).countryCode, 39u);
}

TEST_F(ParserTest, RemoveNationalPrefixAppliesTransformOnlyWhenItKeepsTheNumberValid) {
  MetadataTerritory territory;
  territory.nationalPrefixForParsing = "0(8)?";
  territory.nationalPrefixTransformRule = "5$1";
  territory.generalDesc = MetadataPhoneNumberDesc{std::nullopt, "5?8?\\d{6}", std::nullopt, std::nullopt};
  auto removed = [&](std::string number) {
    parser.removeNationalPrefix(number, territory);
    return number;
  };
  EXPECT_EQ(removed("08123456"), "58123456");
  EXPECT_EQ(removed("0123456"), "123456");  // no last group text: the prefix is simply removed
  territory.generalDesc->nationalNumberPattern = "0\\d{6}";
  EXPECT_EQ(removed("0123456"), "0123456");  // removing it would make a valid number invalid
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

TEST_F(ParserTest, ParseCountryCodesRegionsAndLeadingZeros) {
  const PhoneNumber us1 = engine->parse("+1 (650) 253-0000", "us", false);
  EXPECT_EQ(us1.nationalNumber, 6502530000u);
  EXPECT_EQ(us1.regionID, "US");
  EXPECT_EQ(engine->parse("1 650 253 0000", "US", false), us1);  // the region's own code without a plus sign
  // Letters after the digits are dropped; the whole input is kept as numberString.
  const PhoneNumber lettered = engine->parse("650 253 0000 call me", "US", false);
  EXPECT_EQ(lettered, us1);
  EXPECT_EQ(lettered.numberString, "650 253 0000 call me");
  EXPECT_EQ(engine->parse("650 253 0000 ext. 99", "US", false).numberExtension, "99");
  // Pauses with nothing after them dial nothing; with digits after them they are an extension.
  const PhoneNumber paused = engine->parse("+1 202 555 0143", "US", false);
  for (const char* text : {"+1 202 555 0143,", "+1 202 555 0143;", "(202) 555-0143,,"}) {
    EXPECT_TRUE(engine->parse(text, "US", false) == paused) << text;
  }
  EXPECT_EQ(engine->parse("+1 202 555 0143,,12", "US", false).numberExtension, "12");

  const PhoneNumber gb1 = engine->parse("011 44 20 7946 0000", "US", false);
  EXPECT_EQ(gb1.type, PhoneNumberType::fixedLine);
  EXPECT_EQ(gb1.regionID, "GB");
  EXPECT_EQ(engine->parse("020 7946 0000", "GB", false), gb1);
  // Calling code 1 written by a non-main region's leading digits.
  EXPECT_EQ(engine->parse("+1 416 555 0100", "GB", false).regionID, "CA");
  EXPECT_EQ(engine->parse("416 555 0100", "US", false).regionID, "CA");

  EXPECT_EQ(engine->parse("06 1234 5678", "IT", false),
            PhoneNumber("", 39, true, 612345678, std::nullopt, PhoneNumberType::fixedLine, "IT"));
  // One leading zero is kept; a second would be lost and give another number.
  EXPECT_THROW(engine->parseManager()->validatedPhoneNumber("00612345", *engine->metadata("IT"), 39, true,
                                                            "00612345", std::nullopt),
               PhoneNumberError);
  EXPECT_EQ(parseError("+800 0012 3456", "US", true), Case::invalidNumber);
  EXPECT_EQ(parseError("00001144", "001", true), Case::invalidNumber);

  // AC judges and accepts 23456; with the type check the region search re-picks AB, the first that takes it.
  EXPECT_EQ(engine->parse("+599 23456", "AC", false).regionID, "AB");
  const PhoneNumber judged = engine->parse("+599 23456", "AC", true);
  EXPECT_EQ(judged.type, PhoneNumberType::unknown);
  EXPECT_EQ(judged.regionID, "AC");
}

// Includes hostile input: beyond the length limit, counted in UTF-16 units (a no-break space is two bytes but
// one unit, an astral character two units), and digits the map would silently drop.
TEST_F(ParserTest, ParseErrors) {
  std::string longest = "+1 650 253 0000";
  longest.resize(ParseManager::maxInputLength, ' ');
  std::string spaced = "+1 650 253 0000", astral;
  for (int i = 0; i < 200; ++i) spaced += "\u00A0";     // 415 bytes, 215 units
  for (int i = 0; i < 126; ++i) astral += "\U0001F4DE";  // 252 units
  EXPECT_NO_THROW(engine->parse(longest, "US", false));
  EXPECT_NO_THROW(engine->parse(spaced, "US", false));
  EXPECT_EQ(engine->parse("\u0666\u0665\u0660 253 0000", "US", false).nationalNumber, 6502530000u);  // mapped
  const std::pair<std::string, Case> cases[] = {
      {"1", Case::invalidNumber},
      {"call 650 253 0000", Case::invalidNumber},
      // "+12" fails the valid-number pattern before country-code detection could call it too short.
      {"+12", Case::invalidNumber},
      {"011 12", Case::tooShort},
      {"011 044 1234", Case::invalidNumber},
      {"+44 12", Case::invalidNumber},
      {"123 456 78901234567890123", Case::invalidNumber},  // beyond 64 bits
      {longest + " ", Case::tooLong},
      {astral, Case::tooLong},
      {"\uFF16\uFF15\uFF10 253 0000", Case::invalidNumber},
      {"650 253 0000 ext. \uFF11\uFF12", Case::invalidNumber},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(parseError(text), expected) << text;
  EXPECT_EQ(parseError("650 253 0000", "XX"), Case::invalidCountryCode);
}

// A dial link is not typed text: its scheme and parameters make no number, whatever they hold. Digits of scripts
// the digit map does not know are no digits; only a well-formed extension after the number is read as one.
TEST_F(ParserTest, DialLinksAndForeignDigitsGiveATypedError) {
  for (const std::string text :
       {"tel:+1-650-253-0000", "tel:6502530000;phone-context=+1", "tel:6502530000;phone-context=",
        "tel:6502530000;phone-context=;phone-context=+44", "tel:;phone-context=+1", "+1 650 253 0000;ext=12;ext=13",
        "+1 650 253 0000;ext=", "+1 650 253 0000;isub=12", "+1 650 253 0000;isub=;isub=", "+ +1 650 253 0000",
        "+\u0967 \u096C\u096B\u0966 253 0000",                                // Devanagari
        "+\u0E51 \u0E56\u0E55\u0E50 253 0000",                                // Thai
        "+\U0001D7CF \U0001D7D4\U0001D7D3\U0001D7CE 253 0000"}) {             // mathematical bold
    EXPECT_EQ(parseError(text), Case::invalidNumber) << text;
  }
  const PhoneNumber withExtension = engine->parse("+1 650 253 0000;ext=12", "US");
  EXPECT_EQ(withExtension.numberExtension, "12");
  EXPECT_EQ(withExtension.nationalNumber, 6502530000u);
}

// Text copied from a page or a message often carries white space before the plus sign: the number is still the
// one after it, and the text as given stays the number's text.
TEST_F(ParserTest, WhiteSpaceBeforeThePlusSign) {
  const PhoneNumber london = engine->parse("+44 20 7946 0000", "US", false);
  for (const std::string text : {" +44 20 7946 0000", "\t+44 20 7946 0000\n", "\u00A0+44 20 7946 0000",
                                 "\u3000\uFF0B44 20 7946 0000", "  +44 (20) 7946-0000 ", "\n\n+44 20 7946 0000"}) {
    PhoneNumber pasted;
    EXPECT_NO_THROW(pasted = engine->parse(text, "US", false)) << text;
    EXPECT_EQ(pasted, london) << text;
    EXPECT_EQ(pasted.numberString, text);
  }
  EXPECT_EQ(engine->parse(" +44 20 7946 0000 ext. 12", "US", false).numberExtension, "12");
  // Only white space is passed over: a word, or a second plus sign after it, still makes the text no number.
  EXPECT_EQ(parseError(" call +44 20 7946 0000"), Case::invalidNumber);
  EXPECT_EQ(parseError(" 1 +44 20 7946 0000"), Case::invalidNumber);
  EXPECT_EQ(parseError("   "), Case::invalidNumber);
}

// Typeset text separates digit groups with narrow, thin or figure spaces (French typography uses U+202F): they
// separate as a space does. A line break or a tab does not join two numbers into one.
TEST_F(ParserTest, TypographicSpacesBetweenDigitGroups) {
  const PhoneNumber london = engine->parse("+44 20 7946 0000", "US", false);
  for (const std::string text : {"+44\u202F20\u202F7946\u202F0000", "+44\u200920\u20097946\u20090000",
                                 "020\u20077946\u20070000", "\u205F+44 20\u20087946 0000"}) {
    PhoneNumber pasted;
    EXPECT_NO_THROW(pasted = engine->parse(text, "GB", false)) << text;
    EXPECT_EQ(pasted, london) << text;
    EXPECT_EQ(pasted.numberString, text);
  }
  EXPECT_EQ(parseError("06 1234\n5678", "IT"), Case::invalidNumber);
  EXPECT_EQ(parseError("06 1234\t5678", "IT"), Case::invalidNumber);
}

// The calling code is often written in brackets, the plus sign with it: "(+34) 91 123 45 67", "[+44] 20 ...".
TEST_F(ParserTest, CallingCodeInBracketsWithItsPlusSign) {
  const PhoneNumber london = engine->parse("+44 20 7946 0000", "US", false);
  for (const std::string text : {"(+44) 20 7946 0000", "[+44] 20 7946 0000", "(+44 20) 7946 0000", "( +44 ) 20 7946 0000",
                                 "(\uFF0B44) 20 7946 0000", " (+44) 20 7946 0000 ext. 12"}) {
    PhoneNumber pasted;
    EXPECT_NO_THROW(pasted = engine->parse(text, "US", false)) << text;
    EXPECT_EQ(pasted.countryCode, 44U) << text;
    EXPECT_EQ(pasted.nationalNumber, london.nationalNumber) << text;
  }
  EXPECT_EQ(parseError("(+43) 1 234 5678", "US"), Case::invalidCountryCode);
  EXPECT_EQ(parseError("(+)"), Case::invalidNumber);
}

// Text copied from a right-to-left page or a contacts list wraps a number in direction marks (U+202A and U+202C,
// U+2066 and U+2069) or puts a mark beside it; files may begin with a byte-order mark. None of them writes a digit.
TEST_F(ParserTest, DirectionMarksAroundAndInsideTheNumber) {
  const PhoneNumber london = engine->parse("+44 20 7946 0000", "US", false);
  for (const std::string text : {"\u202A+44 20 7946 0000\u202C", "\u200E+44 20 7946 0000", "+44\u200F 20 7946 0000",
                                 "\u2066+44 20 7946 0000\u2069", "\uFEFF+44 20 7946 0000", "\u061C+44 20 7946 0000"}) {
    PhoneNumber pasted;
    EXPECT_NO_THROW(pasted = engine->parse(text, "US", false)) << text;
    EXPECT_EQ(pasted, london) << text;
    EXPECT_EQ(pasted.numberString, text);
  }
  PhoneNumber national;
  EXPECT_NO_THROW(national = engine->parse("\u2067020 7946 0000\u2069", "GB", false));
  EXPECT_EQ(national, london);
  EXPECT_EQ(parseError("\u202A\u202C"), Case::invalidNumber);
}

// Web pages and word processors put invisible separators (zero-width space U+200B, word joiner U+2060) between
// or before the groups of a number; copied with it, they stand where a space may, before the plus sign too.
TEST_F(ParserTest, InvisibleSeparatorsBeforeThePlusSign) {
  const PhoneNumber london = engine->parse("+44 20 7946 0000", "US", false);
  for (const std::string text : {"\u200B+44 20 7946 0000", "\u2060+44 20 7946 0000", "(\u200B+44) 20 7946 0000",
                                 "+44\u200B20\u200B7946\u200B0000\u200B"}) {
    PhoneNumber pasted;
    EXPECT_NO_THROW(pasted = engine->parse(text, "US", false)) << text;
    EXPECT_EQ(pasted, london) << text;
    EXPECT_EQ(pasted.numberString, text);
  }
  EXPECT_EQ(parseError("\u200B\u2060"), Case::invalidNumber);
}

// A space or a bracket between the plus sign and the calling code ("+ 44", "+(44)") still writes that code.
TEST_F(ParserTest, SeparatorsBetweenThePlusSignAndTheCallingCode) {
  const PhoneNumber london = engine->parse("+44 20 7946 0000", "US", false);
  const PhoneNumber mountainView = engine->parse("+1 650 253 0000", "GB", false);
  const std::pair<std::string, const PhoneNumber*> cases[] = {
      {"+ 44 20 7946 0000", &london},       {"+(44) 20 7946 0000", &london},      {"+ (44) 20-7946-0000", &london},
      {"\uFF0B 44 20 7946 0000", &london}, {"+\u00A044 20 7946 0000", &london}, {"+ 1 650 253 0000", &mountainView}};
  for (const auto& [text, expected] : cases) {
    PhoneNumber parsed;
    EXPECT_NO_THROW(parsed = engine->parse(text, "GB", false)) << text;
    EXPECT_EQ(parsed, *expected) << text;
  }
  // What follows the separators is still read as a calling code: an unknown one stays unknown.
  EXPECT_EQ(parseError("+ (43) 1 234 5678", "US"), Case::invalidCountryCode);
}

// Letters written among the digits stand for digits (a number written in words, "06 CALL 1234") or for nothing
// the parser knows; dropping them would give another subscriber's number, as "06 1234" is in a plan of variable
// lengths. Words after the whole number, and the extension's words, are still passed over.
TEST_F(ParserTest, LettersAmongTheDigitsMakeNoNumber) {
  for (const auto& [text, region] : std::vector<std::pair<std::string, std::string>>{
           {"06 CALL 1234", "IT"}, {"+39 06 call 1234", "US"}, {"650 253 ab 0000", "US"}, {"+44 20 7946 NOW 0000", "US"}}) {
    EXPECT_EQ(parseError(text, region), Case::invalidNumber) << text;
  }
  const std::pair<std::string, std::optional<std::string>> passed[] = {
      {"650 253 0000 call me", std::nullopt}, {"650 253 0000 extension 12", "12"}, {"650 253 0000 anexo 12", "12"},
      {"650 253 0000 x 7", "7"}};
  for (const auto& [text, extension] : passed) {
    PhoneNumber number;
    EXPECT_NO_THROW(number = engine->parse(text, "US", false)) << text;
    EXPECT_EQ(number.nationalNumber, 6502530000u) << text;
    EXPECT_EQ(number.numberExtension, extension) << text;
  }
}

// "+" or the international prefix promises a calling code; an unknown one is not read as a national number.
TEST_F(ParserTest, UnknownCallingCodeAfterPlusOrInternationalPrefix) {
  const std::pair<std::string, std::string> unknown[] = {
      {"+43 1 234 5678", "US"},     {"+7 (812) 312-34-56", "GB"}, {"011 43 1 234 5678", "US"},
      {"00 7 812 312 3456", "GB"}, {"+43 1 234 5678", "IT"},     {"+ 43 1 234 5678", "US"},
  };
  for (const auto& [text, region] : unknown) {
    EXPECT_EQ(parseError(text, region), Case::invalidCountryCode) << text << " in " << region;
    EXPECT_EQ(parseError(text, region, true), Case::invalidCountryCode) << text << " in " << region;
  }
  // Known codes, and a national number of the region, still parse.
  EXPECT_EQ(engine->parse("+44 20 7946 0000", "US", false).countryCode, 44u);
  EXPECT_EQ(engine->parse("4312345678", "US", false).countryCode, 1u);
}

TEST_F(ParserTest, AmbiguityAmongNonMainTerritories) {
  // Only AB takes 6xxxx.
  EXPECT_EQ(engine->parse("+599 67890", "US", false).regionID, "AB");
  // AB reads 023456 with its national prefix removed, AC with a leading zero: two different numbers.
  try {
    engine->parse("+599 023456", "US", false);
    ADD_FAILURE() << "parsed";
  } catch (const PhoneNumberError& error) {
    const PhoneNumber withZero("", 599, true, 23456, std::nullopt, PhoneNumberType::unknown, std::nullopt);
    const PhoneNumber withoutZero("", 599, false, 23456, std::nullopt, PhoneNumberType::unknown, std::nullopt);
    EXPECT_EQ(error, PhoneNumberError::ambiguousNumber({withZero, withoutZero}));  // compared as sets
  }
}

TEST_F(ParserTest, ListParseIsOrderedAndDropsFailuresOnRequest) {
  const std::vector<std::string> texts = {"650 253 0000", "x", "+44 20 7946 0000"};
  const auto kept = engine->parse(texts, "US", false, false);
  ASSERT_EQ(kept.size(), 2u);
  EXPECT_EQ(kept[1].countryCode, 44u);
  const auto all = engine->parse(texts, "US", false, true);
  ASSERT_EQ(all.size(), 3u);
  EXPECT_TRUE(all[1].isNotParsed());
  EXPECT_EQ(all[2], kept[1]);
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
  auto run = testing_support::launch([&] {
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

// A national number that is valid as written keeps its digits even when they begin with the region's own
// calling code; only a number that is not valid as written is read as code plus a shorter national number.
namespace numberplan {
TEST(ParserOwnCallingCode, ValidNumbersAreNotSplitOffTheirLeadingCode) {
  const auto engine = testing::shippedEngine();
  const PhoneNumber kept = engine->parse("35 24 21 2183", "LU");
  EXPECT_EQ(engine->format(kept, PhoneNumberFormat::e164), "+3523524212183");
  const PhoneNumber split = engine->parse("352 26 12 34 56", "LU");
  EXPECT_EQ(engine->format(split, PhoneNumberFormat::e164), "+35226123456");
}
}  // namespace numberplan

// A trunk prefix written as a group of its own ("8 (495) ...") was dialled as one. When the rest is not a number
// and only the digits with the prefix counted form one, that is another subscriber's number: the input is
// refused. Written without the separating space, or where the leading digits really begin the number, the
// digits keep their meaning.
namespace numberplan {
TEST(ParserTrunkPrefix, APrefixWrittenApartIsNeverCountedAsADigit) {
  const auto engine = testing::shippedEngine();
  const std::pair<const char*, const char*> refused[] = {
      {"RU", "8 (495) 234-56-7"},  {"RU", "8 812 570-40-0"}, {"RU", "+7 8 (495) 234-56-7"},
      {"KZ", "8 (727) 258-12-3"},  // +7 shared: Russia's plan would have read 872...
      {"TJ", "8 88 123 456"},
  };
  for (const auto& [region, text] : refused) {
    try {
      const PhoneNumber number = engine->parse(text, region);
      ADD_FAILURE() << text << " (" << region << ") parsed as " << engine->format(number, PhoneNumberFormat::e164);
    } catch (const PhoneNumberError& error) {
      EXPECT_TRUE(error.errorCase() == PhoneNumberError::Case::invalidNumber ||
                  error.errorCase() == PhoneNumberError::Case::tooShort)
          << text << ": " << error.errorDescription();
    }
  }
  const std::pair<const char*, const char*> kept[][2] = {
      {{"RU", "812 570-40-00"}, {"", "+78125704000"}},  // the 8 begins the area code
      {{"RU", "800 200-00-00"}, {"", "+78002000000"}},
      {{"RU", "8 812 570-40-00"}, {"", "+78125704000"}},
      {{"RU", "+7 800 200 00 00"}, {"", "+78002000000"}},
  };
  for (const auto& [input, e164] : kept) {
    EXPECT_EQ(engine->format(engine->parse(input.second, input.first), PhoneNumberFormat::e164), e164.second)
        << input.second;
  }
}
}  // namespace numberplan
