#include "foundation/crypto.hpp"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/sha.h>

#include <climits>
#include <memory>
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
  // Short inputs (cache keys hashed into file names on every disk look-up) cost less to hash than to look
  // the algorithm up by name and set up a context for, which the one-shot call does each time: the
  // algorithm is fetched once for the process, a context once per thread.
  static EVP_MD* const algorithm = EVP_MD_fetch(nullptr, "SHA256", nullptr);
  thread_local const std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  Sha256Digest digest{};
  if (!algorithm || !context || EVP_DigestInit_ex2(context.get(), algorithm, nullptr) != 1 ||
      EVP_DigestUpdate(context.get(), data, size) != 1 ||
      EVP_DigestFinal_ex(context.get(), digest.data(), nullptr) != 1) {
    // Where the algorithm cannot be had (a configuration that loads no provider of it) the one-shot call
    // fails too, leaving the digest all zeros: every input would then name the same cache file.
    if (!SHA256(static_cast<const unsigned char*>(data), size, digest.data())) {
      throw std::runtime_error("sha256: OpenSSL offers no SHA-256 here (is its provider configured?)");
    }
  }
  return digest;
}

std::string hexLower(const std::uint8_t* data, std::size_t size) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out(size * 2, '\0');
  for (std::size_t i = 0; i < size; ++i) {
    out[2 * i] = kHex[data[i] >> 4];
    out[2 * i + 1] = kHex[data[i] & 0xF];
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
