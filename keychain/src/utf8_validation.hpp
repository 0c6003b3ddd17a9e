#pragma once
#include <string_view>

namespace keychain {

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF, no truncated sequences.
// U+0000 is valid text; `allowNul` false rejects it for texts that must cross D-Bus as strings.
bool isValidUtf8(std::string_view text, bool allowNul = true) noexcept;

}  // namespace keychain
