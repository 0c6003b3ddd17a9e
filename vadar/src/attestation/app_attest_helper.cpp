#include "vadar/attestation/app_attest_helper.hpp"

#include <map>

#include <foundation/app_info.hpp>
#include <foundation/base64.hpp>
#include <foundation/crypto.hpp>
#include <httpkit/url_error.hpp>
#include <keychain/keychain_store_error.hpp>
#include <nlohmann/json.hpp>

#include "attestation/attestation_paths.hpp"
#include "core/background_tasks.hpp"
#include "core/device_token_store.hpp"
#include "core/instance_marker.hpp"
#include "core/keychain_writer.hpp"
#include "core/keychain_failures.hpp"
#include "core/live_services.hpp"
#include "vadar/attestation/attestation_provider.hpp"
#include "vadar/core/container_keys.hpp"
#include "vadar/core/vadar.hpp"
#include "vadar/models/vadar_client_error.hpp"
#include "vadar/infra/vadar_logger.hpp"

namespace vadar {
namespace {

void requireSupported(const AttestationProvider& provider) {
  if (!provider.isSupported()) throw AttestationError(AttestationError::Code::unsupportedDevice);
}

void post(const char* path, nlohmann::json body) {
  // The bundle identifier is left out when the application has none, as the form encoding does with null.
  const std::string bundleId = foundation::AppInfo::bundleIdentifier();
  if (!bundleId.empty()) body["bundle_id"] = bundleId;
  core::sendThroughPipeline(httpkit::AnyRequest(path, httpkit::HTTPMethod::post, {}, std::move(body)));
}

// The instance the requests go to now: the one a device key is registered with.
std::string currentInstance() { return Vadar::shared()->frontendApiUrl(); }

}  // namespace

void AppAttestHelper::performAssertion() {
  core::requireOffMainQueue("AppAttestHelper::performAssertion()");
  requireSupported(*attestationProviderFactory().resolve());
  // Attest before fetching the assertion's challenge, so the challenge signed is the latest one issued.
  if (!storedKeyId()) performDeviceAttestation();
  const std::string challenge = getChallenge();
  const auto clientId = cachedClientId();
  if (!clientId) throw VadarClientError("Client ID is unavailble.");
  // The bytes hashed are the bytes sent: the server hashes the client_data text it receives.
  const std::string clientData = nlohmann::json{{"client_id", *clientId}, {"challenge", challenge}}.dump();
  const std::string assertion = generateAssertion(foundation::toBytes(clientData));
  post(attestation::assertionPath, {{"client_data", clientData},
                                    {"assertion", assertion},
                                    {"challenge", challenge},
                                    {"platform", "ios"}});
}

std::string AppAttestHelper::performDeviceAttestation() {
  core::requireOffMainQueue("AppAttestHelper::performDeviceAttestation()");
  const std::string instance = currentInstance();
  const auto provider = attestationProviderFactory().resolve();
  requireSupported(*provider);
  const std::string challenge = getChallenge();
  const std::string keyId = provider->generateKey();
  // The provider is the application's and sees no stop: a shutdown that came while it ran ends the run here,
  // before the key is used, rather than after more work at the provider and the server.
  if (core::StopTokenScope::current().stop_requested())
    throw httpkit::URLError(httpkit::URLError::Code::cancelled, "stopped while the device key was being made");
  const auto hash = foundation::sha256(challenge);
  const foundation::Bytes attestation = provider->attestKey(keyId, hash);
  verify(keyId, challenge, attestation);
  // Only a registered key is stored; a failed write fails the run although the server knows the key. The key is
  // the instance's item: the keychain writer makes the store that instance's first, as for its other items, so
  // that another instance served from the same keychain never asserts with it.
  if (currentInstance() != instance)
    throw VadarClientError("The frontend API instance changed while the device was attested; its key is not kept.");
  struct Stored {
    bool done = false;
    std::exception_ptr error;
  };
  auto stored = std::make_shared<Stored>();  // read once the writer has run the write
  core::KeychainWriter::Write write{keychainFactory().resolve(), instance, keyIdItem,
                                    [keyId, stored](const keychain::KeychainStore& store) {
                                      try {
                                        store.setString(keyId, keyIdItem);
                                        stored->done = true;
                                      } catch (...) {
                                        stored->error = std::current_exception();
                                        throw;
                                      }
                                    }};
  if (!core::KeychainWriter::shared().writeNow(std::move(write), core::signedInStateWait))
    throw keychain::KeychainStoreError(keychain::KeychainStoreError::Code::timedOut,
                                       "the keychain did not take the device key in time");
  if (stored->error) std::rethrow_exception(stored->error);
  if (!stored->done)
    throw keychain::KeychainStoreError(keychain::KeychainStoreError::Code::other,
                                       "the keychain could not be made this instance's for the device key");
  return keyId;
}

std::string AppAttestHelper::getChallenge() {
  core::requireOffMainQueue("AppAttestHelper::getChallenge()");
  const auto answer =
      core::sendThroughPipeline(httpkit::AnyRequest(attestation::challengePath, httpkit::HTTPMethod::post));
  const auto members = core::decodeBody<std::map<std::string, std::string>>(answer.data);
  const auto challenge = members.find("challenge");
  if (challenge == members.end()) throw AttestationError(AttestationError::Code::unableToGetChallengeFromServer);
  return challenge->second;
}

void AppAttestHelper::verify(const std::string& keyId, const std::string& challenge,
                             const foundation::Bytes& attestation) {
  core::requireOffMainQueue("AppAttestHelper::verify()");
  post(attestation::registrationPath,
       {{"key_id", keyId}, {"challenge", challenge}, {"attestation", foundation::base64Encode(attestation)}});
}

std::string AppAttestHelper::generateAssertion(const foundation::Bytes& clientData) {
  // Reaches the key service and, with no key stored, the network.
  core::requireOffMainQueue("AppAttestHelper::generateAssertion()");
  std::string keyId;
  if (auto stored = storedKeyId())
    keyId = std::move(*stored);
  else
    keyId = performDeviceAttestation();
  const auto hash = foundation::sha256(clientData);
  return foundation::base64Encode(attestationProviderFactory().resolve()->generateAssertion(keyId, hash));
}

std::optional<std::string> AppAttestHelper::storedKeyId() {
  try {
    const keychain::KeychainStore store = keychainFactory().resolve();
    // A key another instance registered, before its items made way for this one's, is unknown here.
    if (!core::InstanceMarker::admits(store, currentInstance())) return std::nullopt;
    return store.string(keyIdItem);
  } catch (...) {
    core::KeychainFailures::note(std::current_exception());
    return std::nullopt;  // unreadable counts as missing: a new attestation follows
  }
}

bool AppAttestHelper::hasKeyId() {
  try {
    const keychain::KeychainStore store = keychainFactory().resolve();
    return core::InstanceMarker::admits(store, currentInstance()) && store.hasItem(keyIdItem);
  } catch (...) {
    core::KeychainFailures::note(std::current_exception());
    return false;
  }
}

std::optional<std::string> AppAttestHelper::cachedClientId() {
  // The client just installed may still be on its way to the keychain; the assertion must name that one.
  core::KeychainWriter::shared().drain(std::chrono::seconds(5));
  // While the device token in use is kept in memory only, the keychain keeps the client of the stored one; the
  // assertion goes out with the token in use, so it names the client the cache is waiting to take.
  if (const auto vadar = Vadar::shared();
      vadar && core::DeviceTokenStore::shared().cacheHeldBack(keychainFactory().resolve(), vadar->frontendApiUrl())) {
    if (auto client = vadar->client()) return client->id;
    return std::nullopt;
  }
  try {
    if (auto client = vadarServiceFactory().resolve().loadClientFromKeychain()) return client->id;
  } catch (...) {
  }
  return std::nullopt;
}

void attestDeviceIfNeeded(const VadarEnvironment& environment) {
  // The mode first: most instances never attest, and their load() then never waits on the keychain.
  using Mode = VadarEnvironment::FraudSettings::Native::DeviceAttestationMode;
  if (!environment.fraudSettings) return;
  const Mode mode = environment.fraudSettings->native.deviceAttestationMode;
  if (mode != Mode::onboarding && mode != Mode::enforced) return;
  if (AppAttestHelper::hasKeyId()) return;
  core::BackgroundTasks::shared().start([](std::stop_token stop) {
    core::StopTokenScope scope(std::move(stop));
    const SourceLocation where{__FILE__, __LINE__, "attestDeviceIfNeeded(environment:)"};
    try {
      AppAttestHelper::performDeviceAttestation();
    } catch (const std::exception& error) {
      if (core::StopTokenScope::current().stop_requested()) return;  // stopped by a shutdown, not failed
      VadarLogger::logError(error, "Device attestation failed", where);
    } catch (...) {
      VadarLogger::logError(std::runtime_error("unknown error"), "Device attestation failed", where);
    }
  });
}

}  // namespace vadar
