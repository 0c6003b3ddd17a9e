#pragma once
// The frontend API paths of device attestation and assertions.
namespace vadar::attestation {

inline constexpr const char* challengePath = "/v1/client/device_attestation/challenges";
inline constexpr const char* registrationPath = "/v1/client/device_attestation/verify";
inline constexpr const char* assertionPath = "/v1/client/verify";

}  // namespace vadar::attestation
