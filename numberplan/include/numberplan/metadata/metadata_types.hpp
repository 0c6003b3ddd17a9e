#pragma once
// The per-region metadata: plain values decoded from "PhoneNumberMetadata.json" and then only read.
//
// Example, given std::span<const std::uint8_t> jsonText:
//   PhoneNumberMetadata metadata = decodePhoneNumberMetadata(jsonText);   // throws MetadataDecodingError
//   std::map<std::string, std::uint64_t> codes;
//   for (const MetadataTerritory& territory : metadata.territories) {
//     codes[territory.codeID] = territory.countryCode;   // "GB" -> 44
//   }
//
// The document is {"phoneNumberMetadata": {"territories": {"territory": [ ... ]}}}; members it does not name
// are ignored at every level. Decoding is strict about the types of present values, except for the lenient
// fields: the flags (true only for the string "true"), a territory's "availableFormats"/"numberFormat" (one
// object or an array; anything unreadable gives no formats), and a format's "leadingDigits" (an array of
// strings or one string; anything else gives an empty list). JSON null counts as absent everywhere.
// Patterns are kept as text; RegexManager compiles them when they are used.
#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json_fwd.hpp>

namespace numberplan {

// Why a metadata document or value could not be decoded (corrupt JSON, a missing key, a value of the wrong type).
class MetadataDecodingError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Possible lengths as the document writes them, such as "[4-6],8".
struct MetadataPossibleLengths {
  std::optional<std::string> national;
  std::optional<std::string> localOnly;
};

// One number type of a region (fixed line, mobile, ...).
struct MetadataPhoneNumberDesc {
  std::optional<std::string> exampleNumber;
  std::optional<std::string> nationalNumberPattern;
  std::optional<std::string> possibleNumberPattern;
  std::optional<MetadataPossibleLengths> possibleLengths;
};

// One layout of national numbers.
struct MetadataPhoneNumberFormat {
  std::optional<std::string> pattern;       // with capture groups; must match a national number entirely
  std::optional<std::string> format;        // replacement template for national layout ("$1 $2")
  std::optional<std::string> intlFormat;    // for international layout; `format` serves when absent
  // Present after decoding, possibly empty. JSON key "leadingDigits".
  std::optional<std::vector<std::string>> leadingDigitsPatterns;
  // "$NP" national prefix, "$FG" first group. Inherited from the territory when the format has none.
  std::optional<std::string> nationalPrefixFormattingRule;
  std::optional<bool> nationalPrefixOptionalWhenFormatting;     // present after decoding
  std::optional<std::string> domesticCarrierCodeFormattingRule;  // JSON key "carrierCodeFormattingRule"
};

// One region.
struct MetadataTerritory {
  std::string codeID;                 // "id", as written (look-ups upper-case their query, not this)
  std::uint64_t countryCode = 0;      // "countryCode": a string of decimal digits in the document
  std::optional<std::string> internationalPrefix;
  bool mainCountryForCode = false;
  std::optional<std::string> nationalPrefix;
  std::optional<std::string> nationalPrefixFormattingRule;
  // Its own value, or the national prefix when absent; every backslash doubled after decoding.
  std::optional<std::string> nationalPrefixForParsing;
  std::optional<std::string> nationalPrefixTransformRule;
  std::optional<std::string> preferredExtnPrefix;
  std::optional<MetadataPhoneNumberDesc> emergency;
  std::optional<MetadataPhoneNumberDesc> fixedLine;
  std::optional<MetadataPhoneNumberDesc> generalDesc;
  std::optional<MetadataPhoneNumberDesc> mobile;
  std::optional<MetadataPhoneNumberDesc> pager;
  std::optional<MetadataPhoneNumberDesc> personalNumber;
  std::optional<MetadataPhoneNumberDesc> premiumRate;
  std::optional<MetadataPhoneNumberDesc> sharedCost;
  std::optional<MetadataPhoneNumberDesc> tollFree;
  std::optional<MetadataPhoneNumberDesc> voicemail;
  std::optional<MetadataPhoneNumberDesc> voip;
  std::optional<MetadataPhoneNumberDesc> uan;
  std::vector<MetadataPhoneNumberFormat> numberFormats;  // "availableFormats"."numberFormat", in order
  std::optional<std::string> leadingDigits;  // tells this region apart among those sharing its calling code
};

// The whole document.
struct PhoneNumberMetadata {
  std::vector<MetadataTerritory> territories;  // in document order
};

// Decodes a whole document from its bytes (UTF-8 JSON). Throws MetadataDecodingError, also for bytes that
// are not JSON; never anything else for any input.
PhoneNumberMetadata decodePhoneNumberMetadata(std::string_view jsonText);
PhoneNumberMetadata decodePhoneNumberMetadata(std::span<const std::uint8_t> bytes);

// Each value type decodes on its own from a JSON object of its shape, with the same rules (throws
// MetadataDecodingError). Through these, json.get<MetadataTerritory>() works too.
void from_json(const nlohmann::json& json, PhoneNumberMetadata& metadata);
void from_json(const nlohmann::json& json, MetadataTerritory& territory);
void from_json(const nlohmann::json& json, MetadataPhoneNumberDesc& description);
void from_json(const nlohmann::json& json, MetadataPossibleLengths& lengths);
void from_json(const nlohmann::json& json, MetadataPhoneNumberFormat& format);

}  // namespace numberplan
