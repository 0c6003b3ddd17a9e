// Decoding of "PhoneNumberMetadata.json", key by key. Present values of the wrong JSON type reject the document,
// except in the lenient places (the two flags, a territory's formats, a format's leading digits), which fall back
// to false or an empty list. JSON null counts as absent everywhere.
#include <charconv>
#include <string>

#include <nlohmann/json.hpp>

#include "numberplan/metadata/metadata_types.hpp"

namespace numberplan {
namespace {

using nlohmann::json;

[[noreturn]] void fail(std::string_view what) { throw MetadataDecodingError(std::string(what)); }

// The member under `key`, or nullptr when it is absent or null.
const json* member(const json& object, std::string_view key) {
  const auto found = object.find(key);
  if (found == object.end() || found->is_null()) return nullptr;
  return &*found;
}

void requireObject(const json& value, std::string_view what) {
  if (!value.is_object()) fail(std::string(what) + " is not an object");
}

std::optional<std::string> optionalString(const json& object, std::string_view key) {
  const json* value = member(object, key);
  if (value == nullptr) return std::nullopt;
  if (!value->is_string()) fail("\"" + std::string(key) + "\" is not a string");
  return value->get<std::string>();
}

std::string requiredString(const json& object, std::string_view key) {
  auto value = optionalString(object, key);
  if (!value) fail("\"" + std::string(key) + "\" is missing");
  return std::move(*value);
}

// True only for the string "true"; anything else, absence and other JSON types included, is false.
bool lenientFlag(const json& object, std::string_view key) {
  const json* value = member(object, key);
  return value != nullptr && value->is_string() && value->get_ref<const std::string&>() == "true";
}

// An unsigned decimal integer within 64 bits, with an optional leading "+".
std::uint64_t countryCodeFrom(const std::string& text) {
  std::string_view digits(text);
  if (!digits.empty() && digits.front() == '+') digits.remove_prefix(1);
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (digits.empty() || error != std::errc() || end != digits.data() + digits.size()) {
    fail("\"countryCode\" is not an unsigned decimal number within 64 bits: \"" + text + "\"");
  }
  return value;
}

std::string doublingBackslashes(const std::string& text) {
  std::string result;
  result.reserve(text.size());
  for (char c : text) {
    result += c;
    if (c == '\\') result += '\\';
  }
  return result;
}

std::optional<MetadataPhoneNumberDesc> optionalDescription(const json& object, std::string_view key) {
  const json* value = member(object, key);
  if (value == nullptr) return std::nullopt;
  return value->get<MetadataPhoneNumberDesc>();
}

std::optional<MetadataPhoneNumberFormat> tryFormat(const json& value) {
  try {
    return value.get<MetadataPhoneNumberFormat>();
  } catch (const MetadataDecodingError&) {
    return std::nullopt;
  }
}

// One format object or an array of them; anything unreadable (one bad element included) gives no formats.
std::vector<MetadataPhoneNumberFormat> lenientFormats(const json& territory) {
  const json* available = member(territory, "availableFormats");
  if (available == nullptr || !available->is_object()) return {};
  const json* numberFormat = member(*available, "numberFormat");
  if (numberFormat == nullptr) return {};
  if (numberFormat->is_array()) {
    std::vector<MetadataPhoneNumberFormat> formats;
    formats.reserve(numberFormat->size());
    for (const json& element : *numberFormat) {
      auto format = tryFormat(element);
      if (!format) return {};
      formats.push_back(std::move(*format));
    }
    return formats;
  }
  if (auto format = tryFormat(*numberFormat)) return {std::move(*format)};
  return {};
}

// An array of strings, or one string as a one-element list; anything else is an empty list.
std::vector<std::string> lenientLeadingDigits(const json& format) {
  const json* value = member(format, "leadingDigits");
  if (value == nullptr) return {};
  if (value->is_string()) return {value->get<std::string>()};
  if (!value->is_array()) return {};
  std::vector<std::string> patterns;
  for (const json& element : *value) {
    if (!element.is_string()) return {};
    patterns.push_back(element.get<std::string>());
  }
  return patterns;
}

}  // namespace

void from_json(const json& value, MetadataPossibleLengths& lengths) {
  requireObject(value, "possible lengths");
  lengths.national = optionalString(value, "national");
  lengths.localOnly = optionalString(value, "localOnly");
}

void from_json(const json& value, MetadataPhoneNumberDesc& description) {
  requireObject(value, "a number description");
  description.exampleNumber = optionalString(value, "exampleNumber");
  description.nationalNumberPattern = optionalString(value, "nationalNumberPattern");
  description.possibleNumberPattern = optionalString(value, "possibleNumberPattern");
  description.possibleLengths.reset();
  if (const json* lengths = member(value, "possibleLengths")) {
    description.possibleLengths = lengths->get<MetadataPossibleLengths>();
  }
}

void from_json(const json& value, MetadataPhoneNumberFormat& format) {
  requireObject(value, "a number format");
  format.leadingDigitsPatterns = lenientLeadingDigits(value);
  format.nationalPrefixOptionalWhenFormatting = lenientFlag(value, "nationalPrefixOptionalWhenFormatting");
  format.pattern = optionalString(value, "pattern");
  format.format = optionalString(value, "format");
  format.intlFormat = optionalString(value, "intlFormat");
  format.nationalPrefixFormattingRule = optionalString(value, "nationalPrefixFormattingRule");
  format.domesticCarrierCodeFormattingRule = optionalString(value, "carrierCodeFormattingRule");
}

void from_json(const json& value, MetadataTerritory& territory) {
  requireObject(value, "a territory");
  territory.codeID = requiredString(value, "id");
  const json* countryCode = member(value, "countryCode");
  if (countryCode == nullptr) fail("\"countryCode\" is missing");
  if (!countryCode->is_string()) fail("\"countryCode\" is not a string");
  territory.countryCode = countryCodeFrom(countryCode->get_ref<const std::string&>());
  territory.mainCountryForCode = lenientFlag(value, "mainCountryForCode");

  territory.nationalPrefix = optionalString(value, "nationalPrefix");
  territory.nationalPrefixForParsing = optionalString(value, "nationalPrefixForParsing");
  if (!territory.nationalPrefixForParsing) territory.nationalPrefixForParsing = territory.nationalPrefix;
  if (territory.nationalPrefixForParsing) {
    territory.nationalPrefixForParsing = doublingBackslashes(*territory.nationalPrefixForParsing);
  }
  territory.nationalPrefixFormattingRule = optionalString(value, "nationalPrefixFormattingRule");

  territory.numberFormats = lenientFormats(value);
  for (MetadataPhoneNumberFormat& format : territory.numberFormats) {
    if (!format.nationalPrefixFormattingRule) {
      format.nationalPrefixFormattingRule = territory.nationalPrefixFormattingRule;
    }
  }

  territory.internationalPrefix = optionalString(value, "internationalPrefix");
  territory.nationalPrefixTransformRule = optionalString(value, "nationalPrefixTransformRule");
  territory.preferredExtnPrefix = optionalString(value, "preferredExtnPrefix");

  territory.emergency = optionalDescription(value, "emergency");
  territory.fixedLine = optionalDescription(value, "fixedLine");
  territory.generalDesc = optionalDescription(value, "generalDesc");
  territory.mobile = optionalDescription(value, "mobile");
  territory.pager = optionalDescription(value, "pager");
  territory.personalNumber = optionalDescription(value, "personalNumber");
  territory.premiumRate = optionalDescription(value, "premiumRate");
  territory.sharedCost = optionalDescription(value, "sharedCost");
  territory.tollFree = optionalDescription(value, "tollFree");
  territory.voicemail = optionalDescription(value, "voicemail");
  territory.voip = optionalDescription(value, "voip");
  territory.uan = optionalDescription(value, "uan");

  territory.leadingDigits = optionalString(value, "leadingDigits");
}

void from_json(const json& value, PhoneNumberMetadata& metadata) {
  requireObject(value, "the document");
  const json* root = member(value, "phoneNumberMetadata");
  if (root == nullptr) fail("\"phoneNumberMetadata\" is missing");
  requireObject(*root, "\"phoneNumberMetadata\"");
  const json* territories = member(*root, "territories");
  if (territories == nullptr) fail("\"territories\" is missing");
  requireObject(*territories, "\"territories\"");
  const json* list = member(*territories, "territory");
  if (list == nullptr) fail("\"territory\" is missing");
  if (!list->is_array()) fail("\"territory\" is not an array");
  metadata.territories.clear();
  metadata.territories.reserve(list->size());
  for (const json& territory : *list) metadata.territories.push_back(territory.get<MetadataTerritory>());
}

PhoneNumberMetadata decodePhoneNumberMetadata(std::string_view jsonText) {
  try {
    return json::parse(jsonText).get<PhoneNumberMetadata>();
  } catch (const json::exception& error) {
    throw MetadataDecodingError(error.what());
  }
}

PhoneNumberMetadata decodePhoneNumberMetadata(std::span<const std::uint8_t> bytes) {
  return decodePhoneNumberMetadata(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

}  // namespace numberplan
