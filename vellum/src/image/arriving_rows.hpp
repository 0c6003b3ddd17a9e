#pragma once
// A picture's pixels grown as its rows are decoded, rather than allocated whole from the size a header
// claims: a file of a few dozen bytes that declares a 7000 x 7000 picture and then ends costs the rows it
// really held, not 196 MB. The first room is what a file of that size can decode to at most, so an ordinary
// file, however well it compresses, is allocated once; only the rows written are touched, so room a short
// file never fills costs address space, not memory.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace vellum {

// Decoded bytes per encoded byte that the first room allows for: about the most either format gives.
// Deflate expands a byte at most 1032-fold, and a Huffman-coded JPEG block of 64 pixels costs at least a
// couple of bits. Growing from less copies and faults in a large smooth photo two or three times over.
inline constexpr std::size_t kFirstRoomPerEncodedByte = 1024;

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
