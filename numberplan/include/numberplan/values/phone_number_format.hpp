#pragma once
// PhoneNumberFormat: the layouts a PhoneNumber can be written in.
//
// Example:
//   auto e164 = fromRawValue<PhoneNumberFormat>("e164");   // PhoneNumberFormat::e164
//   auto none = fromRawValue<PhoneNumberFormat>("E164");   // std::nullopt: raw values match case-sensitively
//
// JSON: written as its raw string; any other string is a decoding error.
#include <cstddef>
#include <functional>
#include <optional>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

#include "numberplan/values/phone_number_type.hpp"  // fromRawValue<>

namespace numberplan {

enum class PhoneNumberFormat {
  e164,           // "e164"
  international,  // "international"
  national,       // "national"
};

std::string_view rawValue(PhoneNumberFormat format);

template <>
std::optional<PhoneNumberFormat> fromRawValue<PhoneNumberFormat>(std::string_view raw);

void to_json(nlohmann::json& json, PhoneNumberFormat format);
void from_json(const nlohmann::json& json, PhoneNumberFormat& format);

}  // namespace numberplan

template <>
struct std::hash<numberplan::PhoneNumberFormat> {
  std::size_t operator()(numberplan::PhoneNumberFormat format) const noexcept {
    return std::hash<std::string_view>{}(numberplan::rawValue(format));
  }
};
