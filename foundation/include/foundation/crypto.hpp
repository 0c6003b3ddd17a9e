#pragma once
// SHA-256 and secure random bytes (OpenSSL).
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "foundation/bytes.hpp"

namespace foundation {

using Sha256Digest = std::array<std::uint8_t, 32>;

// Throw std::runtime_error when OpenSSL cannot hash (no provider of SHA-256 loaded): never a made-up digest.

Sha256Digest sha256(const void* data, std::size_t size);
inline Sha256Digest sha256(std::string_view text) { return sha256(text.data(), text.size()); }
inline Sha256Digest sha256(const Bytes& bytes) { return sha256(bytes.data(), bytes.size()); }
// Lower-case hexadecimal of the digest (64 characters).
std::string sha256Hex(std::string_view text);
std::string hexLower(const std::uint8_t* data, std::size_t size);

// Throws std::runtime_error when the system's random source fails: never falls back to a weak source.
Bytes secureRandomBytes(std::size_t count);

// A new random (version 4) UUID in its standard upper-case text form, "E621E1F8-C36C-495A-93FC-0C247A3E6E5F".
std::string randomUUIDString();

}  // namespace foundation
