// libFuzzer target: arbitrary bytes as typed text, parsed for a few regions of the shipped metadata (BR and JP
// for their international prefixes of several lengths). Any outcome but a PhoneNumberError, a crash or a hang
// is a finding.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "numberplan/engine/phone_number_engine.hpp"
#include "numberplan/values/phone_number_error.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const numberplan::PhoneNumberEngine engine;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  for (const char* region : {"US", "GB", "DE", "IT", "BR", "JP"}) {
    try {
      const numberplan::PhoneNumber number = engine.parse(text, region, false);
      (void)engine.format(number, numberplan::PhoneNumberFormat::national);
      (void)engine.format(number, numberplan::PhoneNumberFormat::international);
    } catch (const numberplan::PhoneNumberError&) {
    }
  }
  return 0;
}
