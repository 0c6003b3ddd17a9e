#pragma once
// Caller-supplied text (session ids, sign-in ids, token templates) placed into a request path. Each value
// becomes exactly one percent-encoded segment, so nothing a caller passes can add segments, climb out of the
// path or reach another endpoint.
#include <string>
#include <string_view>

namespace vadar::sessions {

// The percent-encoded segment for `text`. Throws VadarClientError for "." and "..", which HTTP clients and
// servers resolve as path navigation instead of data. The empty text gives an empty segment.
std::string pathSegment(std::string_view text);

// The same for an identifier, which is never empty: the empty text is refused as well.
std::string idPathSegment(std::string_view id);

// The checks of pathSegment and idPathSegment alone, for callers that build the path later.
void checkPathSegment(std::string_view text);
void checkIdPathSegment(std::string_view id);

}  // namespace vadar::sessions
