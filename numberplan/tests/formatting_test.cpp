// Formatting: the full formatter's choice of format and national-prefix rule, the engine's layouts,
// as-you-type formatting, and the text-field formatter with its caret.
#include <gtest/gtest.h>

#include <memory>
#include <tuple>
#include <utility>

#include "numberplan/formatting/formatter.hpp"
#include "numberplan/formatting/partial_formatter.hpp"
#include "numberplan/formatting/phone_number_formatter.hpp"
#include "phone_fixture.hpp"
#include "text_field.hpp"

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

TEST_F(FormatterTest, NationalPrefixRule) {
  territory.numberFormats = {numberFormat("(\\d)(\\d{2})", "$1-$2", {}, "$NP ($FG)")};
  EXPECT_EQ(formatter.format(number(123), PhoneNumberFormat::national, &territory), "0 (1)-23");
  EXPECT_EQ(formatter.format(number(123), PhoneNumberFormat::international, &territory), "1-23");
  // The rule goes only at the first placeholder; international uses intlFormat and never the prefix.
  territory.numberFormats = {numberFormat("(\\d{3})(\\d{3})", "($1) $2", {}, "$NP-$FG")};
  EXPECT_EQ(formatter.format(number(223456), PhoneNumberFormat::national, &territory), "(0-223) 456");
  EXPECT_EQ(formatter.format(number(223456), PhoneNumberFormat::international, &territory), "(223) 456");
  territory.numberFormats[0].intlFormat = "$1-$2";
  EXPECT_EQ(formatter.format(number(223456), PhoneNumberFormat::international, &territory), "223-456");
  // A blank rule, or no national prefix, gives the plain template.
  territory.numberFormats[0].nationalPrefixFormattingRule = "  ";
  EXPECT_EQ(formatter.format(number(223456), PhoneNumberFormat::national, &territory), "(223) 456");
  territory.numberFormats[0].nationalPrefixFormattingRule = "$NP$FG";
  territory.nationalPrefix.reset();
  EXPECT_EQ(formatter.format(number(223456), PhoneNumberFormat::national, &territory), "(223) 456");
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

TEST_F(FormatterTest, WithoutTerritoryFormatsOrRegexManagerTheNumberStaysPlain) {
  EXPECT_EQ(formatter.format(number(12, true, "89"), PhoneNumberFormat::national, nullptr), "012");
  EXPECT_EQ(formatter.format(number(12, false, ""), PhoneNumberFormat::national, &territory), "12 ext. ");
  territory.preferredExtnPrefix = "#";
  EXPECT_EQ(formatter.format(number(12, false, "89"), PhoneNumberFormat::national, &territory), "12#89");
  Formatter orphan(std::make_shared<RegexManager>());  // the only owner is gone after construction
  territory.numberFormats = {numberFormat("(\\d{3})(\\d{3})", "$1 $2")};
  EXPECT_EQ(orphan.format(number(223456, false, "7"), PhoneNumberFormat::national, &territory), "223456#7");
}

TEST(EngineFormat, Layouts) {
  const auto engine = testing::fixtureEngine();
  const PhoneNumber italian("", 39, true, 61, std::nullopt, PhoneNumberType::fixedLine, "IT");
  EXPECT_EQ(engine->format(italian, PhoneNumberFormat::e164, false), "061");
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

// Every format of a number with an extension: E.164 drops it, the others append it. Numbers of the codes that
// belong to no country (ITU-T E.164, E.169.1-3) have no national prefix, and an Italian number keeps its leading
// 0 in every form (AGCOM, Piano nazionale di numerazione).
TEST(EngineFormatShippedPlan, ExtensionsNonGeographicCodesAndItalianZerosInEveryFormat) {
  const auto engine = testing::shippedEngine();
  struct Row {
    const char* input;
    const char* e164;
    const char* international;
    const char* national;
  };
  const Row rows[] = {
      {"+800 1234 5678;ext=77", "+80012345678", "+800 1234 5678 ext. 77", "1234 5678 ext. 77"},
      {"+808 1234 5678 x 5", "+80812345678", "+808 1234 5678 ext. 5", "1234 5678 ext. 5"},
      {"+870 773 123 456 ext. 9", "+870773123456", "+870 773 123 456 ext. 9", "773 123 456 ext. 9"},
      {"+881 6 3123 4567 ext 12", "+881631234567", "+881 6 3123 4567 ext. 12", "6 3123 4567 ext. 12"},
      {"+882 16 1234 5678 ext 3", "+8821612345678", "+882 16 1234 5678 ext. 3", "16 1234 5678 ext. 3"},
      {"+883 5100 1234 5678 #3", "+883510012345678", "+883 5100 1234 5678 ext. 3", "5100 1234 5678 ext. 3"},
      {"+979 1 2345 6789 ext 1", "+979123456789", "+979 1 2345 6789 ext. 1", "1 2345 6789 ext. 1"},
      {"+39 06 1234 5678 ext 12", "+390612345678", "+39 06 1234 5678 ext. 12", "06 1234 5678 ext. 12"},
      {"0039 02 1234 5678", "+390212345678", "+39 02 1234 5678", "02 1234 5678"},
  };
  for (const Row& row : rows) {
    const PhoneNumber number = engine->parse(row.input, "GB");
    EXPECT_EQ(engine->format(number, PhoneNumberFormat::e164), row.e164) << row.input;
    EXPECT_EQ(engine->format(number, PhoneNumberFormat::international), row.international) << row.input;
    EXPECT_EQ(engine->format(number, PhoneNumberFormat::national), row.national) << row.input;
    // Without the prefix, the international text loses "+<code> " and E.164 its "+<code>".
    const std::string code = std::to_string(number.countryCode);
    EXPECT_EQ(engine->format(number, PhoneNumberFormat::international, false),
              std::string(row.international).substr(code.size() + 2))
        << row.input;
    EXPECT_EQ(engine->format(number, PhoneNumberFormat::e164, false), std::string(row.e164).substr(code.size() + 1))
        << row.input;
  }
}

// Bundesnetzagentur, Nummernplan (Ortsnetzkennzahlen): beside the four-digit codes of their towns (Fuerstenwalde
// 03361, Erkner 03362, Eisenhuettenstadt 03364, Koenigs Wusterhausen 03375, Zossen 03377, Stralsund 03831), the
// eastern blocks hold five-digit codes whose fourth digit is not 0: Bad Saarow 033631, Storkow 033678, Zeuthen
// 033762, Bad Belzig 033841, Kremmen 033055, Wandlitz 033397, Naunhof 034293, Sebnitz 035971, Ruhla 036929,
// Klingenthal 037467, Kuehlungsborn 038293, Binz 038393, Ilsenburg 039452.
TEST(EngineFormatShippedPlan, EasternFiveDigitAreaCodesAreLaidOutWhole) {
  const auto engine = testing::shippedEngine();
  const std::pair<const char*, const char*> rows[] = {
      {"033631 12345", "033631 12345"}, {"033678 1234", "033678 1234"},   {"033762 12345", "033762 12345"},
      {"033841 12345", "033841 12345"}, {"033055 1234", "033055 1234"},   {"033397 12345", "033397 12345"},
      {"034293 12345", "034293 12345"}, {"035971 12345", "035971 12345"}, {"036929 1234", "036929 1234"},
      {"037467 1234", "037467 1234"},   {"038293 12345", "038293 12345"}, {"038393 1234", "038393 1234"},
      {"039452 12345", "039452 12345"}, {"03361 123456", "03361 123456"}, {"03362 123456", "03362 123456"},
      {"03364 123456", "03364 123456"}, {"03375 123456", "03375 123456"}, {"03377 123456", "03377 123456"},
      {"03831 123456", "03831 123456"}, {"0331 1234567", "0331 1234567"}};
  for (const auto& [input, national] : rows) {
    const PhoneNumber number = engine->parse(input, "DE");
    EXPECT_EQ(engine->format(number, PhoneNumberFormat::national), national) << input;
    EXPECT_EQ(engine->format(number, PhoneNumberFormat::international), "+49 " + std::string(national + 1)) << input;
  }
}

// Feeds the text one character at a time, as a field would, and returns every step.
std::vector<std::string> keystrokes(PartialFormatter& formatter, const std::string& text) {
  std::vector<std::string> steps;
  for (std::size_t length = 1; length <= text.size(); ++length) {
    steps.push_back(formatter.formatPartial(text.substr(0, length)));
  }
  return steps;
}

std::shared_ptr<PhoneNumberEngine> engineOf(const std::string& json) {
  return std::make_shared<PhoneNumberEngine>(
      [json] { return std::optional<std::vector<std::uint8_t>>(testing::bytesOf(json)); });
}

class PartialFormatterTest : public ::testing::Test {
 protected:
  std::shared_ptr<PhoneNumberEngine> engine = testing::fixtureEngine();
  PartialFormatter typing{engine, "US"};

  std::vector<std::string> typed(const std::string& text) { return keystrokes(typing, text); }
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
  EXPECT_EQ(typing.formatPartial("+4420"), "+44 20");  // too short for a template
  EXPECT_EQ(typing.formatPartial("65"), "65");
  EXPECT_EQ(typing.nationalNumber("011 44 20 7946"), "207946");
}

// A full-width plus (what East Asian keyboards type) says what "+" says: a calling code follows. Read as nothing,
// it would turn "+44 20 7946" into a national number of the field's region.
TEST_F(PartialFormatterTest, AFullWidthPlusIsAPlus) {
  EXPECT_EQ(typing.formatPartial("\uFF0B442079460000"), "+44 20 7946 0000");
  EXPECT_EQ(typing.currentRegion(), "GB");
  EXPECT_EQ(typing.formatPartial("\uFF0B4"), "+4");
  EXPECT_EQ(typing.formatPartial("\uFF0B"), "\uFF0B");  // no digit yet: as typed
  // A region without an international prefix takes neither plus off.
  PartialFormatter nicaragua(engine, "NI");
  EXPECT_EQ(nicaragua.formatPartial("\uFF0B44"), nicaragua.formatPartial("+44"));
}

// A dialling prefix is found on the digits, whatever its length and whatever separators stand between them; the part
// of it that the region's pattern captures (a carrier code) is set apart. Here Britain's "00" may carry carrier 12
// or 15, and America dials "010", alone or after carrier 001 or 0033.
TEST_F(PartialFormatterTest, DialPrefixesOfSeveralLengthsAreFoundOnTheDigits) {
  std::string json(testing::fixtureMetadataJson);
  const auto replaceFirst = [&](const std::string& from, const std::string& to) {
    json.replace(json.find(from), from.size(), to);
  };
  replaceFirst(R"("internationalPrefix": "011")", R"("internationalPrefix": "(00(?:1|33))?010")");
  replaceFirst(R"("id": "GB", "countryCode": "44", "mainCountryForCode": "true", "internationalPrefix": "00")",
               R"("id": "GB", "countryCode": "44", "mainCountryForCode": "true", "internationalPrefix": "00(1[25])?")");
  const auto plan = engineOf(json);
  PartialFormatter british(plan, "GB");
  EXPECT_EQ(keystrokes(british, "0015442079"),
            (std::vector<std::string>{"0", "00", "00 1", "00 15", "00 15 4", "00 15 44", "00 15 44 2", "00 15 44 20",
                                      "00 15 44 20 7", "00 15 44 20 79"}));
  EXPECT_EQ(british.formatPartial("00 15 44 20 7946 0000"), "00 15 44 20 7946 0000");
  EXPECT_EQ(british.formatPartial("0015 442079460000"), "00 15 44 20 7946 0000");
  // Carrier 12 and then 50..., or no carrier and +1 250: only the second names a number.
  EXPECT_EQ(british.formatPartial("0012502530000"), "00 1 (250) 253-0000");
  EXPECT_EQ(british.formatPartial("00442079460000"), "00 44 20 7946 0000");
  EXPECT_EQ(british.currentRegion(), "GB");

  PartialFormatter american(plan, "US");
  EXPECT_EQ(american.formatPartial("001010442079460000"), "001 010 44 20 7946 0000");
  EXPECT_EQ(american.formatPartial("001 010 44"), "001 010 44");
  EXPECT_EQ(american.formatPartial("0-0-3-3-0-1-0-4-4"), "0033 010 44");
  EXPECT_EQ(american.formatPartial("010 44 20 7946"), "010 44 20 7946");
}

// Digits after "+" or a dialling prefix that name no calling code yet are shown as typed: neither the region's
// national prefix nor its layout applies to them.
TEST_F(PartialFormatterTest, DigitsAwaitingACallingCodeAreLeftAsTyped) {
  EXPECT_EQ(typed("+4420"), (std::vector<std::string>{"+", "+4", "+44", "+44 2", "+44 20"}));
  EXPECT_EQ(typing.formatPartial("+9991"), "+9991");
  EXPECT_EQ(typing.formatPartial("0119991"), "011 9991");
  EXPECT_EQ(typing.formatPartial("+16502530000"), "+1 (650) 253-0000");
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

// Left as typed: text that is not a number, and text the parser would misread (too long, or with digits the
// digit map would drop); mapped Arabic-Indic digits are formatted.
TEST_F(PartialFormatterTest, TextThatIsNotANumberIsLeftAsTyped) {
  const std::string longText(ParseManager::maxInputLength + 1, '1');
  for (const std::string text : {"a650", " 650", "+", "+ ", "hello", "", "650\uFF12\uFF15\uFF13", longText.c_str()}) {
    EXPECT_EQ(typing.formatPartial(text), text);
  }
  EXPECT_EQ(typing.currentRegion(), "US");
  EXPECT_EQ(typing.formatPartial("\u0666\u0665\u0660253"), "650-253");
}

TEST_F(PartialFormatterTest, DialSuffixLongNumbersAndMaxDigits) {
  EXPECT_EQ(typing.formatPartial("6502530000;1,2"), "(650) 253-0000;1,2");
  EXPECT_EQ(typing.formatPartial("6502530000,1;2"), "(650) 253-0000,1;2");
  EXPECT_EQ(typing.formatPartial("650253000012"), "650253000012");  // longer than every format
  EXPECT_EQ(typing.formatPartial("+44207946000012"), "+44 207946000012");
  typing.setMaxDigits(4);
  EXPECT_EQ(typing.formatPartial("65025300"), "650-2");
  typing.setMaxDigits(-3);  // a negative limit keeps nothing rather than failing
  EXPECT_EQ(typing.formatPartial("+4420794"), "+44");
}

// After "+" and a calling code a trunk prefix is dropped only where the region's numbers cannot begin with it:
// Russia's trunk prefix 8 also begins its area codes (812 St Petersburg), Britain's 0 begins no number.
TEST_F(PartialFormatterTest, TrunkPrefixAfterACallingCode) {
  const auto json = std::string(R"json({"phoneNumberMetadata": {"territories": {"territory": [
    {"id": "RU", "countryCode": "7", "mainCountryForCode": "true", "internationalPrefix": "810",
     "nationalPrefix": "8", "nationalPrefixFormattingRule": "$NP ($FG)",
     "generalDesc": {"nationalNumberPattern": "[3489]\\d{9}"}, "fixedLine": {"nationalNumberPattern": "[348]\\d{9}"},
     "mobile": {"nationalNumberPattern": "9\\d{9}"},
     "availableFormats": {"numberFormat": [
       {"pattern": "(\\d{3})(\\d{3})(\\d{2})(\\d{2})", "format": "$1 $2-$3-$4"}]}}]}}})json");
  const auto plan = std::make_shared<PhoneNumberEngine>(
      [json] { return std::optional<std::vector<std::uint8_t>>(testing::bytesOf(json)); });
  PartialFormatter russia(plan, "RU");
  EXPECT_EQ(russia.formatPartial("+78125704000"), "+7 812 570-40-00");
  EXPECT_EQ(russia.formatPartial("+7812"), "+7 812");
  EXPECT_EQ(russia.formatPartial("88125704000"), "8 812 570-40-00");  // written nationally: the trunk prefix
  EXPECT_EQ(typing.formatPartial("+4402079460000"), "+44 020 7946 0000");  // the 0 is set apart, as before
}

