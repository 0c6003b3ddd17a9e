// A text field fed its own formatted text plus each edit, as a toolkit feeds PhoneNumberFormatter: typing key by
// key, backspace at the end and in the middle, pasting, and typing in the middle, with the caret checked after
// each. Expected texts are the layouts the regulators' plans use (NANP "(NPA) NXX-XXXX", Ofcom, ARCEP, BNetzA).
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "numberplan/formatting/partial_formatter.hpp"
#include "phone_fixture.hpp"
#include "text_field.hpp"

namespace numberplan {
namespace {

using testing::TextField;

struct Typed {
  const char* region;
  const char* keys;
  std::vector<std::string> shown;  // the text after each key
};

TEST(TextFieldTyping, EveryKeyShowsTheLayoutSoFar) {
  const Typed cases[] = {
      {"US", "2025550143",
       {"2", "20", "(202", "(202) 5", "(202) 55", "(202) 555", "(202) 555-0", "(202) 555-01", "(202) 555-014",
        "(202) 555-0143"}},
      {"CA", "4165550123",
       {"4", "41", "(416", "(416) 5", "(416) 55", "(416) 555", "(416) 555-0", "(416) 555-01", "(416) 555-012",
        "(416) 555-0123"}},
      {"PR", "7875550123",
       {"7", "78", "(787", "(787) 5", "(787) 55", "(787) 555", "(787) 555-0", "(787) 555-01", "(787) 555-012",
        "(787) 555-0123"}},
      {"GB", "02079460123",
       {"0", "02", "020", "020 7", "020 79", "020 794", "020 7946", "020 7946 0", "020 7946 01", "020 7946 012",
        "020 7946 0123"}},
      {"FR", "0612345678",
       {"0", "06", "061", "06 12", "06 12 3", "06 12 34", "06 12 34 5", "06 12 34 56", "06 12 34 56 7",
        "06 12 34 56 78"}},
      {"DE", "0228123456",
       {"0", "02", "022", "0228", "0228 1", "0228 12", "0228 123", "0228 1234", "0228 12345", "0228 123456"}},
      {"DE", "03320312345",
       {"0", "03", "033", "0332", "03320", "033203", "033203 1", "033203 12", "033203 123", "033203 1234",
        "033203 12345"}},
      // German 0800, 0900 and 032 numbers are no numbers of an area code (none begins 800, 900 or 32): their own
      // layout holds from the first digits on, not a four-digit area code's until the last digit comes.
      {"DE", "08001234567",
       {"0", "08", "080", "0800", "0800 1", "0800 12", "0800 123", "0800 1234", "0800 12345", "0800 123456",
        "0800 1234567"}},
      {"DE", "09001234567",
       {"0", "09", "090", "0900", "0900 1", "0900 12", "0900 123", "0900 1234", "0900 12345", "0900 123456",
        "0900 1234567"}},
      {"DE", "03212345678",
       {"0", "03", "032", "032 1", "032 12", "032 123", "032 1234", "032 12345", "032 123456", "032 1234567",
        "032 12345678"}},
      {"JP", "0921234567",
       {"0", "09", "092", "092-1", "092-12", "092-123", "092-123-4", "092-123-45", "092-123-456", "092-123-4567"}},
      // Tokorozawa's one-digit code 04 shows once its exchange's 29 is typed; 042 alone may still be Tama's code.
      {"JP", "0429234567",
       {"0", "04", "042", "04-29", "04-292", "04-2923", "04-2923-4", "04-2923-45", "04-2923-456", "04-2923-4567"}},
      // Until its digits name a calling code, what follows "+" is not laid out as a number of the field's region.
      {"US", "+4930123456",
       {"+", "+4", "+49", "+49 3", "+49 30", "+49 30 1", "+49 30 12", "+49 30 123", "+49 30 1234", "+49 30 12345",
        "+49 30 123456"}},
      // Argentine mobiles dialled nationally: 0, area code, 15, then the number (+54 9 11 5123-4567).
      {"AR", "0111551234567",
       {"0", "01", "011", "011 1", "011 15", "011 15-5", "011 15-51", "011 15-512", "011 15-5123", "011 15-5123-4",
        "011 15-5123-45", "011 15-5123-456", "011 15-5123-4567"}},
      {"AR", "0351156123456",
       {"0", "03", "035", "0351", "0351 1", "0351 15", "0351 15-6", "0351 15-61", "0351 15-612", "0351 15-612-3",
        "0351 15-612-34", "0351 15-612-345", "0351 15-612-3456"}},
      // Brazilian long-distance calls are dialled 0, the carrier's selection code, the area code and the number
      // (Anatel: 0 21 11 91234-5678): the carrier code stands apart from the trunk 0 as soon as a digit follows
      // it, and the number keeps its national layout after them. An area code beginning 1 never begins a number of
      // area 21, so "0211" is already read so.
      {"BR", "02111912345678",
       {"0", "02", "021", "0 21 1", "0 21 11", "0 21 (11) 9", "0 21 (11) 91", "0 21 (11) 912", "0 21 (11) 9123",
        "0 21 (11) 91234", "0 21 (11) 91234-5", "0 21 (11) 91234-56", "0 21 (11) 91234-567",
        "0 21 (11) 91234-5678"}},
      // Written with the trunk 0 but no carrier, a Rio number whose digits could also start a carrier's call shows
      // as that call until its tenth digit makes it whole; then the national layout's own reading wins.
      {"BR", "02122345678",
       {"0", "02", "021", "0 21 2", "0 21 22", "0 21 (22) 3", "0 21 (22) 34", "0 21 (22) 345", "0 21 (22) 3456",
        "0 21 (22) 3456-7", "0(21) 2234-5678"}},
      // Greek geographic numbers follow their area code: four digits for Thessaloniki's 2310.
      {"GR", "2310123456",
       {"2", "23", "231", "2310", "2310 1", "2310 12", "2310 123", "2310 1234", "2310 12345", "2310 123456"}},
      {"IN", "07122345678",
       {"0", "07", "071", "0712", "0712 2", "0712 23", "0712 234", "0712 234 5", "0712 234 56", "0712 234 567",
        "0712 234 5678"}},
      // South African numbers are a two-digit code and seven digits (082 123 4567) from the first digits on; only
      // 080x and 086x numbers are laid out in threes.
      {"ZA", "0821234567",
       {"0", "08", "082", "082 1", "082 12", "082 123", "082 123 4", "082 123 45", "082 123 456", "082 123 4567"}},
      {"ZA", "0111234567",
       {"0", "01", "011", "011 1", "011 12", "011 123", "011 123 4", "011 123 45", "011 123 456", "011 123 4567"}},
      {"ZA", "0800123456",
       {"0", "08", "080", "0800", "0800 1", "0800 12", "0800 123", "0800 123 4", "0800 123 45", "0800 123 456"}},
      // Nigerian mobiles (0803, 0901, 0701) keep their four-digit prefix to the last digit: no eight-digit
      // geographic number begins 080, 090 or 070, so the ninth digit never turns them into one.
      {"NG", "08031234567",
       {"0", "08", "080", "0803", "0803 1", "0803 12", "0803 123", "0803 123 4", "0803 123 45", "0803 123 456",
        "0803 123 4567"}},
      {"NG", "09012345678",
       {"0", "09", "090", "0901", "0901 2", "0901 23", "0901 234", "0901 234 5", "0901 234 56", "0901 234 567",
        "0901 234 5678"}},
      {"NG", "07012345678",
       {"0", "07", "070", "0701", "0701 2", "0701 23", "0701 234", "0701 234 5", "0701 234 56", "0701 234 567",
        "0701 234 5678"}},
      {"NG", "064123456", {"0", "06", "064", "064 1", "064 12", "064 123", "064 123 4", "064 123 45", "064 123 456"}},
      // Mexico: a two-digit area code only for Mexico City, Guadalajara and Monterrey (55, 56, 33, 81), three
      // digits everywhere else (222 Puebla), from the first digits typed.
      {"MX", "2221234567",
       {"2", "22", "222", "222 1", "222 12", "222 123", "222 123 4", "222 123 45", "222 123 456", "222 123 4567"}},
      {"MX", "5512345678",
       {"5", "55", "55 1", "55 12", "55 123", "55 1234", "55 1234 5", "55 1234 56", "55 1234 567", "55 1234 5678"}},
      // Azerbaijan: a two-digit code (Baku 012, mobile 050) and seven digits written 3-2-2.
      {"AZ", "0501234567",
       {"0", "05", "050", "050 1", "050 12", "050 123", "050 123 4", "050 123 45", "050 123 45 6", "050 123 45 67"}},
      {"AZ", "0124123456",
       {"0", "01", "012", "012 4", "012 41", "012 412", "012 412 3", "012 412 34", "012 412 34 5", "012 412 34 56"}},
      // Sudanese mobiles (091, 012) are a two-digit code and seven digits, laid out so from the third digit on.
      {"SD", "0912345678",
       {"0", "09", "091", "091 2", "091 23", "091 234", "091 234 5", "091 234 56", "091 234 567", "091 234 5678"}},
      // Egyptian mobiles (010, 011, 012, 015) and 0800 numbers have ten national digits: the ninth digit typed
      // never makes them a nine-digit geographic number, whose area codes are others.
      {"EG", "01012345678",
       {"0", "01", "010", "010 1", "010 12", "010 123", "010 1234", "010 1234 5", "010 1234 56", "010 1234 567",
        "010 1234 5678"}},
      {"EG", "08001234567",
       {"0", "08", "080", "0800", "0800 1", "0800 12", "0800 123", "0800 123 4", "0800 123 45", "0800 123 456",
        "0800 123 4567"}},
      {"EG", "0931234567",
       {"0", "09", "093", "093 1", "093 12", "093 123", "093 123 4", "093 123 45", "093 123 456", "093 123 4567"}},
      // Bulgarian 0800 and 090 numbers are eight national digits written 3-2-3 (0800 12 345); no area code is
      // 080 or 090, so they are never laid out as geographic numbers on the way.
      {"BG", "080012345", {"0", "08", "080", "0800", "0800 1", "0800 12", "0800 12 3", "0800 12 34", "0800 12 345"}},
      {"BG", "090012345", {"0", "09", "090", "0900", "0900 1", "0900 12", "0900 12 3", "0900 12 34", "0900 12 345"}},
      // Lao mobiles are 020 and eight digits (020 55 123 456); no geographic area code is 020.
      {"LA", "02055123456",
       {"0", "02", "020", "020 5", "020 55", "020 55 1", "020 55 12", "020 55 123", "020 55 123 4", "020 55 123 45",
        "020 55 123 456"}},
      // Taiwanese 080x freephone numbers have nine national digits; the eight-digit numbers of the 08 areas begin
      // 082, 083, 087, 088 or 089, never 080.
      {"TW", "0801234567",
       {"0", "08", "080", "0801", "0801 2", "0801 23", "0801 234", "0801 234 5", "0801 234 56", "0801 234 567"}},
      {"TW", "087321234", {"0", "08", "087", "08 73", "08 732", "08 732 1", "08 732 12", "08 732 123", "08 732 1234"}},
      // Taiwanese 070 numbers have ten national digits; no geographic number of the 07 area has more than eight.
      {"TW", "07012345678",
       {"0", "07", "070", "070 1", "070 12", "070 123", "070 1234", "070 1234 5", "070 1234 56", "070 1234 567",
        "070 1234 5678"}},
      // Irish mobiles (083, 085 to 089), 076 and 0818 numbers have nine national digits; only geographic numbers
      // are shorter, so these keep their own layout on the way.
      {"IE", "0871234567",
       {"0", "08", "087", "087 1", "087 12", "087 123", "087 123 4", "087 123 45", "087 123 456", "087 123 4567"}},
      {"IE", "0818123456",
       {"0", "08", "081", "0818", "0818 1", "0818 12", "0818 123", "0818 123 4", "0818 123 45", "0818 123 456"}},
      // Swiss voicemail access numbers are 086 and the twelve-digit called number; no nine-digit number begins 086,
      // so the voicemail layout holds while such a number is typed.
      {"CH", "0860791234567",
       {"0", "08", "086", "0860", "0860 7", "0860 79", "0860 79 1", "0860 79 12", "0860 79 123", "0860 79 123 4",
        "0860 79 123 45", "0860 79 123 45 6", "0860 79 123 45 67"}},
      // Malaysian mobiles are 01x and seven digits (012 345 6789); only 011 and the 0154 numbers have eight.
      {"MY", "0123456789",
       {"0", "01", "012", "012 3", "012 34", "012 345", "012 345 6", "012 345 67", "012 345 678", "012 345 6789"}},
      {"MY", "01123456789",
       {"0", "01", "011", "011 2", "011 23", "011 234", "011 2345", "011 2345 6", "011 2345 67", "011 2345 678",
        "011 2345 6789"}},
      // Korean 010 mobiles and 070 numbers have ten national digits, 0505 numbers too: they keep their layout to
      // the last digit instead of passing through the shorter one of 011 or of an area code.
      {"KR", "01012345678",
       {"0", "01", "010", "010-1", "010-12", "010-123", "010-1234", "010-1234-5", "010-1234-56", "010-1234-567",
        "010-1234-5678"}},
      {"KR", "07071234567",
       {"0", "07", "070", "070-7", "070-71", "070-712", "070-7123", "070-7123-4", "070-7123-45", "070-7123-456",
        "070-7123-4567"}},
      {"KR", "05051234567",
       {"0", "05", "050", "0505", "0505-1", "0505-12", "0505-123", "0505-123-4", "0505-123-45", "0505-123-456",
        "0505-123-4567"}},
      // Karachi (021) and Lahore (042) numbers are the two-digit code and eight digits; no area code is 0213 or
      // 0423, so the ninth digit typed keeps the code as it is.
      {"PK", "02134567890",
       {"0", "02", "021", "021 3", "021 34", "021 345", "021 3456", "021 34567", "021 345678", "021 3456789",
        "021 34567890"}},
      // Finnish 050 mobiles and the 020, 030, 0600 and 0800 numbers are not numbers of the one-digit area codes
      // 02, 03, 05, 06 and 08, whose local numbers never begin with 0.
      {"FI", "0501234567",
       {"0", "05", "050", "050 1", "050 12", "050 123", "050 123 4", "050 123 45", "050 123 456", "050 123 4567"}},
      {"FI", "0301234567",
       {"0", "03", "030", "030 1", "030 12", "030 123", "030 123 4", "030 123 45", "030 123 456", "030 123 4567"}},
      {"FI", "0800123456",
       {"0", "08", "080", "0800", "0800 1", "0800 12", "0800 123", "0800 1234", "0800 12345", "0800 123456"}},
      {"FI", "051234567", {"0", "05", "051", "05 12", "05 123", "05 123 4", "05 123 45", "05 123 456", "05 123 4567"}},
      // Swedish 07x numbers (mobiles, 074, 075, 077) always have nine national digits: the eighth digit typed
      // never makes one an eight-digit geographic number.
      {"SE", "0701234567",
       {"0", "07", "070", "070-1", "070-12", "070-123", "070-123 4", "070-123 45", "070-123 45 6", "070-123 45 67"}},
      // Tainan (06) and the other one-digit areas but Taichung have seven-digit local numbers: three digits, then
      // four, from the start.
      {"TW", "062812532", {"0", "06", "062", "06 28", "06 281", "06 281 2", "06 281 25", "06 281 253", "06 281 2532"}},
      // Korean 080 and 060 numbers have nine national digits: 080-123-4567 from the start.
      {"KR", "0801234567",
       {"0", "08", "080", "080-1", "080-12", "080-123", "080-123-4", "080-123-45", "080-123-456", "080-123-4567"}},
  };
  const auto engine = testing::shippedEngine();
  for (const Typed& typed : cases) {
    TextField field(engine, typed.region);
    std::vector<std::string> shown;
    for (const char* key = typed.keys; *key != '\0'; ++key) {
      field.type(std::string(1, *key));
      shown.push_back(field.text());
    }
    EXPECT_EQ(shown, typed.shown) << typed.region << " " << typed.keys;
    EXPECT_EQ(field.selection(), (TextRange{static_cast<std::int64_t>(field.text().size()), 0})) << typed.region;
  }
}

TEST(TextFieldTyping, NumbersWrittenWithPrefixesKeepFormatting) {
  const std::pair<const char*, const char*> cases[][2] = {
      {{"US", "+12025550143"}, {"", "+1 (202) 555-0143"}},
      {{"CA", "14165550123"}, {"", "1 (416) 555-0123"}},
      {{"US", "(202) 555-0143"}, {"", "(202) 555-0143"}},
      {{"GB", "+447700900123"}, {"", "+44 7700 900123"}},
      {{"DE", "+4930123456"}, {"", "+49 30 123456"}},
      {{"US", "\uFF0B447700900123"}, {"", "+44 7700 900123"}},  // a full-width plus, key by key
  };
  const auto engine = testing::shippedEngine();
  for (const auto& [input, expected] : cases) {
    TextField field(engine, input.first);
    field.type(input.second);
    EXPECT_EQ(field.text(), expected.second) << input.first << " " << input.second;
  }
}

// What a field shows once a number is typed is still that number: it parses as what was typed does.
// - Russia's trunk prefix is 8, and area codes such as St Petersburg's 812 and Kazan's 843 begin with 8 too
//   (ten-digit national numbers): written without the trunk prefix, as "(812) ..." usually is, the 8 belongs to
//   the area code.
// - An extension stays apart from the number: glued on, its digits make a number too long, or, where lengths
//   vary (Germany's), another number.
TEST(TextFieldTyping, TheTextShownStillReadsAsTheNumberTyped) {
  const std::pair<const char*, const char*> cases[] = {
      {"RU", "(812) 555-12-34"},       {"RU", "8125551234"},          {"RU", "843 555 12 34"},
      {"RU", "8 812 555 12 34"},       {"RU", "8 (912) 555-12-34"},   {"RU", "+7 812 555 12 34"},
      {"US", "(202) 555-0143"},        {"GB", "020 7946 0123"},       {"US", "202-555-0143 ext. 123"},
      {"US", "(202) 555-0143 x123"},   {"US", "+1 202 555 0143 extension 5"},
      {"GB", "020 7946 0123 x12"},     {"DE", "030 12345678 x12"},    {"US", "202 555 0143#9"},
  };
  const auto engine = testing::shippedEngine();
  for (const auto& [region, keys] : cases) {
    const PhoneNumber typedNumber = engine->parse(keys, region);
    TextField keyByKey(engine, region);
    keyByKey.type(keys);
    TextField pasted(engine, region);
    pasted.paste(keys);
    for (const TextField* field : {&keyByKey, &pasted}) {
      PhoneNumber shown;
      EXPECT_NO_THROW(shown = engine->parse(field->text(), region)) << keys << " shown as " << field->text();
      EXPECT_TRUE(shown == typedNumber) << keys << " shown as " << field->text();
    }
  }
  // The same digits as a number being typed on: the ninth digit after the 8 is still the trunk prefix's.
  EXPECT_EQ(PartialFormatter(engine, "RU").formatPartial("881255512"), "8 812 555-12");
  // Each letter of an extension's word shows as it is typed.
  TextField field(engine, "US");
  field.type("2025550143 e");
  EXPECT_EQ(field.text(), "(202) 555-0143 e");
  field.type("xt. 4");
  EXPECT_EQ(field.text(), "(202) 555-0143 ext. 4");
}

// A number pasted with its extension shows the extension apart, in every form the parser reads one; glued on,
// its digits would make another number where lengths vary (Germany's 030 123456712 is one).
TEST(TextFieldTyping, APastedExtensionStaysApart) {
  const std::pair<const char*, const char*> cases[][2] = {
      {{"DE", "030 1234567 - 12#"}, {"030 1234567 - 12#", "12"}},
      {{"DE", "030 1234567 12#"}, {"030 1234567 12#", "12"}},
      {{"US", "202-555-0143 - 4#"}, {"(202) 555-0143 - 4#", "4"}},
      {{"DE", "030 1234567 ext. 12"}, {"030 1234567 ext. 12", "12"}},
      {{"DE", "030 1234567;ext=12"}, {"030 1234567;ext=12", "12"}},
      {{"DE", "030 1234567 #12"}, {"030 1234567 #12", "12"}},
      {{"DE", "030 1234567, 12"}, {"030 1234567, 12", "12"}},
  };
  const auto engine = testing::shippedEngine();
  for (const auto& [input, expected] : cases) {
    const PhoneNumber pastedNumber = engine->parse(input.second, input.first);
    ASSERT_EQ(pastedNumber.numberExtension, std::optional<std::string>(expected.second)) << input.second;
    TextField field(engine, input.first);
    field.paste(input.second);
    EXPECT_EQ(field.text(), expected.first) << input.second;
    PhoneNumber shown;
    EXPECT_NO_THROW(shown = engine->parse(field.text(), input.first)) << input.second << " shown as " << field.text();
    EXPECT_TRUE(shown == pastedNumber) << input.second << " shown as " << field.text();
  }
}

// A word pasted after the number, in brackets or after a dash, stays as it was written, every character of it;
// the number before it is laid out and still reads as the same number.
TEST(TextFieldTyping, AWordPastedAfterTheNumberKeepsItsBrackets) {
  const std::pair<const char*, const char*> cases[][2] = {
      {{"US", "+1 202 555 0143 (mobile)"}, {"+1 (202) 555-0143 (mobile)", "+12025550143"}},
      {{"GB", "020 7946 0123 [home]"}, {"020 7946 0123 [home]", "+442079460123"}},
      {{"DE", "030 1234567 (Zentrale)"}, {"030 1234567 (Zentrale)", "+49301234567"}},
      {{"FR", "01 99 00 12 34 -bureau"}, {"01 99 00 12 34 -bureau", "+33199001234"}},
  };
  const auto engine = testing::shippedEngine();
  for (const auto& [input, expected] : cases) {
    TextField field(engine, input.first);
    field.paste(input.second);
    EXPECT_EQ(field.text(), expected.first) << input.second;
    PhoneNumber shown;
    EXPECT_NO_THROW(shown = engine->parse(field.text(), input.first)) << field.text();
    EXPECT_EQ(engine->format(shown, PhoneNumberFormat::e164), expected.second) << field.text();
  }
}

// An extension typed key by key after a spaced dash keeps its digits apart from the whole number before it, as a
// pasted one does; a dash between the digits of a number still being typed stays a separator the layout replaces.
TEST(TextFieldTyping, AnExtensionTypedAfterASpacedDashStaysApart) {
  const auto engine = testing::shippedEngine();
  {
    TextField field(engine, "DE");
    std::vector<std::string> shown;
    for (const char key : std::string_view("030 1234567 - 12#")) {
      field.type(std::string(1, key));
      shown.push_back(field.text());
    }
    const std::vector<std::string> tail(shown.end() - 6, shown.end());
    EXPECT_EQ(tail, (std::vector<std::string>{"030 1234567 ", "030 1234567 -", "030 1234567 - ", "030 1234567 - 1",
                                              "030 1234567 - 12", "030 1234567 - 12#"}));
    const PhoneNumber number = engine->parse(field.text(), "DE");
    EXPECT_EQ(number.nationalNumber, 301234567u);
    EXPECT_EQ(number.numberExtension, std::optional<std::string>("12"));
    field.backspace();
    field.backspace();
    EXPECT_EQ(field.text(), "030 1234567 - 1");
  }
  const std::pair<const char*, const char*> dashed[] = {
      {"030-1234567", "030 1234567"}, {"030 - 1234567", "030 1234567"}, {"0221 - 123456", "0221 123456"},
      {"202-555-0143", "(202) 555-0143"}, {"030 - 1234567 - 12#", "030 1234567 - 12#"},
  };
  for (const auto& [keys, expected] : dashed) {
    TextField field(engine, keys[0] == '2' ? "US" : "DE");
    field.type(keys);
    EXPECT_EQ(field.text(), expected) << keys;
  }
}

// A key that cannot be laid out after a whole number is left as typed, and so is everything before it.
TEST(TextFieldTyping, AKeyThatCannotBeLaidOutKeepsTheTextBeforeIt) {
  const auto engine = testing::shippedEngine();
  for (const std::string key : {"+", "!"}) {
    TextField field(engine, "US");
    field.type("2025550143");
    ASSERT_EQ(field.text(), "(202) 555-0143");
    field.type(key);
    EXPECT_EQ(field.text(), "(202) 555-0143" + key);
    EXPECT_EQ(field.selection(), (TextRange{15, 0}));
  }
}

// One edit on a field that already shows a number: where the caret is, what the edit does, what is shown after.
struct Edit {
  const char* region;
  const char* typedFirst;
  TextRange selection;  // selected before the edit
  enum { backspace, paste } kind;
  const char* pasted;
  const char* shown;
  std::int64_t caret;
};

TEST(TextFieldEditing, CaretStaysByTheDigitItWasNextTo) {
  const Edit edits[] = {
      // Backspace at the end.
      {"US", "2025550143", {14, 0}, Edit::backspace, "", "(202) 555-014", 13},
      {"GB", "02079460123", {13, 0}, Edit::backspace, "", "020 7946 012", 12},
      // Backspace in the middle: the digits move up and the caret stays before the same digit.
      {"US", "2025550143", {7, 0}, Edit::backspace, "", "(202) 550-143", 6},
      {"CA", "4165550123", {3, 0}, Edit::backspace, "", "(465) 550-123", 2},
      {"FR", "0612345678", {7, 0}, Edit::backspace, "", "06 12 45 67 8", 6},
      {"DE", "030123456", {6, 0}, Edit::backspace, "", "030 13456", 5},
      // Backspace before the last digit: the caret stays before it, and the next backspace takes the digit before.
      {"US", "2025550143", {13, 0}, Edit::backspace, "", "(202) 555-013", 12},
      {"EG", "01551234567", {12, 0}, Edit::backspace, "", "015 512 3457", 11},
      // Backspace over a separator the layout puts back: the caret steps over it.
      {"US", "2025550143", {10, 0}, Edit::backspace, "", "(202) 555-0143", 9},
      {"US", "2025550143", {5, 0}, Edit::backspace, "", "(202) 555-0143", 4},
      // Pasting into an empty field and over a selection.
      {"US", "", {0, 0}, Edit::paste, "2025550143", "(202) 555-0143", 14},
      {"CA", "", {0, 0}, Edit::paste, "+1 416 555 0123", "+1 (416) 555-0123", 17},
      {"GB", "", {0, 0}, Edit::paste, "07700900123", "07700 900123", 12},
      {"FR", "0612345678", {0, 14}, Edit::paste, "0145678901", "01 45 67 89 01", 14},
      {"US", "2025550143", {6, 3}, Edit::paste, "4", "(202) 401-43", 7},
      // Typing in the middle: the caret ends after the new digit.
      {"US", "202555014", {6, 0}, Edit::paste, "9", "(202) 955-5014", 7},
      {"CA", "416555012", {1, 0}, Edit::paste, "6", "(641) 655-5012", 2},
      {"GB", "0207946012", {4, 0}, Edit::paste, "8", "020 8794 6012", 5},
      {"FR", "061234567", {3, 0}, Edit::paste, "9", "06 91 23 45 67", 4},
      {"DE", "030123456", {4, 0}, Edit::paste, "9", "030 9123456", 5},
      {"US", "202555014", {12, 0}, Edit::paste, "9", "(202) 555-0194", 13},
      {"EG", "0155123457", {11, 0}, Edit::paste, "6", "015 5123 4567", 12},
  };
  const auto engine = testing::shippedEngine();
  for (const Edit& edit : edits) {
    TextField field(engine, edit.region);
    field.type(edit.typedFirst);
    const std::string before = field.text();
    field.select(edit.selection.location, edit.selection.length);
    if (edit.kind == Edit::backspace) {
      field.backspace();
    } else {
      field.paste(edit.pasted);
    }
    EXPECT_EQ(field.text(), edit.shown) << edit.region << " \"" << before << "\"";
    EXPECT_EQ(field.selection(), (TextRange{edit.caret, 0})) << edit.region << " \"" << before << "\"";
  }
}

// Backspacing a number away from its end shows, at every step, what typing the digits left shows: the bracket of
// a layout the digits no longer fill goes with it, and the last backspace leaves the field empty.
TEST(TextFieldEditing, BackspacingToTheStartShowsWhatTypingTheDigitsLeftShows) {
  const auto engine = testing::shippedEngine();
  const std::pair<const char*, const char*> numbers[] = {
      {"US", "2025550143"}, {"BR", "11912345678"}, {"GB", "02079460123"}, {"US", "+12025550143"}};
  for (const auto& [region, digits] : numbers) {
    TextField field(engine, region);
    field.type(digits);
    for (std::size_t left = std::string_view(digits).size(); left-- > 0;) {
      field.select(static_cast<std::int64_t>(utf16Length(field.text())));
      field.backspace();
      const std::string_view typed = std::string_view(digits).substr(0, left);
      TextField typedAfresh(engine, region);
      typedAfresh.type(typed);
      EXPECT_EQ(field.text(), typedAfresh.text()) << region << " " << typed;
      EXPECT_EQ(field.selection().location, typedAfresh.selection().location) << region << " " << typed;
      // Too few digits for any layout's groups: both show the bare digits, whatever the field showed before.
      if (typed == "20" || typed == "2" || (std::string_view(region) == "BR" && typed == "11")) {
        EXPECT_EQ(field.text(), typed) << region;
      }
    }
    EXPECT_EQ(field.text(), "") << region << " " << digits;
  }
}

// A toolkit may hand over any selection, at either end of the 64-bit range: the caret lands inside the text.
TEST(TextFieldEditing, SelectionsAtTheEndsOfTheRangeKeepTheCaretInTheText) {
  PhoneNumberFormatter formatter(testing::shippedEngine(), "US");
  constexpr std::int64_t most = std::numeric_limits<std::int64_t>::max();
  constexpr std::int64_t least = std::numeric_limits<std::int64_t>::min();
  const struct {
    TextRange proposed;
    std::int64_t caret;
  } cases[] = {
      {{most, 1}, 14}, {{most, most}, 14}, {{1, most}, 14}, {{10, most}, 14}, {{least, least}, 1}, {{-1, -1}, 1},
      {{least, most}, 14}, {{8, 0}, 12},
  };
  for (const auto& [proposed, caret] : cases) {
    std::string text = "2025550143";
    TextRange selection = proposed;
    EXPECT_FALSE(formatter.isPartialStringValid(&text, &selection, "202555014", TextRange{9, 0}, nullptr));
    EXPECT_EQ(text, "(202) 555-0143");
    EXPECT_EQ(selection, (TextRange{caret, 0})) << proposed.location << ", " << proposed.length;
  }
}

// A field emptied and typed into again shows what is typed now, never the number it showed before.
TEST(TextFieldEditing, AClearedFieldShowsOnlyWhatIsTypedNext) {
  const auto engine = testing::shippedEngine();
  TextField field(engine, "AR");
  field.type("01115234567");
  EXPECT_EQ(field.text(), "011 15-2345-67");
  field.select(0, static_cast<std::int64_t>(field.text().size()));
  field.backspace();
  EXPECT_EQ(field.text(), "");
  field.type("+5");
  EXPECT_EQ(field.text(), "+5");
  field.type("4 9 11 5123 4567");
  EXPECT_EQ(field.text(), "+54 9 11 5123-4567");
}

}  // namespace
}  // namespace numberplan
