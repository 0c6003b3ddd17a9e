#pragma once
// Said first, so that a C++17 build stops on the reason and not deep inside a header.
#if __cplusplus < 202002L
#error "vadar needs C++20: compile with -std=c++20 or later"
#endif
// vadar: a client for an authentication service's frontend API: configure with a publishable key, load and
// cache the client and environment, sessions with cached session tokens, sign-in.
//
// Example, given const std::string& publishableKey:
//   #include <vadar/vadar.hpp>
//   auto vadar = vadar::Vadar::shared();
//   vadar->configure(publishableKey, vadar::Vadar::Settings());
//   vadar->load();                        // blocking: call it off the main queue
//
// Link vadar::vadar (CMake) or `pkg-config --libs vadar`.

// The Vadar object, its service and the container keys an application may re-register.
#include "vadar/core/assertion_manager.hpp"
#include "vadar/core/container_keys.hpp"
#include "vadar/core/vadar.hpp"
#include "vadar/core/vadar_api_client_delegate.hpp"
#include "vadar/core/vadar_service.hpp"

// Settings, logging, events, JSON coding and the other plumbing the models use.
#include "vadar/infra/auth_event.hpp"
#include "vadar/infra/coding.hpp"
#include "vadar/infra/event_emitter.hpp"
#include "vadar/infra/json.hpp"
#include "vadar/infra/jwt.hpp"
#include "vadar/infra/locale_identifier.hpp"
#include "vadar/infra/localized_error.hpp"
#include "vadar/infra/proxy_configuration.hpp"
#include "vadar/infra/rotating_token_nonce.hpp"
#include "vadar/infra/settings.hpp"
#include "vadar/infra/settings_provider.hpp"
#include "vadar/infra/telemetry_collector.hpp"
#include "vadar/infra/telemetry_event_throttler.hpp"
#include "vadar/infra/url_encoded_form_encoder.hpp"
#include "vadar/infra/vadar_logger.hpp"
#include "vadar/infra/web_authentication.hpp"

// What the frontend API returns: client, environment, sessions, sign-in, users, errors.
#include "vadar/models/client.hpp"
#include "vadar/models/client_response.hpp"
#include "vadar/models/environment.hpp"
#include "vadar/models/environment_user_settings.hpp"
#include "vadar/models/factor.hpp"
#include "vadar/models/id_token_provider.hpp"
#include "vadar/models/oauth_provider.hpp"
#include "vadar/models/organization_membership.hpp"
#include "vadar/models/public_user_data.hpp"
#include "vadar/models/session.hpp"
#include "vadar/models/sign_in.hpp"
#include "vadar/models/sign_up.hpp"
#include "vadar/models/token_resource.hpp"
#include "vadar/models/transfer_flow_result.hpp"
#include "vadar/models/user.hpp"
#include "vadar/models/vadar_api_error.hpp"
#include "vadar/models/vadar_client_error.hpp"
#include "vadar/models/vadar_error_response.hpp"
#include "vadar/models/vadar_paginated_response.hpp"
#include "vadar/models/verification.hpp"

// Session tokens, sign-in and sign-up services.
#include "vadar/sessions/get_token_options.hpp"
#include "vadar/sessions/passkey_authenticator.hpp"
#include "vadar/sessions/session_service.hpp"
#include "vadar/sessions/session_token_fetcher.hpp"
#include "vadar/sessions/session_token_poller.hpp"
#include "vadar/sessions/session_tokens_cache.hpp"
#include "vadar/sessions/sign_in_service.hpp"
#include "vadar/sessions/sign_up_service.hpp"

// Device attestation, passkeys and Apple ID: interfaces an application may implement.
#include "vadar/attestation/app_attest_helper.hpp"
#include "vadar/attestation/apple_id_authorizer.hpp"
#include "vadar/attestation/attestation_provider.hpp"
#include "vadar/attestation/authorization_continuation.hpp"
#include "vadar/attestation/passkey_helper.hpp"
#include "vadar/attestation/sign_in_with_apple_helper.hpp"
#include "vadar/attestation/single_flight_assertion_manager.hpp"