// A national prefix that parsing rewrites ("0 22 15 ..." dials the mobile "9 22 ..."): while typing, the digits are
// laid out by the national layout of the number they stand for, which writes the same digits. Where the rewrite
// drops typed digits (a carrier code) that layout cannot show them, and the text is laid out as before.
TEST_F(PartialFormatterTest, RewrittenNationalPrefixIsLaidOutByTheNationalLayout) {
  const auto json = std::string(R"json({"phoneNumberMetadata": {"territories": {"territory": [
    {"id": "ZZ", "countryCode": "998", "mainCountryForCode": "true", "internationalPrefix": "00",
     "nationalPrefix": "0", "nationalPrefixForParsing": "0?(?:(2[2-4])15)?", "nationalPrefixTransformRule": "9$1",
     "generalDesc": {"nationalNumberPattern": "9?2[2-4]\\d{6}"}, "fixedLine": {"nationalNumberPattern": "2[2-4]\\d{6}"},
     "mobile": {"nationalNumberPattern": "92[2-4]\\d{6}"},
     "availableFormats": {"numberFormat": [
       {"pattern": "(\\d)(\\d{2})(\\d{3})(\\d{3})", "format": "$2 15-$3-$4", "intlFormat": "$1 $2 $3-$4",
        "leadingDigits": "9", "nationalPrefixFormattingRule": "$NP$FG"},
       {"pattern": "(\\d{2})(\\d{3})(\\d{3})", "format": "$1 $2-$3", "leadingDigits": "2",
        "nationalPrefixFormattingRule": "$NP$FG"}]}},
    {"id": "ZY", "countryCode": "997", "mainCountryForCode": "true", "internationalPrefix": "00",
     "nationalPrefix": "0", "nationalPrefixForParsing": "0(?:7[1-3](2[2-4]\\d{6}))?", "nationalPrefixTransformRule": "$1",
     "generalDesc": {"nationalNumberPattern": "2[2-4]\\d{6}"}, "fixedLine": {"nationalNumberPattern": "2[2-4]\\d{6}"},
     "availableFormats": {"numberFormat": [
       {"pattern": "(\\d{2})(\\d{3})(\\d{3})", "format": "$1 $2-$3", "nationalPrefixFormattingRule": "$NP$FG"}]}}
  ]}}})json");
  const auto plan = std::make_shared<PhoneNumberEngine>(
      [json] { return std::optional<std::vector<std::uint8_t>>(testing::bytesOf(json)); });
  PartialFormatter zz(plan, "ZZ");
  EXPECT_EQ(zz.formatPartial("022"), "022");
  EXPECT_EQ(zz.formatPartial("02215"), "022 15");
  EXPECT_EQ(zz.formatPartial("02215123456"), "022 15-123-456");
  EXPECT_EQ(zz.formatPartial("0221512345"), "022 15-123-45");
  EXPECT_EQ(zz.formatPartial("022 123456"), "022 123-456");        // a fixed line: no 15
  EXPECT_EQ(zz.formatPartial("+99892212345"), "+998 9 22 123-45");  // the international layout after "+"
  EXPECT_EQ(zz.formatPartial("922123456"), "9 22 123-456");
  PartialFormatter bare(plan, "ZZ", false);
  EXPECT_EQ(bare.formatPartial("02215123456"), "9 22 123-456");
  // Typed without the 0, as within the country: the layout without its prefix. Eight digits form a fixed-line
  // number too, but a 15 after the area code is a mobile being typed.
  EXPECT_EQ(zz.formatPartial("2215123456"), "22 15-123-456");
  EXPECT_EQ(zz.formatPartial("22151234"), "22 15-123-4");
  EXPECT_EQ(zz.formatPartial("22123456"), "22 123-456");
  // Carrier 71 is typed but dropped by the rewrite; the national layout cannot show it.
  PartialFormatter zy(plan, "ZY");
  EXPECT_EQ(zy.formatPartial("07122123456"), "07122123456");
}

