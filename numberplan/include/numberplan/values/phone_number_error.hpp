#pragma once
// PhoneNumberError: the one exception type through which the phone-number library reports failures.
//
// Example, given const numberplan::PhoneNumberEngine& engine:
//   std::string why;
//   try { engine.parse("011 12", "US"); }   // the international prefix, then too little to be a number
//   catch (const PhoneNumberError& error) {
//     if (error.errorCase() == PhoneNumberError::Case::tooShort)
//       why = error.errorDescription();   // "The number provided is too short."
//   }
//
// Each case carries a fixed English message (also what()). Two errors are equal when they are the same case;
// two ambiguousNumber errors are equal when they carry equal sets of numbers.
#include <exception>
#include <string>
#include <string_view>
#include <unordered_set>

#include "numberplan/values/phone_number.hpp"

namespace numberplan {

class PhoneNumberError : public std::exception {
 public:
  enum class Case {
    ambiguousNumber,     // "Phone number is ambiguous."
    generalError,        // "An error occurred while validating the phone number."
    invalidCountryCode,  // "The country code is invalid."
    invalidNumber,       // "The number provided is invalid."
    tooLong,             // "The number provided is too long."
    tooShort,            // "The number provided is too short."
    deprecated,          // "This function is deprecated."
    metadataNotFound,    // "Valid metadata is missing."
  };

  // An ambiguousNumber made this way carries no numbers; use ambiguousNumber() to give them.
  explicit PhoneNumberError(Case errorCase);

  static PhoneNumberError ambiguousNumber(std::unordered_set<PhoneNumber> phoneNumbers);
  static PhoneNumberError generalError() { return PhoneNumberError(Case::generalError); }
  static PhoneNumberError invalidCountryCode() { return PhoneNumberError(Case::invalidCountryCode); }
  static PhoneNumberError invalidNumber() { return PhoneNumberError(Case::invalidNumber); }
  static PhoneNumberError tooLong() { return PhoneNumberError(Case::tooLong); }
  static PhoneNumberError tooShort() { return PhoneNumberError(Case::tooShort); }
  static PhoneNumberError deprecated() { return PhoneNumberError(Case::deprecated); }
  static PhoneNumberError metadataNotFound() { return PhoneNumberError(Case::metadataNotFound); }

  Case errorCase() const noexcept { return case_; }

  // The numbers of an ambiguousNumber error; empty for every other case.
  const std::unordered_set<PhoneNumber>& phoneNumbers() const noexcept { return phoneNumbers_; }

  // The case's message. There is no translation table on this platform, so it is the message itself.
  std::string errorDescription() const;
  const char* what() const noexcept override;

  // The fixed message of a case.
  static std::string_view message(Case errorCase) noexcept;

  friend bool operator==(const PhoneNumberError& lhs, const PhoneNumberError& rhs) {
    return lhs.case_ == rhs.case_ && (lhs.case_ != Case::ambiguousNumber || lhs.phoneNumbers_ == rhs.phoneNumbers_);
  }

 private:
  Case case_;
  std::unordered_set<PhoneNumber> phoneNumbers_;
};

}  // namespace numberplan
