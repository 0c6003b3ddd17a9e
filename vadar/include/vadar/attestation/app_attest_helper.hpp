#pragma once
// AppAttestHelper: the steps of device attestation and assertions against the frontend API, without state
// of their own beyond the keychain item "AttestKeyId".
//
// Device attestation (once per installation, and again when the frontend API no longer trusts the key): a new
// key is made, attested over SHA-256 of a fresh server challenge and registered; only then is its id stored
// under "AttestKeyId". An assertion signs the client data {"client_id", "challenge"} of a fresh challenge with
// the stored key; with no key stored, the device is attested first, so the wire shows challenge,
// registration, challenge, assertion and no assertion ever uses a challenge fetched before another was issued.
// The key is registered with one instance: "AttestKeyId" is that instance's item (see core/instance_marker.hpp),
// written by the keychain writer, and a keychain marked for another instance holds no key for this one.
//
// Example (off the main queue):
//   vadar::AppAttestHelper::performAssertion();          // what SingleFlightAssertionManager runs
//   std::string keyId = vadar::AppAttestHelper::performDeviceAttestation();
//
// Requests (through "apiClient", so the pipeline adds its headers and form-encodes the bodies):
//   POST /v1/client/device_attestation/challenges   -> {"challenge": text}; the text is used as received
//   POST /v1/client/device_attestation/verify       key_id, challenge, attestation (base64), bundle_id
//   POST /v1/client/verify                           client_data, assertion (base64), challenge, platform "ios",
//                                                    bundle_id
// "bundle_id" is left out when the application has no bundle identifier. The platform is "ios" everywhere:
// the frontend API knows the assertion format by that name.
//
// The key service is the provider under "attestationProvider"; the keychain is the store under "keychain".
// Every operation that sends a request or uses the key service blocks, and refuses to run on the main queue
// with VadarClientError; the keychain look-ups below may run anywhere. Failures of requests, of the
// provider and of the keychain write are thrown unchanged; nothing here retries.
#include <optional>
#include <string>

#include <foundation/bytes.hpp>

#include "vadar/core/assertion_manager.hpp"
#include "vadar/models/environment.hpp"

namespace vadar {

class AppAttestHelper {
 public:
  static constexpr const char* keyIdItem = "AttestKeyId";

  // One assertion pass: unsupportedDevice (no request) on a device without attestation; a device attestation
  // first when no key is stored; then a challenge, the client id of the keychain-cached client
  // (VadarClientError "Client ID is unavailble." without one), and the assertion request.
  static void performAssertion();
  // Makes, attests, registers and stores a new key; gives its id. unsupportedDevice before any request.
  static std::string performDeviceAttestation();

  // The challenge text; unableToGetChallengeFromServer when the answer has no "challenge" (an answer whose
  // members are not all texts fails with the decoding error).
  static std::string getChallenge();
  static void verify(const std::string& keyId, const std::string& challenge, const foundation::Bytes& attestation);
  // The assertion over SHA-256 of `clientData` with the stored key (attesting first when none is stored),
  // in standard base64.
  static std::string generateAssertion(const foundation::Bytes& clientData);

  // The item "AttestKeyId" of the instance served now; none when missing, another instance's or unreadable.
  static std::optional<std::string> storedKeyId();
  // Whether the instance served now has an "AttestKeyId"; false when the keychain cannot tell.
  static bool hasKeyId();
  // The id of the client cached in the keychain ("cachedClient"); none when absent or unreadable. While the
  // device token in use is kept in memory only (the stored one could not be read), the keychain keeps the
  // stored token's client: then the installed client's, the one the frontend API knows by the token sent.
  static std::optional<std::string> cachedClientId();
};

// The load's device attestation: unless "AttestKeyId" is stored, and only when the environment's device
// attestation mode is onboarding or enforced, one background attestation is started and not waited for;
// its failure is logged "Device attestation failed" and goes no further. `Vadar::shutdown()` stops it.
void attestDeviceIfNeeded(const VadarEnvironment& environment);

}  // namespace vadar
