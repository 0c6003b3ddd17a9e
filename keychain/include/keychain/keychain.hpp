#pragma once
// keychain: small secrets kept in the desktop's Secret Service (KeychainStore) and its one error type.
//
// Example:
//   #include <keychain/keychain.hpp>
//
// Link keychain::keychain (CMake) or `pkg-config --libs keychain`.
#include "keychain/keychain_store.hpp"
#include "keychain/keychain_store_error.hpp"
