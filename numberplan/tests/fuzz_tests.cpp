// Randomised input: mutated metadata documents decode or fail with MetadataDecodingError and a manager built
// from them comes up quietly; random typed text over the shipped metadata only ever gives a number or a
// PhoneNumberError, and the as-you-type formatter only ever gives text.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <vector>

#include "testing/bounded_task.hpp"
#include "numberplan/metadata/metadata_manager.hpp"
#include "numberplan/metadata/metadata_types.hpp"
#include "numberplan/formatting/partial_formatter.hpp"
#include "numberplan/formatting/phone_number_formatter.hpp"
#include "numberplan/regex/utf16_text.hpp"
#include "numberplan/values/phone_number_error.hpp"
#include "phone_fixture.hpp"

namespace numberplan {
namespace {

using nlohmann::json;

const json& seedDocument() {
  static const json document = json::parse(R"json({"phoneNumberMetadata": {"territories": {"territory": [
    {"id": "GB", "countryCode": "44", "mainCountryForCode": "true", "internationalPrefix": "00",
     "nationalPrefix": "0", "nationalPrefixFormattingRule": "$NP$FG", "preferredExtnPrefix": " ext. ",
     "generalDesc": {"nationalNumberPattern": "[1-357-9]\\d{9}", "possibleNumberPattern": "\\d{7,10}"},
     "fixedLine": {"exampleNumber": "1212345678", "nationalNumberPattern": "1\\d{9}",
                   "possibleLengths": {"national": "[9-10]", "localOnly": "[6-7]"}},
     "mobile": {"exampleNumber": "7400123456", "nationalNumberPattern": "7\\d{9}", "possibleLengths": {"national": "10"}},
     "availableFormats": {"numberFormat": [
        {"pattern": "(\\d{2})(\\d{4})(\\d{4})", "format": "$1 $2 $3", "leadingDigits": ["2"]},
        {"pattern": "(\\d{4})(\\d{6})", "format": "$1 $2", "leadingDigits": "1",
         "nationalPrefixOptionalWhenFormatting": "true", "intlFormat": "$1 $2"}]}},
    {"id": "GG", "countryCode": "+44", "internationalPrefix": "00", "nationalPrefix": "0",
     "nationalPrefixForParsing": "([25-9]\\d{5})$|0", "nationalPrefixTransformRule": "1481$1",
     "leadingDigits": "1481|7(?:781|839|911)",
     "availableFormats": {"numberFormat": {"pattern": "(\\d{3})", "format": "$1"}}},
    {"id": "001", "countryCode": "800", "internationalPrefix": "", "tollFree": {"exampleNumber": "12345678"}}
  ]}}})json");
  return document;
}

// Runs the decoder and a manager on one input; any exception other than the decoder's fails the test.
// Returns whether the text decoded.
bool decodeEither(const std::string& text) {
  bool decoded = false;
  try {
    (void)decodePhoneNumberMetadata(text);
    decoded = true;
  } catch (const MetadataDecodingError&) {
  } catch (const std::exception& error) {
    ADD_FAILURE() << "unexpected " << error.what() << " for: " << text;
  }
  ::testing::internal::CaptureStdout();
  const MetadataManager manager([&] { return std::optional<std::vector<std::uint8_t>>({text.begin(), text.end()}); });
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(manager.territories().empty(), !decoded);
  return decoded;
}

json randomValue(std::mt19937& random) {
  switch (random() % 8) {
    case 0: return nullptr;
    case 1: return true;
    case 2: return static_cast<int>(random() % 1000) - 500;
    case 3: return "true";
    case 4: return "(\\d{3})\\\\";
    case 5: return json::array({"1", 2});
    case 6: return json::object({{"pattern", "(\\d)"}});
    default: return "18446744073709551616";
  }
}

// Replaces one node anywhere in the tree by a random value, or removes a member.
void mutateTree(json& node, std::mt19937& random, int depth = 0) {
  if ((node.is_object() || node.is_array()) && !node.empty() && (random() % 5 != 0 || depth < 2)) {
    auto it = node.begin();
    std::advance(it, static_cast<long>(random() % node.size()));
    if (node.is_object() && random() % 6 == 0) {
      node.erase(it.key());
      return;
    }
    mutateTree(*it, random, depth + 1);
    return;
  }
  node = randomValue(random);
}

TEST(MetadataDecodingFuzz, MutatedTreesDecodeOrFailCleanly) {
  std::mt19937 random(20261206);
  int decoded = 0;
  for (int round = 0; round < 1500; ++round) {
    json document = seedDocument();
    for (int i = 1 + static_cast<int>(random() % 3); i > 0; --i) mutateTree(document, random);
    decoded += decodeEither(document.dump()) ? 1 : 0;
  }
  // Both outcomes must be exercised, or the mutations are not reaching the decoder's rules.
  EXPECT_GT(decoded, 40);
  EXPECT_LT(decoded, 1400);
}