// Digits typed without the national prefix take a layout written without it where one applies: nine digits of a
// toll-free number keep its layout, though they would be a whole mobile number, which is typed with its 0.
TEST_F(PartialFormatterTest, DigitsTypedWithoutTheNationalPrefixKeepALayoutWrittenWithoutIt) {
  const auto plan = engineOf(R"json({"phoneNumberMetadata": {"territories": {"territory": [
    {"id": "ZZ", "countryCode": "998", "mainCountryForCode": "true", "internationalPrefix": "00",
     "nationalPrefix": "0", "nationalPrefixForParsing": "0", "nationalPrefixFormattingRule": "$NP$FG",
     "generalDesc": {"nationalNumberPattern": "1[02-9]\\d{7}|1800\\d{6}"},
     "mobile": {"nationalNumberPattern": "1[02-9]\\d{7}"}, "tollFree": {"nationalNumberPattern": "1800\\d{6}"},
     "availableFormats": {"numberFormat": [
       {"pattern": "(\\d)(\\d{3})(\\d{2})(\\d{4})", "format": "$1-$2-$3-$4", "leadingDigits": "1800",
        "nationalPrefixFormattingRule": "$FG"},
       {"pattern": "(\\d{2})(\\d{3})(\\d{4})", "format": "$1 $2 $3", "leadingDigits": "1"}]}}]}}})json");
  PartialFormatter zz(plan, "ZZ");
  const auto steps = keystrokes(zz, "1800881234");
  EXPECT_EQ(std::vector<std::string>(steps.begin() + 3, steps.end()),
            (std::vector<std::string>{"1-800", "1-800-8", "1-800-88", "1-800-88-1", "1-800-88-12", "1-800-88-123",
                                      "1-800-88-1234"}));
  EXPECT_EQ(zz.formatPartial("123456789"), "12 345 6789");  // no layout without the prefix applies
  EXPECT_EQ(zz.formatPartial("0180088123"), "018 008 8123");
  EXPECT_EQ(zz.formatPartial("+998180088123"), "+998 18 008 8123");
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
  EXPECT_EQ(PartialFormatter(engine, "XX").currentRegion(), "US");
  PartialFormatter nicaragua(engine, "NI");  // no international prefix: the plus is dropped, the region kept
  EXPECT_EQ(nicaragua.formatPartial("+44123"), "44123");
  EXPECT_EQ(nicaragua.currentRegion(), "NI");
  PartialFormatter ignoring(engine, "GB", true, std::nullopt, true);
  ignoring.formatPartial("+80012345678");
  EXPECT_EQ(ignoring.currentRegion(), "GB");
  ignoring.setIgnoreIntlNumbers(false);
  EXPECT_EQ(ignoring.currentRegion(), "001");
  typing.setDefaultRegion("GB");
  EXPECT_EQ(typing.formatPartial("02079460000"), "020 7946 0000");
}

