#pragma once
// The dependency-container keys of the authentication library, each as a keyed factory on
// `wiring::Container::shared()` with its default maker and scope. Every use resolves again and keeps
// nothing, so a registration made later (by `Vadar::configure`, or by a test) serves every later use.
//
// Example, given const httpkit::Request<void>& request:
//   vadar::apiClientFactory().resolve()->send(request);
//   vadar::keychainFactory().register_([] { return keychain::KeychainStore("test.service"); });
//
// | key                 | value                               | scope     | default                                   |
// |---------------------|-------------------------------------|-----------|-------------------------------------------|
// | "vadar"             | std::shared_ptr<Vadar>              | singleton | a new Vadar                               |
// | "apiClient"         | std::shared_ptr<httpkit::APIClient> | cached    | no base URL, the HTTP client's defaults   |
// | "vadarSettings"     | VadarSettings                       | cached    | the default settings                      |
// | "keychain"          | keychain::KeychainStore             | cached    | service = bundle identifier, no group     |
// | "vadarService"      | VadarService                        | none      | the live service                          |
// | "clientService"     | ClientService                       | none      | the live service                          |
// | "environmentService"| EnvironmentService                  | none      | the live service                          |
// | "assertionManager"  | std::shared_ptr<AssertionManager>   | singleton | SingleFlightAssertionManager              |
#include <memory>

#include <httpkit/api_client.hpp>
#include <keychain/keychain_store.hpp>
#include <wiring/container.hpp>

#include "vadar/models/client.hpp"
#include "vadar/models/environment.hpp"
#include "vadar/infra/settings.hpp"
#include "vadar/core/vadar_service.hpp"

namespace vadar {

class Vadar;
class AssertionManager;

wiring::Factory<std::shared_ptr<Vadar>> vadarFactory();
wiring::Factory<std::shared_ptr<httpkit::APIClient>> apiClientFactory();
wiring::Factory<VadarSettings> vadarSettingsFactory();
wiring::Factory<keychain::KeychainStore> keychainFactory();
wiring::Factory<VadarService> vadarServiceFactory();
wiring::Factory<ClientService> clientServiceFactory();
wiring::Factory<EnvironmentService> environmentServiceFactory();
wiring::Factory<std::shared_ptr<AssertionManager>> assertionManagerFactory();

// The keychain store as the library makes it from a keychain configuration (accessibility after first
// unlock, this device only; no access control, not synchronized).
keychain::KeychainStore makeKeychainStore(const KeychainConfig& config);

}  // namespace vadar
