#include "foundation/crypto.hpp"

#include <openssl/crypto.h>
#include <openssl/rand.h>
#include <openssl/sha.h>

#include <climits>
#include <stdexcept>

namespace foundation {
namespace {

// OpenSSL frees its state in an exit handler of its own unless told not to, and pool threads may still hash
// after that handler ran (a cache still writing when main returns). So it is initialised without one, once,
// before any use: its state then lasts as long as the process.
void initialiseOpenSSL() {
  static const bool initialised = OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr) == 1;
  (void)initialised;
}

// Whoever initialises OpenSSL first decides about the exit handler for the whole process: this runs before
// main, ahead of libcurl and any other user that would ask for one.
[[maybe_unused]] const bool initialisedBeforeMain = (initialiseOpenSSL(), true);

}  // namespace

Sha256Digest sha256(const void* data, std::size_t size) {
  initialiseOpenSSL();
  Sha256Digest digest{};
  SHA256(static_cast<const unsigned char*>(data), size, digest.data());
  return digest;
}

std::string hexLower(const std::uint8_t* data, std::size_t size) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(size * 2);
  for (std::size_t i = 0; i < size; ++i) {
    out += kHex[data[i] >> 4];
    out += kHex[data[i] & 15];
  }
  return out;
}

std::string sha256Hex(std::string_view text) {
  const auto digest = sha256(text);
  return hexLower(digest.data(), digest.size());
}

Bytes secureRandomBytes(std::size_t count) {
  if (count > static_cast<std::size_t>(INT_MAX)) throw std::length_error("secureRandomBytes: count too large");
  initialiseOpenSSL();
  Bytes out(count);
  if (count > 0 && RAND_bytes(out.data(), static_cast<int>(count)) != 1) {
    throw std::runtime_error("secureRandomBytes: the system random source failed");
  }
  return out;
}

std::string randomUUIDString() {
  Bytes bytes = secureRandomBytes(16);
  bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0F) | 0x40);  // version 4
  bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(36);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text.push_back('-');
    text.push_back(kDigits[bytes[i] >> 4]);
    text.push_back(kDigits[bytes[i] & 0x0F]);
  }
  return text;
}

}  // namespace foundation