// A field is cleared and typed into again: nothing of the number shown before may come back. Argentina's mobile
// typed nationally leaves the most behind (the rewritten "0 11 15" prefix), and "+5", "00", "00 5" await a code.
TEST(PartialFormatterReuse, EveryCallStartsFromACleanTypingState) {
  const auto engine = testing::shippedEngine();
  PartialFormatter reused(engine, "AR");
  for (const std::string text : {"+5", "00", "00 5", "+54 9", "0351"}) {
    EXPECT_EQ(reused.formatPartial("011 15-2345-6789"), "011 15-2345-6789");
    const std::string fresh = PartialFormatter(engine, "AR").formatPartial(text);
    EXPECT_EQ(reused.formatPartial(text), fresh) << text;
  }
  EXPECT_EQ(reused.formatPartial("+5"), "+5");
  EXPECT_EQ(reused.formatPartial("00 5"), "00 5");
  EXPECT_EQ(reused.formatPartial("0351"), "0351");
  // Text refused as a number after a dialling prefix was typed: the next digits are a national number again.
  reused.formatPartial("00");
  EXPECT_EQ(reused.formatPartial("hello"), "hello");
  EXPECT_EQ(reused.formatPartial("01123456789"), "011 2345-6789");
}

// With a default region the metadata lacks (the locale may name one), "+" and a calling code still lay the number
// out by that code; with nothing to lay it out by, the text stays exactly as typed.
TEST(PartialFormatterUnknownRegion, APlusAndCallingCodeAreLaidOutByTheCode) {
  const auto engine = testing::shippedEngine();
  for (const std::string region : {"ZZ", "", "AQ"}) {
    PartialFormatter typing(engine, region);
    EXPECT_EQ(keystrokes(typing, "+442079460000"),
              (std::vector<std::string>{"+", "+4", "+44", "+44 2", "+44 20", "+44 20 7", "+44 20 79", "+44 20 794",
                                        "+44 20 7946", "+44 20 7946 0", "+44 20 7946 00", "+44 20 7946 000",
                                        "+44 20 7946 0000"}))
        << region;
    EXPECT_EQ(typing.currentRegion(), "GB");
    EXPECT_EQ(typing.formatPartial("+1 650 253 0000"), "+1 (650) 253-0000");
    EXPECT_EQ(typing.formatPartial("+999 12"), "+999 12");      // no calling code of that name
    EXPECT_EQ(typing.formatPartial("020 7946-00"), "020 7946-00");  // no region to lay national digits out by
    EXPECT_EQ(typing.currentRegion(), "US");
  }
  PartialFormatter nothingKnown(engineOf(R"({"phoneNumberMetadata": {"territories": {"territory": []}}})"), "GB");
  EXPECT_EQ(nothingKnown.formatPartial("+44 20 79"), "+44 20 79");
  EXPECT_EQ(nothingKnown.formatPartial("(020) 79"), "(020) 79");

  testing::TextField field(engine, "ZZ");
  field.type("+33 1 99 00 12 34");
  EXPECT_EQ(field.text(), "+33 1 99 00 12 34");
}

