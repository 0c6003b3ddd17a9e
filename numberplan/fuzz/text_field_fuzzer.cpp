// libFuzzer target: arbitrary edits offered to the text-field formatter. The first bytes choose the region and
// the selections (any values, also outside the text); the rest is split into the text before and after the edit.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "numberplan/formatting/phone_number_formatter.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const auto engine = std::make_shared<numberplan::PhoneNumberEngine>();
  static const char* const regions[] = {"US", "CA", "GB", "FR", "DE", "IT", "JP", "IN", "001", "XX"};
  if (size < 4) return 0;
  numberplan::PhoneNumberFormatter field(engine, regions[data[0] % std::size(regions)]);
  const numberplan::TextRange original{static_cast<std::int8_t>(data[1]), data[2] % 8};
  numberplan::TextRange proposed{static_cast<std::int8_t>(data[3]), 0};
  const std::string_view rest(reinterpret_cast<const char*>(data + 4), size - 4);
  const std::size_t split = rest.find('\n');
  const std::string_view before = split == std::string_view::npos ? std::string_view() : rest.substr(0, split);
  std::string after(split == std::string_view::npos ? rest : rest.substr(split + 1));
  (void)field.isPartialStringValid(&after, &proposed, before, original, nullptr);
  return 0;
}
