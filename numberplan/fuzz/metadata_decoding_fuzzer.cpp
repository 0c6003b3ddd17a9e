// libFuzzer target: any bytes given to the metadata decoder either decode or raise MetadataDecodingError, and a
// manager built from them never throws.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "numberplan/metadata/metadata_manager.hpp"
#include "numberplan/metadata/metadata_types.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  try {
    (void)numberplan::decodePhoneNumberMetadata(std::span<const std::uint8_t>(data, size));
  } catch (const numberplan::MetadataDecodingError&) {
  }
  const std::vector<std::uint8_t> bytes(data, data + size);
  const numberplan::MetadataManager manager([&] { return std::optional<std::vector<std::uint8_t>>(bytes); });
  (void)manager.territory("GB");
  return 0;
}
