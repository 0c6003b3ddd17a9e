#pragma once
// wiring: a small dependency container. Services are registered and found by key text; each key has a
// default factory that a test or an application may replace.
//
// Example:
//   #include <wiring/wiring.hpp>
//
// Link wiring::wiring (CMake) or `pkg-config --libs wiring`.
#include "wiring/container.hpp"
