#include "vadar/infra/locale_identifier.hpp"

#include <cstdlib>
#include <string_view>

namespace vadar {

namespace {

constexpr std::string_view fallback = "en_US";

bool isLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Language of 2 or 3 letters, then optionally "_" and a region of 2 letters or 3 digits.
bool plausible(std::string_view id) {
  std::size_t underscore = id.find('_');
  std::string_view language = id.substr(0, underscore);
  if (language.size() < 2 || language.size() > 3) return false;
  for (char c : language)
    if (!isLetter(c)) return false;
  if (underscore == std::string_view::npos) return true;
  std::string_view region = id.substr(underscore + 1);
  if (region.size() == 2) return isLetter(region[0]) && isLetter(region[1]);
  if (region.size() == 3) return isDigit(region[0]) && isDigit(region[1]) && isDigit(region[2]);
  return false;
}

}  // namespace

std::string currentLocaleIdentifier() {
  std::string_view value;
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* text = std::getenv(name);
    if (text && *text) {
      value = text;
      break;
    }
  }
  value = value.substr(0, value.find_first_of(".@"));
  if (value.empty() || value == "C" || value == "POSIX" || !plausible(value)) return std::string(fallback);
  return std::string(value);
}

}  // namespace vadar
