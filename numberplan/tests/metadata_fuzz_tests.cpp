// Randomised documents for the metadata decoder: mutated bytes and mutated JSON trees must decode or fail with
// MetadataDecodingError, never crash or throw anything else; a manager built from them must come up quietly.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <random>

#include "numberplan/metadata_manager.hpp"
#include "numberplan/metadata_types.hpp"

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
     "mobile": {"exampleNumber": "7400123456", "nationalNumberPattern": "7\\d{9}",
                "possibleLengths": {"national": "10"}},
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

// Exercises the decoder and the manager on one input; fails the test on any exception other than the decoder's.
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
  testing::internal::CaptureStdout();
  const MetadataManager manager([&] { return std::optional<std::vector<std::uint8_t>>({text.begin(), text.end()}); });
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  (void)manager.territory("gb");
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
    const int mutations = 1 + static_cast<int>(random() % 3);
    for (int i = 0; i < mutations; ++i) mutateTree(document, random);
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
    const int mutations = 1 + static_cast<int>(random() % 8);
    for (int i = 0; i < mutations && !text.empty(); ++i) {
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

}  // namespace
}  // namespace numberplan
