#pragma once
// AttestationProvider: the device's key attestation service, as device attestation and assertions need it.
// A key pair is made once per installation; the service attests the new key over a hash the frontend API's
// challenge decides, and later signs assertions over the hash of the client data with the same key.
//
// Example:
//   auto provider = std::make_shared<vadar::SoftwareAttestationProvider>(keychain::KeychainStore("my.app.keys"));
//   vadar::attestationProviderFactory().register_([provider] { return provider; });
//
// The container offers the provider under "attestationProvider" (resolved at each use). This platform has no
// attestation service of its own: the default, UnsupportedAttestationProvider, reports itself unsupported, and
// the library then sends no attestation request and fails with AttestationError::unsupportedDevice. An
// application that has a hardware-backed service supplies its own provider.
//
// Every call blocks the calling thread until the service answers; failures are thrown unchanged to the
// library's caller.
#include <exception>
#include <memory>
#include <stdexcept>
#include <string>

#include <foundation/bytes.hpp>
#include <foundation/crypto.hpp>
#include <keychain/keychain_store.hpp>
#include <wiring/container.hpp>

namespace vadar {

class AttestationProvider {
 public:
  virtual ~AttestationProvider() = default;

  // Whether keys can be made and attested on this device.
  virtual bool isSupported() const = 0;
  // Makes a new key pair and gives its identifier, the text every later call names the key by.
  virtual std::string generateKey() = 0;
  // The attestation object of the key over `clientDataHash` (SHA-256 of the challenge).
  virtual foundation::Bytes attestKey(const std::string& keyId, const foundation::Sha256Digest& clientDataHash) = 0;
  // An assertion of the key over `clientDataHash` (SHA-256 of the client data sent beside it).
  virtual foundation::Bytes generateAssertion(const std::string& keyId,
                                              const foundation::Sha256Digest& clientDataHash) = 0;
};

// Thrown by the default provider's operations; the library never calls them, it checks isSupported first.
class AttestationNotSupportedError : public std::exception {
 public:
  const char* what() const noexcept override { return "Device attestation is not supported on this platform."; }
};

class UnsupportedAttestationProvider : public AttestationProvider {
 public:
  bool isSupported() const override { return false; }
  std::string generateKey() override { throw AttestationNotSupportedError(); }
  foundation::Bytes attestKey(const std::string&, const foundation::Sha256Digest&) override {
    throw AttestationNotSupportedError();
  }
  foundation::Bytes generateAssertion(const std::string&, const foundation::Sha256Digest&) override {
    throw AttestationNotSupportedError();
  }
};

// A provider in software: EC P-256 keys made with OpenSSL, each private key kept in an item of `store`
// ("SoftwareAttestationKey.<key id>", PKCS#8 PEM). It proves nothing about the device and serves tests and
// development servers that check the signatures.
//
// Formats (what a verifying server reads):
// - key id: standard base64 of SHA-256 over the public key's DER SubjectPublicKeyInfo;
// - attestation object: compact JSON {"format": "software-p256", "key_id", "public_key" (base64 of the DER
//   SubjectPublicKeyInfo), "signature" (base64 of the DER ECDSA signature whose digest is the client data hash)};
// - assertion: compact JSON {"format": "software-p256", "key_id", "signature"} with the same signature rule.
// A key whose item is missing or unreadable fails the call with SoftwareAttestationError.
class SoftwareAttestationError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class SoftwareAttestationProvider : public AttestationProvider {
 public:
  explicit SoftwareAttestationProvider(keychain::KeychainStore store) : store_(std::move(store)) {}

  bool isSupported() const override { return true; }
  std::string generateKey() override;
  foundation::Bytes attestKey(const std::string& keyId, const foundation::Sha256Digest& clientDataHash) override;
  foundation::Bytes generateAssertion(const std::string& keyId,
                                      const foundation::Sha256Digest& clientDataHash) override;

  static std::string itemKey(const std::string& keyId) { return "SoftwareAttestationKey." + keyId; }

 private:
  keychain::KeychainStore store_;
};

inline constexpr const char* attestationProviderKey = "attestationProvider";

// "attestationProvider": an UnsupportedAttestationProvider unless another maker is registered.
wiring::Factory<std::shared_ptr<AttestationProvider>> attestationProviderFactory();

}  // namespace vadar
