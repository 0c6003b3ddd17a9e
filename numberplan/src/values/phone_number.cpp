#include "numberplan/values/phone_number.hpp"

#include <string>

#include "numberplan/values/phone_number_error.hpp"

namespace numberplan {
namespace {

// Mixes one word into a running hash (the 64-bit boost::hash_combine constant and shifts).
void combine(std::size_t& seed, std::size_t value) noexcept {
  seed ^= value + 0x9e3779b97f4a7c15ULL + (seed << 12) + (seed >> 4);
}

bool isHexDigit(char c) noexcept {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// Characters an RFC 3986 URL may hold as they are: unreserved, reserved and "%" (checked separately).
bool isUrlCharacter(char c) noexcept {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  static constexpr std::string_view kAllowed = "-._~:/?#[]@!$&'()*+,;=";
  return kAllowed.find(c) != std::string_view::npos;
}

}  // namespace

PhoneNumber::PhoneNumber(std::string numberString, std::uint64_t countryCode, bool leadingZero,
                         std::uint64_t nationalNumber, std::optional<std::string> numberExtension,
                         PhoneNumberType type, std::optional<std::string> regionID)
    : numberString(std::move(numberString)),
      countryCode(countryCode),
      leadingZero(leadingZero),
      nationalNumber(nationalNumber),
      numberExtension(std::move(numberExtension)),
      type(type),
      regionID(std::move(regionID)) {}

PhoneNumber::PhoneNumber(std::string_view) { throw PhoneNumberError::deprecated(); }

PhoneNumber::PhoneNumber(std::string_view, std::string_view) { throw PhoneNumberError::deprecated(); }

PhoneNumber PhoneNumber::notPhoneNumber() { return PhoneNumber(); }

std::optional<std::string> PhoneNumber::url() const {
  std::string text = "tel://" + numberString;
  bool inFragment = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (inFragment && (c == '#' || c == '[' || c == ']')) return std::nullopt;
    if (c == '#') inFragment = true;
    if (c == '%') {
      if (i + 2 >= text.size() || !isHexDigit(text[i + 1]) || !isHexDigit(text[i + 2])) return std::nullopt;
      i += 2;
    } else if (!isUrlCharacter(c)) {
      return std::nullopt;
    }
  }
  return text;
}

std::string PhoneNumber::adjustedNationalNumber() const {
  std::string digits = std::to_string(nationalNumber);
  return leadingZero ? "0" + digits : digits;
}

std::size_t PhoneNumber::hashValue() const noexcept {
  std::size_t seed = 0;
  combine(seed, std::hash<std::uint64_t>{}(countryCode));
  combine(seed, std::hash<std::uint64_t>{}(nationalNumber));
  combine(seed, leadingZero ? 1U : 0U);
  combine(seed, numberExtension ? std::hash<std::string>{}(*numberExtension) : 0U);
  return seed;
}

}  // namespace numberplan
