#pragma once
// Pattern tests shared by parsing and formatting, on top of RegexManager's pool.
#include <memory>
#include <string>
#include <string_view>

#include "numberplan/values/phone_number_error.hpp"
#include "numberplan/regex/regex_manager.hpp"

namespace numberplan::detail {

// The pooled expression, or nullptr when the pattern does not compile (metadata may carry broken patterns,
// which count as matching nothing).
inline std::shared_ptr<const RegularExpression> pooled(RegexManager& regex, std::string_view pattern) {
  try {
    return regex.compiledExpression(pattern);
  } catch (const PhoneNumberError&) {
    return nullptr;
  }
}

// Whether `pattern` matches the whole text, as "^(" + pattern + ")$" would.
inline bool matchesEntirely(RegexManager& regex, std::string_view pattern, std::string_view text) {
  const auto expression = pooled(regex, pattern);
  return expression != nullptr && expression->matchesEntirely(text);
}

// Whether a metadata pattern is present and not blank.
inline bool hasPattern(const std::optional<std::string>& pattern) {
  return pattern && !RegexManager::trimmingSpaceCharacters(*pattern).empty();
}

}  // namespace numberplan::detail
