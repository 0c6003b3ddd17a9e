// The metadata shipped in the resource bundle: it decodes, every pattern in it compiles, every example fits its
// possible lengths, and every territory carries what parsing and formatting rely on.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>

#include "numberplan/constants.hpp"
#include "numberplan/metadata_types.hpp"
#include "numberplan/regex_manager.hpp"
#include "numberplan/resource_bundle.hpp"

namespace numberplan {
namespace {

std::string shippedText() {
  const auto path = resourceBundle().pathForResource("PhoneNumberMetadata", "json");
  if (!path) return {};
  std::ifstream file(*path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// "[4-6],8" -> {4, 5, 6, 8}; nothing for text this check does not understand.
std::optional<std::vector<std::size_t>> lengthsOf(const std::string& text) {
  std::vector<std::size_t> lengths;
  std::size_t start = 0;
  while (start <= text.size()) {
    const std::size_t comma = std::min(text.find(',', start), text.size());
    const std::string component = text.substr(start, comma - start);
    std::size_t low = 0, high = 0;
    if (std::sscanf(component.c_str(), "[%zu-%zu]", &low, &high) == 2 && low <= high) {
      for (std::size_t n = low; n <= high; ++n) lengths.push_back(n);
    } else if (!component.empty() && component.find_first_not_of("0123456789") == std::string::npos) {
      lengths.push_back(std::stoul(component));
    } else {
      return std::nullopt;
    }
    start = comma + 1;
  }
  return lengths;
}

TEST(ShippedMetadata, DecodesAndEveryPatternCompiles) {
  const std::string text = shippedText();
  ASSERT_FALSE(text.empty()) << "no PhoneNumberMetadata.json in " << resourceBundle().path();
  PhoneNumberMetadata metadata;
  ASSERT_NO_THROW(metadata = decodePhoneNumberMetadata(text));
  ASSERT_FALSE(metadata.territories.empty());

  RegexManager regex;
  auto compiles = [&](const std::optional<std::string>& pattern, const std::string& where) {
    if (pattern) {
      EXPECT_NO_THROW(regex.compiledExpression("^(" + *pattern + ")$")) << where << ": " << *pattern;
    }
  };
  for (const MetadataTerritory& t : metadata.territories) {
    SCOPED_TRACE(t.codeID);
    ASSERT_TRUE(t.internationalPrefix.has_value());  // without it a leading "+" is ignored
    ASSERT_TRUE(t.generalDesc && t.generalDesc->nationalNumberPattern && t.generalDesc->possibleNumberPattern);
    compiles(t.internationalPrefix, "internationalPrefix");
    compiles(t.nationalPrefixForParsing, "nationalPrefixForParsing");
    compiles(t.leadingDigits, "leadingDigits");
    for (const auto* d : {&t.emergency, &t.fixedLine, &t.generalDesc, &t.mobile, &t.pager, &t.personalNumber,
                          &t.premiumRate, &t.sharedCost, &t.tollFree, &t.voicemail, &t.voip, &t.uan}) {
      if (!*d) continue;
      compiles((*d)->nationalNumberPattern, "nationalNumberPattern");
      compiles((*d)->possibleNumberPattern, "possibleNumberPattern");
      if (!(*d)->exampleNumber) continue;
      const std::string& example = *(*d)->exampleNumber;
      ASSERT_TRUE((*d)->possibleLengths && (*d)->possibleLengths->national) << example;
      const auto lengths = lengthsOf(*(*d)->possibleLengths->national);
      ASSERT_TRUE(lengths.has_value()) << *(*d)->possibleLengths->national;
      EXPECT_NE(std::find(lengths->begin(), lengths->end(), example.size()), lengths->end()) << example;
      if ((*d)->nationalNumberPattern) {
        EXPECT_FALSE(regex.matchedSubstrings("^(" + *(*d)->nationalNumberPattern + ")$", example).empty())
            << example;
      }
    }
    for (const MetadataPhoneNumberFormat& f : t.numberFormats) {
      compiles(f.pattern, "pattern");
      for (const std::string& leading : f.leadingDigitsPatterns.value_or(std::vector<std::string>{})) {
        compiles(leading, "format leadingDigits");
      }
      ASSERT_TRUE(f.format.has_value());
      EXPECT_TRUE(regex.hasMatchAtStart(std::string(partialFormatStringPattern), *f.format)) << *f.format;
    }
  }
}

TEST(ShippedMetadata, EveryTerritoryNamesItsSourceAndAvoidsDoubledBackslashes) {
  const std::string text = shippedText();
  ASSERT_FALSE(text.empty());
  const auto document = nlohmann::json::parse(text);
  for (const auto& territory : document["phoneNumberMetadata"]["territories"]["territory"]) {
    const std::string id = territory.value("id", "?");
    EXPECT_TRUE(territory.contains("source") && territory["source"].is_string()) << id;
    // The decoder doubles backslashes in this field, so the data must not hold any.
    if (territory.contains("nationalPrefixForParsing")) {
      EXPECT_EQ(territory["nationalPrefixForParsing"].get<std::string>().find('\\'), std::string::npos) << id;
    }
  }
}

}  // namespace
}  // namespace numberplan
