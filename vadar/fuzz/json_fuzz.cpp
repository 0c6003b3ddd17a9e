#include "fuzz_targets.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  vadar::fuzz::fuzzJSON(data, size);
  return 0;
}
