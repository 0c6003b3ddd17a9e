#pragma once
// Percent-encoding of one URL path segment: everything but RFC 3986 unreserved characters
// (letters, digits, "-", ".", "_", "~") is escaped with upper-case hex, "/" included, so the text can never
// add a segment to a path.
#include <string>
#include <string_view>

namespace foundation {

std::string percentEncodePathSegment(std::string_view segment);

}  // namespace foundation
