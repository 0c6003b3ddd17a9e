#pragma once
// Replacement templates, as the metadata's formats and rules write them:
//   - a backslash writes the next character as it is: "\$1" writes "$1", "\\d" writes "\d"; a backslash at the
//     very end writes nothing;
//   - "$" followed by digits inserts a capture group: the longest run of those digits that names an existing
//     group (0 is the whole match), the remaining digits written as text; a group that took no part in the
//     match inserts nothing;
//   - a "$" that names no group ("$" then a non-digit, or a number beyond the groups) is written as it is.
//
// Example, given numberplan::RegexManager& regexManager:
//   auto match = regexManager.compiledExpression("(\\d)(\\d{2})")->firstMatch("123");
//   std::string text = match ? expandTemplate("$1-$2", *match) : "";   // "1-23"
#include <string>
#include <string_view>

#include "numberplan/regex/regular_expression.hpp"

namespace numberplan {

std::string expandTemplate(std::string_view replacementTemplate, const RegexMatch& match);

}  // namespace numberplan