TEST(MetadataDecodingFuzz, MutatedBytesDecodeOrFailCleanly) {
  std::mt19937 random(7);
  const std::string seed = seedDocument().dump();
  const std::string alphabet = "{}[]\":,\\ 0123456789truefalsn+-.eE\xff\xc3\x80\x00";
  for (int round = 0; round < 1500; ++round) {
    std::string text = seed;
    for (int i = 1 + static_cast<int>(random() % 8); i > 0 && !text.empty(); --i) {
      const std::size_t at = random() % text.size();
      switch (random() % 4) {
        case 0: text[at] = alphabet[random() % alphabet.size()]; break;
        case 1: text.insert(at, 1, alphabet[random() % alphabet.size()]); break;
        case 2: text.erase(at, 1 + random() % 16); break;
        default: text.insert(at, text.substr(random() % text.size(), random() % 32)); break;
      }
    }
    decodeEither(text);
  }
  decodeEither(std::string(100000, '['));  // deep nesting
  decodeEither(std::string(2, '\0'));
}

// Pieces typed numbers are made of, including the characters that trip parsers: full-width and Arabic-Indic
// digits, invisible separators, astral characters, extension words, and invalid UTF-8.
const std::vector<std::string> pieces = {
    "0", "1", "2", "4", "7", "9", "00", "011", "+", "\uFF0B", "-", " ", "(", ")", ".", "/", "~", "*", "#", ",", ";",
    "x", "ext.", ";ext=", "ext", "\u00AD", "\u200B", "\u2060", "\u3000", "\u00A0", "\uFF11", "\u0661", "\u06F5",
    "\U0001F4DE", "a", "Z", "\xFF", "\xC3", "\xE2\x80", "\u2008", "$1", "\\", "|", "[", "]", "{", "}",
};

const std::vector<std::string> seeds = {
    "+1 650 253 0000", "020 7946 0123", "+44 (0) 20 7946 0123", "011 44 20 7946 0123", "+49 30 12345678",
    "06 1234 5678",    "+61 2 5550 1234", "0011 61 2 5550 1234", "090-5550-0123", "+800 1234 5678",
    "650 253 0000 ext. 123", "+33 1 99 00 01 23;ext=4", "1800 160 401", "+91 98123 45678",
    "00 21 44 20 7946 0958", "0033-010-1-312-555-0188", "009 234 806 555 0123", "11 15 5123 4567", "1-800-88-1234",
};

std::string randomText(std::mt19937& random) {
  std::string text;
  if (random() % 2 == 0) text = seeds[random() % seeds.size()];
  const int edits = static_cast<int>(random() % 8);
  for (int i = 0; i < edits; ++i) {
    const std::string& piece = pieces[random() % pieces.size()];
    const std::size_t at = text.empty() ? 0 : random() % (text.size() + 1);
    if (random() % 4 == 0 && !text.empty()) {
      text.erase(at == text.size() ? at - 1 : at, 1);
    } else {
      text.insert(at, piece);
    }
  }
  if (random() % 50 == 0) text = std::string(200 + random() % 100, "1-x("[random() % 4]);
  return text;
}

TEST(ParseFuzz, RandomTextGivesANumberOrAnError) {
  const auto engine = testing::shippedEngine();
  auto run = testing_support::launch([&] {
    std::mt19937 random(20261206);
    PartialFormatter typing(engine, "US");
    for (int round = 0; round < 20000; ++round) {
      const std::string text = randomText(random);
      static const char* const regions[] = {"US", "GB", "DE", "IT", "AU", "JP", "IN", "001", "BR", "NG", "AR", "MY"};
      const char* region = regions[round % std::size(regions)];
      try {
        const PhoneNumber number = engine->parse(text, region, round % 5 == 0);
        // What parses formats, and its E.164 form (which has no extension) parses back to the same number.
        const std::string e164 = engine->format(number, PhoneNumberFormat::e164);
        const PhoneNumber again = engine->parse(e164, region, true);
        EXPECT_TRUE(again.countryCode == number.countryCode && again.nationalNumber == number.nationalNumber &&
                    again.leadingZero == number.leadingZero)
            << text << " -> " << e164;
        (void)engine->format(number, PhoneNumberFormat::national);
      } catch (const PhoneNumberError&) {
      }
      typing.setDefaultRegion(region);
      const std::string shown = typing.formatPartial(text);
      // As-you-type never loses digits: the digits shown are the digits typed (or the text is unchanged).
      const auto& parser = *engine->parseManager()->parser();
      if (shown != text) {
        EXPECT_EQ(parser.normalizeNumber(shown), parser.normalizeNumber(text)) << text << " -> " << shown;
      }
    }
  });
  ASSERT_EQ(run.wait_for(std::chrono::seconds(60)), std::future_status::ready);
  run.get();
}

