#pragma once
// PossibleLengthType: which of a description's possible-length lists is meant.
//
// Example:
//   auto kind = fromRawValue<PossibleLengthType>("localOnly");   // PossibleLengthType::localOnly
//
// JSON: written as its raw string; any other string is a decoding error.
#include <cstddef>
#include <functional>
#include <optional>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

#include "numberplan/values/phone_number_type.hpp"  // fromRawValue<>

namespace numberplan {

enum class PossibleLengthType {
  national,   // "national"
  localOnly,  // "localOnly"
};

std::string_view rawValue(PossibleLengthType type);

template <>
std::optional<PossibleLengthType> fromRawValue<PossibleLengthType>(std::string_view raw);

void to_json(nlohmann::json& json, PossibleLengthType type);
void from_json(const nlohmann::json& json, PossibleLengthType& type);

}  // namespace numberplan

template <>
struct std::hash<numberplan::PossibleLengthType> {
  std::size_t operator()(numberplan::PossibleLengthType type) const noexcept {
    return std::hash<std::string_view>{}(numberplan::rawValue(type));
  }
};