// A formatter moved from keeps no engine: it must not read the metadata of the engine it had, which may be gone.
TEST(PartialFormatterLifetime, AFormatterWithoutItsEngineReadsNoMetadata) {
  auto engine = testing::fixtureEngine();
  PartialFormatter movedFrom(engine, "US");
  EXPECT_EQ(movedFrom.formatPartial("+4420"), "+44 20");
  auto owner = std::make_unique<PartialFormatter>(std::move(movedFrom));
  EXPECT_EQ(owner->currentRegion(), "GB");
  engine.reset();
  owner.reset();  // the engine goes with its last owner
  EXPECT_EQ(movedFrom.currentRegion(), "US");
  movedFrom.setDefaultRegion("IT");
  EXPECT_EQ(movedFrom.currentRegion(), "US");
  movedFrom.setIgnoreIntlNumbers(true);
  EXPECT_EQ(movedFrom.currentRegion(), "US");
  EXPECT_EQ(movedFrom.formatPartial("+4420"), "+4420");
  EXPECT_EQ(movedFrom.currentRegion(), "US");
}

class PhoneNumberFormatterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    PhoneNumberEngine::setLocaleRegionProvider([] { return PhoneNumberEngine::LocaleRegion{"US", "US"}; });
  }
  void TearDown() override { PhoneNumberEngine::setLocaleRegionProvider(nullptr); }

  std::shared_ptr<PhoneNumberEngine> engine = testing::fixtureEngine();
  PhoneNumberFormatter formatter{engine, "US"};

  using Edit = std::tuple<bool, std::string, TextRange>;  // accepted, text, selection
  Edit edit(std::string text, TextRange selection, const std::string& original, TextRange originalSelection) {
    const bool accepted = formatter.isPartialStringValid(&text, &selection, original, originalSelection, nullptr);
    return {accepted, text, selection};
  }
};

