#pragma once
// A picture's pixels grown as its rows are decoded, rather than allocated whole from the size a header
// claims: a file of a few dozen bytes that declares a 7000 x 7000 picture and then ends costs the rows it
// really held, not 196 MB. Room is taken in doubling steps, starting from what a picture decoded from a file
// of that size plausibly needs, so an ordinary file is allocated once and a large one is copied about once
// in all.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace vellum {

// Decoded bytes per encoded byte that the first room allows for: few pictures compress further than that.
inline constexpr std::size_t kFirstRoomPerEncodedByte = 32;

// Appends `bytes` zeroed bytes to `pixels`, of the `wholeBytes` they will hold once every row is in, and
// answers where the new bytes start (valid until the next append). `encodedBytes` is the size of the file.
inline std::uint8_t* appendArriving(std::vector<std::uint8_t>& pixels, std::size_t bytes, std::size_t wholeBytes,
                                    std::size_t encodedBytes) {
  const std::size_t needed = pixels.size() + bytes;
  if (needed > pixels.capacity()) {
    const std::size_t firstRoom = std::min(wholeBytes, encodedBytes * kFirstRoomPerEncodedByte);
    pixels.reserve(std::max({needed, std::min(wholeBytes, pixels.capacity() * 2), firstRoom}));
  }
  pixels.resize(needed);
  return pixels.data() + needed - bytes;
}

}  // namespace vellum
