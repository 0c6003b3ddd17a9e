#pragma once
// PhoneNumberType: the kind of a number as the region's metadata classifies it (the `type` of a PhoneNumber).
//
// Example:
//   auto type = fromRawValue<PhoneNumberType>("tollFree");   // PhoneNumberType::tollFree
//   std::string_view raw = rawValue(PhoneNumberType::fixedOrMobile);   // "fixedOrMobile"
//
// Raw values equal the case names; matching is exact and case-sensitive. Hashing goes through the raw text.
// JSON: a value is written as its raw string; reading any other string is a decoding error.
#include <cstddef>
#include <functional>
#include <optional>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

namespace numberplan {

enum class PhoneNumberType {
  fixedLine,
  mobile,
  fixedOrMobile,
  pager,
  personalNumber,
  premiumRate,
  sharedCost,
  tollFree,
  voicemail,
  voip,
  uan,
  unknown,
  notParsed,
};

std::string_view rawValue(PhoneNumberType type);

// Raw-value construction of the library's string-valued enumerations; specialised for each of them.
template <typename Enumeration>
std::optional<Enumeration> fromRawValue(std::string_view raw);

template <>
std::optional<PhoneNumberType> fromRawValue<PhoneNumberType>(std::string_view raw);

void to_json(nlohmann::json& json, PhoneNumberType type);
void from_json(const nlohmann::json& json, PhoneNumberType& type);

}  // namespace numberplan

template <>
struct std::hash<numberplan::PhoneNumberType> {
  std::size_t operator()(numberplan::PhoneNumberType type) const noexcept {
    return std::hash<std::string_view>{}(numberplan::rawValue(type));
  }
};
