#include <string>
#include <unordered_map>

#include "numberplan/values/constants.hpp"

namespace numberplan {

const std::unordered_map<std::string, std::string>& digitNormalizationMap() {
  // A function-local static: built once, safely when several threads ask first at the same time. Never destroyed,
  // so that threads still normalising numbers while the process exits find it whole.
  static const auto& map = *new const std::unordered_map<std::string, std::string>([] {
    std::unordered_map<std::string, std::string> entries;
    for (char digit = '0'; digit <= '9'; ++digit) {
      const std::string ascii(1, digit);
      const int value = digit - '0';
      entries.emplace(ascii, ascii);
      // U+0660.. (Arabic-Indic) is D9 A0.., U+06F0.. (Extended Arabic-Indic) is DB B0.. in UTF-8.
      entries.emplace(std::string{'\xD9', static_cast<char>(0xA0 + value)}, ascii);
      entries.emplace(std::string{'\xDB', static_cast<char>(0xB0 + value)}, ascii);
    }
    for (const char* symbol : {"*", "#", ",", ";"}) entries.emplace(symbol, symbol);
    return entries;
  }());
  return map;
}

}  // namespace numberplan
