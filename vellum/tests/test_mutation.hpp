#pragma once
// Random mutations of real files (bit flips, overwrites, truncation, insertion, deletion, extreme values), as the
// libFuzzer harnesses would make them, replayed under g++ and the sanitizer presets.
#include <cstdint>
#include <random>

#include "foundation/bytes.hpp"

namespace vellum::test {

inline foundation::Bytes mutate(const foundation::Bytes& seed, std::mt19937& random) {
  foundation::Bytes data = seed;
  static constexpr std::uint8_t extremes[] = {0x00, 0xFF, 0x7F, 0x80};  // interesting where sizes live
  const int edits = 1 + static_cast<int>(random() % 8);
  for (int e = 0; e < edits && !data.empty(); ++e) {
    const std::size_t at = random() % data.size();
    const auto where = data.begin() + static_cast<long>(at);
    switch (random() % 6) {
      case 0: data[at] ^= static_cast<std::uint8_t>(1u << (random() % 8)); break;
      case 1: data[at] = static_cast<std::uint8_t>(random()); break;
      case 2: data.resize(at); break;  // truncation
      case 3: data.insert(where, static_cast<std::uint8_t>(random())); break;
      case 4: data.erase(where); break;
      default: data[at] = extremes[random() % 4]; break;
    }
  }
  return data;
}

// Runs `read` on `rounds` mutations of `seed`. Some mutations still read: what counts is that every one ended.
template <class Read>
void fuzz(const foundation::Bytes& seed, Read read, unsigned seedValue, int rounds = 1500) {
  std::mt19937 random(seedValue);
  for (int i = 0; i < rounds; ++i) (void)read(mutate(seed, random));
}

}  // namespace vellum::test