// Zeros and digits mutated into real numbers, above all right after the calling code, prefix or trunk zero where
// a leading zero lives: whatever the parser accepts, with or without the type check, must come back equal from
// its own E.164 text. Written numbers that would lose a zero are refused rather than turned into others.
TEST(ParseRoundTrip, AcceptedNumbersComeBackFromTheirE164) {
  const std::pair<const char*, const char*> seedsByRegion[] = {
      {"001", "+800 1234 5678"}, {"001", "00 800 1234 5678"}, {"001", "12345678"},   {"IT", "06 1234 5678"},
      {"IT", "+39 0577 123456"}, {"IT", "333 123 4567"},      {"GB", "020 7946 0123"}, {"GB", "+44 7700 900123"},
      {"DE", "030 12345678"},    {"DE", "0049 228 123456"},   {"AU", "0011 61 2 9876 5432"},
      {"JP", "03-1234-5678"},    {"US", "+1 202 555 0143"},   {"FR", "+33 6 12 34 56 78"}, {"NO", "22 12 34 56"},
      {"BR", "00 21 44 20 7946 0958"}, {"NG", "009 91 80 4123 4567"},
  };
  const auto engine = testing::shippedEngine();
  auto run = std::async(std::launch::async, [&] {
    std::mt19937 random(20261207);
    int accepted = 0;
    for (int round = 0; round < 6000; ++round) {
      const auto& [region, seed] = seedsByRegion[random() % std::size(seedsByRegion)];
      std::string text = seed;
      for (int edits = 1 + static_cast<int>(random() % 3); edits > 0; --edits) {
        // Most edits land early in the text, where the calling code and the leading zeros are.
        const std::size_t at = random() % 2 == 0 ? random() % std::min<std::size_t>(text.size() + 1, 7)
                                                 : random() % (text.size() + 1);
        switch (random() % 5) {
          case 0: text.insert(at, random() % 2 == 0 ? "0" : "00"); break;
          case 4: {
            // Zeros shifted in with as many digits dropped from the end: the length stays one the plan takes.
            const std::size_t zeros = 1 + random() % 2;
            text.insert(at, zeros, '0');
            text.resize(text.size() - zeros);
            break;
          }
          case 1: text.insert(at, 1, static_cast<char>('0' + random() % 10)); break;
          case 2: if (at < text.size()) text.erase(at, 1); break;
          default: if (at < text.size()) text[at] = static_cast<char>('0' + random() % 10); break;
        }
      }
      const bool ignoreType = random() % 2 == 0;
      PhoneNumber number;
      try {
        number = engine->parse(text, region, ignoreType);
      } catch (const PhoneNumberError&) {
        continue;
      }
      ++accepted;
      const std::string e164 = engine->format(number, PhoneNumberFormat::e164);
      try {
        EXPECT_EQ(engine->parse(e164, region, ignoreType), number) << text << " (" << region << ") -> " << e164;
      } catch (const PhoneNumberError& error) {
        ADD_FAILURE() << text << " (" << region << ") -> " << e164 << ": " << error.errorDescription();
      }
    }
    EXPECT_GT(accepted, 500);  // the mutations must leave enough valid numbers to test anything
  });
  ASSERT_EQ(run.wait_for(std::chrono::seconds(60)), std::future_status::ready);
  run.get();
}

// Random edits offered to the text-field formatter, with selections anywhere (also outside the text): it never
// fails, a reformatted text keeps the edited text's digits, and the caret it proposes lies inside the new text.
TEST(TextFieldFuzz, RandomEditsKeepDigitsAndACaretInsideTheText) {
  const auto engine = testing::shippedEngine();
  auto run = std::async(std::launch::async, [&] {
    std::mt19937 random(20261208);
    const auto& parser = *engine->parseManager()->parser();
    static const char* const regions[] = {"US", "CA", "GB", "FR", "DE", "IT", "JP", "IN"};
    for (int round = 0; round < 4000; ++round) {
      PhoneNumberFormatter field(engine, regions[round % 8]);
      const std::string before = randomText(random);
      std::string after = randomText(random);
      const auto offset = [&] { return static_cast<std::int64_t>(random() % 40) - 5; };
      TextRange caret{offset(), static_cast<std::int64_t>(random() % 3)};
      const std::string edited = after;
      if (!field.isPartialStringValid(&after, &caret, before, TextRange{offset(), offset()}, nullptr)) {
        EXPECT_EQ(parser.normalizeNumber(after), parser.normalizeNumber(edited)) << edited << " -> " << after;
        EXPECT_GE(caret.location, 0) << edited;
        EXPECT_LE(caret.location, static_cast<std::int64_t>(utf16Length(after))) << edited;
        EXPECT_EQ(caret.length, 0) << edited;
      }
    }
  });
  ASSERT_EQ(run.wait_for(std::chrono::seconds(60)), std::future_status::ready);
  run.get();
}

}  // namespace
}  // namespace numberplan
