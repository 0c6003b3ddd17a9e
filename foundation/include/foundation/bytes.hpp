#pragma once
// Raw byte buffers as every library of the project passes them.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace foundation {

using Bytes = std::vector<std::uint8_t>;

inline Bytes toBytes(std::string_view text) { return Bytes(text.begin(), text.end()); }
inline std::string toString(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

}  // namespace foundation
