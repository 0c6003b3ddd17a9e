#pragma once
// PhoneNumber: a parsed telephone number, the value that parsing yields and formatting consumes.
//
// Identity is the number itself: two values are equal (and hash alike) when their country code, leading-zero
// flag, national number and extension are equal. The text it was parsed from, its type and its region are
// carried along but not compared, so "+44 20 7946 0000" and "020 7946 0000" parsed for GB are one number.
//
// Example:
//   PhoneNumber n("+1 650-253-0000", 1, false, 6502530000, std::nullopt, PhoneNumberType::fixedLine, "US");
//   std::string national = n.adjustedNationalNumber();   // "6502530000"
//   auto url = n.url();   // "tel://+1 650-253-0000" is not a valid URL (spaces): std::nullopt
//   std::unordered_set<PhoneNumber> numbers{n};
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "numberplan/values/phone_number_type.hpp"

namespace numberplan {

struct PhoneNumber {
  std::string numberString;                      // the text the number was parsed from
  std::uint64_t countryCode = 0;                 // the country calling code
  bool leadingZero = false;                      // written with a leading zero that nationalNumber lacks
  std::uint64_t nationalNumber = 0;              // the national significant number
  std::optional<std::string> numberExtension;    // the extension, when one was given
  PhoneNumberType type = PhoneNumberType::notParsed;
  std::optional<std::string> regionID;           // the region code the number belongs to

  PhoneNumber() = default;
  PhoneNumber(std::string numberString, std::uint64_t countryCode, bool leadingZero, std::uint64_t nationalNumber,
              std::optional<std::string> numberExtension, PhoneNumberType type,
              std::optional<std::string> regionID);

  // Retired ways of making a number from raw text; both always throw PhoneNumberError::deprecated().
  // Parse through PhoneNumberEngine instead.
  [[deprecated("parse through PhoneNumberEngine")]] explicit PhoneNumber(std::string_view rawNumber);
  [[deprecated("parse through PhoneNumberEngine")]] explicit PhoneNumber(std::string_view rawNumber,
                                                                         std::string_view region);

  // The value that stands where a parse failed: everything empty or zero, type notParsed.
  static PhoneNumber notPhoneNumber();

  bool isNotParsed() const { return type == PhoneNumberType::notParsed; }

  // "tel://" followed by numberString, or nothing when that text is not a valid URL
  // (URL characters only, every "%" followed by two hex digits).
  std::optional<std::string> url() const;

  // Decimal nationalNumber preceded by one "0" when leadingZero is set: the text formatting starts from.
  std::string adjustedNationalNumber() const;

  // Feeds countryCode, nationalNumber, leadingZero, then the extension's hash or a zero word.
  std::size_t hashValue() const noexcept;

  friend bool operator==(const PhoneNumber& lhs, const PhoneNumber& rhs) noexcept {
    return lhs.countryCode == rhs.countryCode && lhs.leadingZero == rhs.leadingZero &&
           lhs.nationalNumber == rhs.nationalNumber && lhs.numberExtension == rhs.numberExtension;
  }
};

}  // namespace numberplan

template <>
struct std::hash<numberplan::PhoneNumber> {
  std::size_t operator()(const numberplan::PhoneNumber& number) const noexcept { return number.hashValue(); }
};
