// libFuzzer target: arbitrary bytes typed into an as-you-type formatter, whole and one prefix at a time.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "numberplan/formatting/partial_formatter.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const auto engine = std::make_shared<numberplan::PhoneNumberEngine>();
  static numberplan::PartialFormatter typing(engine, "US");
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  (void)typing.formatPartial(text);
  for (std::size_t length = 1; length < text.size() && length < 40; ++length) {
    (void)typing.formatPartial(text.substr(0, length));
  }
  (void)typing.currentRegion();
  return 0;
}
