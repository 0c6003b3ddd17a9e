#pragma once
// Device attestation and assertions, checked for real against the software attestation format:
//
// - "POST /v1/client/device_attestation/challenges" issues a challenge (standard base64 of 32 random bytes,
//   so "+", "/" and "=" test that clients use it as the text received); each challenge is good for one use.
// - "POST /v1/client/device_attestation/verify" (key_id, challenge, attestation) accepts an attestation object
//   {"format": "software-p256", "key_id", "public_key", "signature"} when the challenge was issued and unused,
//   the key id is base64(SHA-256(public key DER)) and equals "key_id", and the P-256 signature verifies over
//   SHA-256 of the challenge text; the key is then registered.
// - "POST /v1/client/verify" (client_data, assertion, challenge, platform) accepts an assertion
//   {"format": "software-p256", "key_id", "signature"} when the platform is "ios", the challenge was issued and
//   unused, client_data is a JSON object of exactly "client_id" (the client's id) and "challenge" (the
//   challenge field), the key is registered and the signature verifies over SHA-256 of the client_data bytes
//   received.
// Anything else is answered 400 with the code "device_attestation_invalid" and a message naming the check
// that failed. Successful answers carry the client, as the frontend API's do.
#include "fake_frontend_api/fake_frontend_api.hpp"

namespace fake_frontend_api::detail {

void addAttestationRoutes(FakeFrontendAPI& api);

}  // namespace fake_frontend_api::detail
