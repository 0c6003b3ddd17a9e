#include "fuzz_targets.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  vadar::fuzz::fuzzClient(data, size);
  return 0;
}
