#include "vadar/core/container_keys.hpp"

#include <foundation/app_info.hpp>
#include <mutex>
#include <vector>

#include "core/live_services.hpp"
#include "vadar/core/assertion_manager.hpp"
#include "vadar/attestation/single_flight_assertion_manager.hpp"
#include "vadar/core/vadar.hpp"

namespace vadar {

keychain::KeychainStore makeKeychainStore(const KeychainConfig& config) {
  return keychain::KeychainStore(config.service, config.accessGroup,
                                 keychain::Accessibility::afterFirstUnlockThisDeviceOnly);
}

wiring::Factory<std::shared_ptr<Vadar>> vadarFactory() {
  return wiring::Factory<std::shared_ptr<Vadar>>("vadar", [] {
           auto vadar = Vadar::make();
           // One reference is never released, so the process's object outlives every static destructor and
           // none of them joins its threads; `Vadar::shutdown()` is where they end.
           static auto* kept = new std::vector<std::shared_ptr<Vadar>>();
           static std::mutex keptMutex;
           std::lock_guard lock(keptMutex);
           kept->push_back(vadar);
           return vadar;
         })
      .singleton();
}

wiring::Factory<std::shared_ptr<httpkit::APIClient>> apiClientFactory() {
  // Before configuration: no base address and none of the library's delegate.
  return wiring::Factory<std::shared_ptr<httpkit::APIClient>>(
             "apiClient", [] { return std::make_shared<httpkit::APIClient>(std::nullopt); })
      .cached();
}

wiring::Factory<VadarSettings> vadarSettingsFactory() {
  return wiring::Factory<VadarSettings>("vadarSettings", [] { return VadarSettings(); }).cached();
}

wiring::Factory<keychain::KeychainStore> keychainFactory() {
  return wiring::Factory<keychain::KeychainStore>(
             "keychain", [] { return makeKeychainStore(KeychainConfig(foundation::AppInfo::bundleIdentifier())); })
      .cached();
}

wiring::Factory<VadarService> vadarServiceFactory() {
  return wiring::Factory<VadarService>(vadarServiceKey, [] { return VadarService::live(); });
}

wiring::Factory<ClientService> clientServiceFactory() {
  return wiring::Factory<ClientService>(std::string(clientServiceKey), [] { return core::liveClientService(); });
}

wiring::Factory<EnvironmentService> environmentServiceFactory() {
  return wiring::Factory<EnvironmentService>(std::string(environmentServiceKey),
                                             [] { return core::liveEnvironmentService(); });
}

wiring::Factory<std::shared_ptr<AssertionManager>> assertionManagerFactory() {
  return wiring::Factory<std::shared_ptr<AssertionManager>>(
             "assertionManager", [] { return std::make_shared<SingleFlightAssertionManager>(); })
      .singleton();
}

}  // namespace vadar
