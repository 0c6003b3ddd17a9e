#pragma once
// Cache keys as file names.
//
// Example:
//   std::string name = vellum::sha256HexDigest("https://example.com/a.png");   // 64 lower-case hex characters
//   auto extension = vellum::cacheFileExtension("icon.png@2x");         // "png"
#include <optional>
#include <string>
#include <string_view>

namespace vellum {

// The key's SHA-256 digest as 64 lower-case hexadecimal characters.
std::string sha256HexDigest(std::string_view key);

// The file extension a key carries: the text after the last "." of the part before the first "@", when it is
// 1 to 20 letters or numbers (Unicode categories); none otherwise, and none for text that is not UTF-8.
std::optional<std::string> cacheFileExtension(std::string_view key);

}  // namespace vellum
