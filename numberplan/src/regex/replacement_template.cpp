#include "numberplan/regex/replacement_template.hpp"

namespace numberplan {

std::string expandTemplate(std::string_view replacementTemplate, const RegexMatch& match) {
  const std::size_t groupCount = match.numberOfRanges() == 0 ? 0 : match.numberOfRanges() - 1;
  std::string result;
  result.reserve(replacementTemplate.size());
  std::size_t i = 0;
  while (i < replacementTemplate.size()) {
    const char c = replacementTemplate[i];
    if (c == '\\') {
      // The next character, whole (it may be several bytes), goes out as it is; a lone trailing backslash
      // writes nothing.
      ++i;
      if (i >= replacementTemplate.size()) break;
      std::size_t next = i + 1;
      while (next < replacementTemplate.size() && (static_cast<unsigned char>(replacementTemplate[next]) & 0xC0) == 0x80) {
        ++next;
      }
      result.append(replacementTemplate.substr(i, next - i));
      i = next;
      continue;
    }
    if (c == '$') {
      // The longest run of digits naming an existing group. The value only grows as digits are added, so the
      // scan stops at the first digit that takes it past the group count (and can never overflow).
      std::size_t value = 0;
      std::size_t bestDigits = 0;
      std::size_t bestGroup = 0;
      for (std::size_t j = i + 1; j < replacementTemplate.size(); ++j) {
        const char digit = replacementTemplate[j];
        if (digit < '0' || digit > '9') break;
        value = value * 10 + static_cast<std::size_t>(digit - '0');
        if (value > groupCount) break;
        bestDigits = j - i;
        bestGroup = value;
      }
      if (bestDigits == 0) {
        result += '$';
        ++i;
        continue;
      }
      result += match.text(bestGroup);
      i += 1 + bestDigits;
      continue;
    }
    result += c;
    ++i;
  }
  return result;
}

}  // namespace numberplan
