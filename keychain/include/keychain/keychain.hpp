#pragma once
// Said first, so that a C++17 build stops on the reason and not deep inside a header.
#if __cplusplus < 202002L
#error "keychain needs C++20: compile with -std=c++20 or later"
#endif
// keychain: small secrets kept in the desktop's Secret Service (KeychainStore) and its one error type.
//
// Example:
//   #include <keychain/keychain.hpp>
//
// Link keychain::keychain (CMake) or `pkg-config --libs keychain`.
#include "keychain/keychain_store.hpp"
#include "keychain/keychain_store_error.hpp"
