// The software attestation provider: EC P-256 keys through OpenSSL, private keys in keychain items.
#include "vadar/attestation/attestation_provider.hpp"

#include <memory>

#include <foundation/base64.hpp>
#include <nlohmann/json.hpp>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

namespace vadar {
namespace {

struct PkeyDeleter {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct PkeyCtxDeleter {
  void operator()(EVP_PKEY_CTX* context) const { EVP_PKEY_CTX_free(context); }
};
struct BioDeleter {
  void operator()(BIO* bio) const { BIO_free(bio); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyDeleter>;
using PkeyCtx = std::unique_ptr<EVP_PKEY_CTX, PkeyCtxDeleter>;
using Bio = std::unique_ptr<BIO, BioDeleter>;

[[noreturn]] void fail(const std::string& what) { throw SoftwareAttestationError("Software attestation: " + what); }

foundation::Bytes publicKeyDer(EVP_PKEY* key) {
  const int length = i2d_PUBKEY(key, nullptr);
  if (length <= 0) fail("cannot encode the public key");
  foundation::Bytes der(static_cast<std::size_t>(length));
  unsigned char* out = der.data();
  if (i2d_PUBKEY(key, &out) != length) fail("cannot encode the public key");
  return der;
}

std::string keyIdFor(EVP_PKEY* key) {
  const auto digest = foundation::sha256(publicKeyDer(key));
  return foundation::base64Encode(foundation::Bytes(digest.begin(), digest.end()));
}

std::string privateKeyPem(EVP_PKEY* key) {
  Bio bio(BIO_new(BIO_s_mem()));
  if (!bio || PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) != 1)
    fail("cannot encode the private key");
  char* data = nullptr;
  const long length = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<std::size_t>(length));
}

Pkey loadKey(const keychain::KeychainStore& store, const std::string& keyId) {
  std::string pem;
  try {
    pem = store.string(SoftwareAttestationProvider::itemKey(keyId));
  } catch (const std::exception& error) {
    fail("no private key for key id " + keyId + " (" + error.what() + ")");
  }
  Bio bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  Pkey key(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr);
  // A stored key that is not the one the id names would sign with the wrong key: refuse it.
  if (!key || EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_EC || keyIdFor(key.get()) != keyId)
    fail("the stored private key for key id " + keyId + " is unreadable");
  return key;
}

// DER ECDSA signature whose digest is `hash` itself (no second hashing).
foundation::Bytes sign(EVP_PKEY* key, const foundation::Sha256Digest& hash) {
  PkeyCtx context(EVP_PKEY_CTX_new(key, nullptr));
  if (!context || EVP_PKEY_sign_init(context.get()) != 1 ||
      EVP_PKEY_CTX_set_signature_md(context.get(), EVP_sha256()) != 1)
    fail("cannot start signing");
  std::size_t length = 0;
  if (EVP_PKEY_sign(context.get(), nullptr, &length, hash.data(), hash.size()) != 1) fail("cannot sign");
  foundation::Bytes signature(length);
  if (EVP_PKEY_sign(context.get(), signature.data(), &length, hash.data(), hash.size()) != 1) fail("cannot sign");
  signature.resize(length);
  return signature;
}

foundation::Bytes compact(const nlohmann::ordered_json& json) { return foundation::toBytes(json.dump()); }

}  // namespace

std::string SoftwareAttestationProvider::generateKey() {
  Pkey key(EVP_EC_gen("P-256"));
  if (!key) fail("cannot make a P-256 key");
  const std::string keyId = keyIdFor(key.get());
  store_.setString(privateKeyPem(key.get()), itemKey(keyId));
  return keyId;
}

foundation::Bytes SoftwareAttestationProvider::attestKey(const std::string& keyId,
                                                         const foundation::Sha256Digest& clientDataHash) {
  const Pkey key = loadKey(store_, keyId);
  return compact({{"format", "software-p256"},
                  {"key_id", keyId},
                  {"public_key", foundation::base64Encode(publicKeyDer(key.get()))},
                  {"signature", foundation::base64Encode(sign(key.get(), clientDataHash))}});
}

foundation::Bytes SoftwareAttestationProvider::generateAssertion(const std::string& keyId,
                                                                 const foundation::Sha256Digest& clientDataHash) {
  const Pkey key = loadKey(store_, keyId);
  return compact({{"format", "software-p256"},
                  {"key_id", keyId},
                  {"signature", foundation::base64Encode(sign(key.get(), clientDataHash))}});
}

wiring::Factory<std::shared_ptr<AttestationProvider>> attestationProviderFactory() {
  return wiring::Factory<std::shared_ptr<AttestationProvider>>(
      attestationProviderKey, [] { return std::make_shared<UnsupportedAttestationProvider>(); });
}

}  // namespace vadar
