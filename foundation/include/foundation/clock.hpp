#pragma once
// Wall-clock time as the libraries store it (dates on disk, expiries, timestamps), replaceable in tests.
#include <chrono>
#include <functional>

namespace foundation {

using Date = std::chrono::system_clock::time_point;

class Clock {
 public:
  static Date now();
  // Replaces the time source (empty restores the system clock). For tests.
  static void setSource(std::function<Date()> source);
};

}  // namespace foundation