TEST_F(PhoneNumberFormatterTest, ConstructionUsesItsArgumentsAndObjectValuesUseTheDeviceRegion) {
  PhoneNumberFormatter british(engine, "GB", false);
  const PhoneNumber number = engine->parse("+44 20 7946 0000", "US", false);
  EXPECT_EQ(british.string(number), "020 7946 0000");
  EXPECT_EQ(british.string(std::string("02079460000")), "20 7946 0000");
  EXPECT_EQ(british.string(PhoneNumberFormatter::ObjectValue{}), std::nullopt);
  british.setWithPrefix(true);
  EXPECT_EQ(british.string(number), "+44 20 7946 0000");
  EXPECT_EQ(british.string(std::string("02079460000")), "020 7946 0000");

  PhoneNumberFormatter::ObjectValue value;
  std::string error;
  EXPECT_TRUE(british.getObjectValue(&value, "anything", &error));
  EXPECT_EQ(std::get<std::string>(value), "anything");
  british.setGeneratesPhoneNumber(true);
  // Parsed for the device's region (US here), not the formatter's GB.
  ASSERT_TRUE(british.getObjectValue(&value, "650 253 0000", &error));
  EXPECT_EQ(std::get<PhoneNumber>(value).countryCode, 1u);
  EXPECT_FALSE(british.getObjectValue(&value, "020 7946 0000", &error));
  EXPECT_EQ(error, "The number provided is invalid.");
}

