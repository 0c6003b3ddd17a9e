#pragma once
// ImageFormat: what the leading bytes of encoded image data say it is.
//
// Example, given const foundation::Bytes& bytes:
//   bool animated = vellum::imageFormat(bytes) == vellum::ImageFormat::GIF;
#include <cstddef>
#include <cstdint>
#include <span>

namespace vellum {

enum class ImageFormat : std::uint8_t { unknown, PNG, JPEG, GIF };

// Sniffs the signature. Data shorter than 9 bytes, or matching no signature, is `unknown`; never fails.
ImageFormat imageFormat(std::span<const std::uint8_t> data) noexcept;

}  // namespace vellum
