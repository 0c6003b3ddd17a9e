#include "numberplan/values/phone_number_error.hpp"

#include <utility>

namespace numberplan {

PhoneNumberError::PhoneNumberError(Case errorCase) : case_(errorCase) {}

PhoneNumberError PhoneNumberError::ambiguousNumber(std::unordered_set<PhoneNumber> phoneNumbers) {
  PhoneNumberError error(Case::ambiguousNumber);
  error.phoneNumbers_ = std::move(phoneNumbers);
  return error;
}

std::string_view PhoneNumberError::message(Case errorCase) noexcept {
  switch (errorCase) {
    case Case::ambiguousNumber: return "Phone number is ambiguous.";
    case Case::generalError: return "An error occurred while validating the phone number.";
    case Case::invalidCountryCode: return "The country code is invalid.";
    case Case::invalidNumber: return "The number provided is invalid.";
    case Case::tooLong: return "The number provided is too long.";
    case Case::tooShort: return "The number provided is too short.";
    case Case::deprecated: return "This function is deprecated.";
    case Case::metadataNotFound: return "Valid metadata is missing.";
  }
  return "An error occurred while validating the phone number.";
}

std::string PhoneNumberError::errorDescription() const { return std::string(message(case_)); }

// The messages are string literals, so the pointer outlives every error value.
const char* PhoneNumberError::what() const noexcept { return message(case_).data(); }

}  // namespace numberplan
