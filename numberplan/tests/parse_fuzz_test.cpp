// The fuzz targets' property as an ordinary test: random and mutated typed text, over the shipped metadata,
// only ever gives a number or a PhoneNumberError, and the as-you-type formatter only ever gives text.
#include <chrono>
#include <future>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "numberplan/partial_formatter.hpp"
#include "numberplan/phone_number_error.hpp"
#include "phone_fixture.hpp"

namespace numberplan {
namespace {

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
  auto run = std::async(std::launch::async, [&] {
    std::mt19937 random(20261206);
    PartialFormatter typing(engine, "US");
    for (int round = 0; round < 20000; ++round) {
      const std::string text = randomText(random);
      static const char* const regions[] = {"US", "GB", "DE", "IT", "AU", "JP", "IN", "001"};
      const char* region = regions[round % 8];
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

}  // namespace
}  // namespace numberplan
