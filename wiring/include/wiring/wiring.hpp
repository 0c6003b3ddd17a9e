#pragma once
// Said first, so that a C++17 build stops on the reason and not deep inside a header.
#if __cplusplus < 202002L
#error "wiring needs C++20: compile with -std=c++20 or later"
#endif
// wiring: a small dependency container. Services are registered and found by key text; each key has a
// default factory that a test or an application may replace.
//
// Example:
//   #include <wiring/wiring.hpp>
//
// Link wiring::wiring (CMake) or `pkg-config --libs wiring`.
#include "wiring/container.hpp"
