#include <array>
#include <string>
#include <utility>

#include <nlohmann/json.hpp>

#include "numberplan/values/phone_number_format.hpp"
#include "numberplan/values/phone_number_type.hpp"
#include "numberplan/values/possible_length_type.hpp"

namespace numberplan {
namespace {

// Raw values in declaration order, so an enumerator's integer value indexes its raw text.
constexpr std::array<std::string_view, 13> kTypeRawValues = {
    "fixedLine", "mobile", "fixedOrMobile", "pager",   "personalNumber", "premiumRate", "sharedCost",
    "tollFree",  "voicemail", "voip",       "uan",     "unknown",        "notParsed"};
constexpr std::array<std::string_view, 3> kFormatRawValues = {"e164", "international", "national"};
constexpr std::array<std::string_view, 2> kLengthTypeRawValues = {"national", "localOnly"};

template <typename Enumeration, std::size_t N>
std::optional<Enumeration> lookUp(const std::array<std::string_view, N>& rawValues, std::string_view raw) {
  for (std::size_t i = 0; i < N; ++i) {
    if (rawValues[i] == raw) return static_cast<Enumeration>(i);
  }
  return std::nullopt;
}

template <typename Enumeration>
Enumeration decodeRaw(const nlohmann::json& json, std::string_view typeName) {
  if (!json.is_string()) {
    throw nlohmann::json::type_error::create(302, std::string(typeName) + " must be a string", &json);
  }
  const auto& raw = json.get_ref<const std::string&>();
  if (auto value = fromRawValue<Enumeration>(raw)) return *value;
  throw nlohmann::json::type_error::create(302, "\"" + raw + "\" is not a " + std::string(typeName), &json);
}

}  // namespace

std::string_view rawValue(PhoneNumberType type) { return kTypeRawValues.at(static_cast<std::size_t>(type)); }
std::string_view rawValue(PhoneNumberFormat format) { return kFormatRawValues.at(static_cast<std::size_t>(format)); }
std::string_view rawValue(PossibleLengthType type) {
  return kLengthTypeRawValues.at(static_cast<std::size_t>(type));
}

template <>
std::optional<PhoneNumberType> fromRawValue<PhoneNumberType>(std::string_view raw) {
  return lookUp<PhoneNumberType>(kTypeRawValues, raw);
}
template <>
std::optional<PhoneNumberFormat> fromRawValue<PhoneNumberFormat>(std::string_view raw) {
  return lookUp<PhoneNumberFormat>(kFormatRawValues, raw);
}
template <>
std::optional<PossibleLengthType> fromRawValue<PossibleLengthType>(std::string_view raw) {
  return lookUp<PossibleLengthType>(kLengthTypeRawValues, raw);
}

void to_json(nlohmann::json& json, PhoneNumberType type) { json = std::string(rawValue(type)); }
void to_json(nlohmann::json& json, PhoneNumberFormat format) { json = std::string(rawValue(format)); }
void to_json(nlohmann::json& json, PossibleLengthType type) { json = std::string(rawValue(type)); }

void from_json(const nlohmann::json& json, PhoneNumberType& type) {
  type = decodeRaw<PhoneNumberType>(json, "PhoneNumberType");
}
void from_json(const nlohmann::json& json, PhoneNumberFormat& format) {
  format = decodeRaw<PhoneNumberFormat>(json, "PhoneNumberFormat");
}
void from_json(const nlohmann::json& json, PossibleLengthType& type) {
  type = decodeRaw<PossibleLengthType>(json, "PossibleLengthType");
}

}  // namespace numberplan
