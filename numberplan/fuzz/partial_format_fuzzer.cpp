// libFuzzer target: arbitrary bytes typed into an as-you-type formatter, whole and one prefix at a time. The first
// byte chooses the region, among them regions with international prefixes of several lengths or with carrier codes
// (BR, JP, NG, FI) and with national prefixes that are rewritten (AR) or left out of some layouts (MY).
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <string_view>

#include "numberplan/formatting/partial_formatter.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const auto engine = std::make_shared<numberplan::PhoneNumberEngine>();
  static numberplan::PartialFormatter typing(engine, "US");
  static const char* const regions[] = {"US", "GB", "BR", "JP", "NG", "FI", "AR", "MY", "001", "XX"};
  if (size < 1) return 0;
  typing.setDefaultRegion(regions[data[0] % std::size(regions)]);
  const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
  (void)typing.formatPartial(text);
  for (std::size_t length = 1; length < text.size() && length < 40; ++length) {
    (void)typing.formatPartial(text.substr(0, length));
  }
  (void)typing.currentRegion();
  return 0;
}