TEST_F(PhoneNumberFormatterTest, EditsAreReformattedAndTheCaretFollowsItsDigit) {
  EXPECT_EQ(edit("6502", {4, 0}, "650", {3, 0}), Edit(false, "650-2", {5, 0}));  // typed at the end
  // A 2 typed before the 2 of "650253": the caret stays before the old 2, the last "2" of "650-2253", found by
  // counting equal digits from the end.
  EXPECT_EQ(edit("6502253", {4, 0}, "650253", {3, 0}), Edit(false, "650-2253", {5, 0}));
  // "5555" with a 5 typed after the first: the anchor is the 5 with two 5s after it.
  EXPECT_EQ(edit("55555", {2, 0}, "5555", {1, 0}), Edit(false, "555-55", {2, 0}));
  EXPECT_EQ(edit("6502", {40, 7}, "650", {-5, 99}), Edit(false, "650-2", {5, 0}));  // out-of-range selections
  EXPECT_EQ(std::get<1>(edit("650253", {5, 0}, "6502530", {7, 0})), "650-253");  // backspace over a digit
  std::string text = "6502";
  EXPECT_TRUE(formatter.isPartialStringValid(&text, nullptr, "650", {3, 0}, nullptr));
  EXPECT_EQ(text, "6502");
  // Accepted as they are: formatted text, whitespace typed, a selection of spaces deleted, and a backspace over a
  // space with no selection (the inserted length is -1).
  for (const Edit& accepted : {edit("650-2", {5, 0}, "650-", {4, 0}), edit("650 ", {4, 0}, "650", {3, 0}),
                               edit("650\n2", {4, 0}, "6502", {3, 0}), edit("6502", {3, 0}, "650  2", {3, 2}),
                               edit("6502", {3, 0}, "650 2", {4, 0})}) {
    EXPECT_TRUE(std::get<0>(accepted)) << std::get<1>(accepted);
  }
}

}  // namespace
}  // namespace numberplan
