// Device attestation and assertions: signatures checked with OpenSSL, independently of the library's code.
#include "attestation_routes.hpp"

#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/x509.h>

#include "routes.hpp"

namespace fake_frontend_api::detail {
namespace {

using nlohmann::json;

std::string base64(const std::string& bytes) {
  std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  const int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                     reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
  out.resize(static_cast<std::size_t>(length));
  return out;
}

// Strict standard base64 with padding; none for anything else.
std::optional<std::string> unbase64(const std::string& text) {
  static const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  if (text.size() % 4 != 0) return std::nullopt;
  std::string out;
  unsigned buffer = 0;
  int bits = 0;
  std::size_t padding = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '=') {
      if (i + 2 < text.size()) return std::nullopt;
      ++padding;
      continue;
    }
    if (padding > 0) return std::nullopt;
    const auto value = alphabet.find(text[i]);
    if (value == std::string::npos) return std::nullopt;
    buffer = (buffer << 6) | static_cast<unsigned>(value);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<char>((buffer >> bits) & 0xFF));
    }
  }
  return out;
}

std::string sha256(const std::string& bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr);
  return std::string(reinterpret_cast<char*>(digest), length);
}

// Whether `signature` (DER ECDSA) by the P-256 key `publicKeyDer` verifies with `digest` as the signed digest.
bool verifies(const std::string& publicKeyDer, const std::string& digest, const std::string& signature) {
  const auto* in = reinterpret_cast<const unsigned char*>(publicKeyDer.data());
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(d2i_PUBKEY(nullptr, &in, static_cast<long>(publicKeyDer.size())),
                                                          &EVP_PKEY_free);
  if (!key || EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_EC || EVP_PKEY_get_bits(key.get()) != 256) return false;
  std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> context(EVP_PKEY_CTX_new(key.get(), nullptr),
                                                                      &EVP_PKEY_CTX_free);
  return context && EVP_PKEY_verify_init(context.get()) == 1 &&
         EVP_PKEY_CTX_set_signature_md(context.get(), EVP_sha256()) == 1 &&
         EVP_PKEY_verify(context.get(), reinterpret_cast<const unsigned char*>(signature.data()), signature.size(),
                         reinterpret_cast<const unsigned char*>(digest.data()), digest.size()) == 1;
}

struct Attestations {
  std::set<std::string> openChallenges;
  std::map<std::string, std::string> keys;  // key id -> public key DER
};

Answer refuse(const std::string& why) { return Answer::error(400, "device_attestation_invalid", why); }

std::optional<json> parseObject(const std::string& text) {
  json parsed = json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (!parsed.is_object()) return std::nullopt;
  return parsed;
}

std::string text(const json& object, const char* member) {
  const auto it = object.find(member);
  return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
}

// The challenge, consumed; false when it was never issued or already used.
bool takeChallenge(Attestations& attestations, const std::optional<std::string>& challenge) {
  return challenge && attestations.openChallenges.erase(*challenge) == 1;
}

}  // namespace

void addAttestationRoutes(FakeFrontendAPI& api) {
  // Touched only by handlers, which the fake runs under its lock.
  auto attestations = std::make_shared<Attestations>();

  api.route("POST", "/v1/client/device_attestation/challenges",
            [attestations](const RecordedRequest&, const FakeFrontendAPI::Params&, State&) {
              std::string random(32, '\0');
              RAND_bytes(reinterpret_cast<unsigned char*>(random.data()), static_cast<int>(random.size()));
              const std::string challenge = base64(random);
              attestations->openChallenges.insert(challenge);
              return Answer::json(200, {{"challenge", challenge}});
            });

  api.route("POST", "/v1/client/device_attestation/verify",
            [attestations](const RecordedRequest& request, const FakeFrontendAPI::Params&, State& state) {
              const auto challenge = request.formValue("challenge");
              if (!takeChallenge(*attestations, challenge)) return refuse("unknown or used challenge");
              const std::string keyId = request.formValue("key_id").value_or("");
              const auto objectBytes = unbase64(request.formValue("attestation").value_or(""));
              const auto object = objectBytes ? parseObject(*objectBytes) : std::nullopt;
              if (!object || text(*object, "format") != "software-p256") return refuse("unreadable attestation");
              const auto publicKey = unbase64(text(*object, "public_key"));
              const auto signature = unbase64(text(*object, "signature"));
              if (!publicKey || !signature) return refuse("unreadable attestation");
              if (keyId.empty() || text(*object, "key_id") != keyId || base64(sha256(*publicKey)) != keyId)
                return refuse("key id does not match the attested key");
              if (!verifies(*publicKey, sha256(*challenge), *signature)) return refuse("bad attestation signature");
              attestations->keys[keyId] = *publicKey;
              return Answer::json(200, envelope({{"object", "device_attestation"}, {"key_id", keyId}}, state));
            });

  api.route("POST", "/v1/client/verify",
            [attestations](const RecordedRequest& request, const FakeFrontendAPI::Params&, State& state) {
              if (request.formValue("platform") != "ios") return refuse("platform is not ios");
              const auto challenge = request.formValue("challenge");
              if (!takeChallenge(*attestations, challenge)) return refuse("unknown or used challenge");
              const std::string clientDataText = request.formValue("client_data").value_or("");
              const auto clientData = parseObject(clientDataText);
              if (!clientData || clientData->size() != 2 || text(*clientData, "challenge") != *challenge)
                return refuse("client data does not hold the challenge");
              if (!state.client.is_object() || text(*clientData, "client_id") != text(state.client, "id"))
                return refuse("client data does not name this client");
              const auto assertionBytes = unbase64(request.formValue("assertion").value_or(""));
              const auto assertion = assertionBytes ? parseObject(*assertionBytes) : std::nullopt;
              if (!assertion || text(*assertion, "format") != "software-p256") return refuse("unreadable assertion");
              const auto key = attestations->keys.find(text(*assertion, "key_id"));
              if (key == attestations->keys.end()) return refuse("unknown key id");
              const auto signature = unbase64(text(*assertion, "signature"));
              if (!signature || !verifies(key->second, sha256(clientDataText), *signature))
                return refuse("bad assertion signature");
              return Answer::json(200, envelope({{"object", "device_assertion"}, {"verified", true}}, state));
            });
}

}  // namespace fake_frontend_api::detail
