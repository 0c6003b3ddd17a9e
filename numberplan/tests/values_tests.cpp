// The library's values: errors and their messages, the string-valued enumerations, the digit map and PhoneNumber.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <unordered_set>

#include "numberplan/constants.hpp"
#include "numberplan/phone_number.hpp"
#include "numberplan/phone_number_error.hpp"
#include "numberplan/phone_number_format.hpp"
#include "numberplan/phone_number_type.hpp"
#include "numberplan/possible_length_type.hpp"

namespace numberplan {
namespace {

PhoneNumber number(std::string text, std::uint64_t code, bool zero, std::uint64_t national,
                   std::optional<std::string> extension = std::nullopt,
                   PhoneNumberType type = PhoneNumberType::fixedLine, std::optional<std::string> region = "GB") {
  return PhoneNumber(std::move(text), code, zero, national, std::move(extension), type, std::move(region));
}

TEST(PhoneNumberError, EachCaseCarriesItsMessage) {
  using C = PhoneNumberError::Case;
  const std::pair<C, const char*> expected[] = {
      {C::ambiguousNumber, "Phone number is ambiguous."},
      {C::generalError, "An error occurred while validating the phone number."},
      {C::invalidCountryCode, "The country code is invalid."},
      {C::invalidNumber, "The number provided is invalid."},
      {C::tooLong, "The number provided is too long."},
      {C::tooShort, "The number provided is too short."},
      {C::deprecated, "This function is deprecated."},
      {C::metadataNotFound, "Valid metadata is missing."},
  };
  for (const auto& [errorCase, message] : expected) {
    const PhoneNumberError error(errorCase);
    EXPECT_EQ(error.errorDescription(), message);
    EXPECT_STREQ(error.what(), message);
  }
}

TEST(PhoneNumberError, AmbiguousNumbersCompareAsSets) {
  const PhoneNumber a = number("+44 1481 000000", 44, false, 1481000000);
  const PhoneNumber b = number("+44 1534 000000", 44, false, 1534000000);
  const auto both = PhoneNumberError::ambiguousNumber({a, b});
  EXPECT_EQ(both, PhoneNumberError::ambiguousNumber({b, a}));
  EXPECT_FALSE(both == PhoneNumberError::ambiguousNumber({a}));
  EXPECT_FALSE(both == PhoneNumberError::invalidNumber());
  EXPECT_EQ(PhoneNumberError::tooShort(), PhoneNumberError(PhoneNumberError::Case::tooShort));
  EXPECT_EQ(both.phoneNumbers().size(), 2U);
}

TEST(Enumerations, RawValuesMatchExactly) {
  EXPECT_EQ(fromRawValue<PhoneNumberFormat>("e164"), PhoneNumberFormat::e164);
  EXPECT_EQ(fromRawValue<PhoneNumberFormat>("E164"), std::nullopt);
  EXPECT_EQ(fromRawValue<PhoneNumberType>("fixedOrMobile"), PhoneNumberType::fixedOrMobile);
  EXPECT_EQ(fromRawValue<PhoneNumberType>("FixedLine"), std::nullopt);
  EXPECT_EQ(rawValue(PhoneNumberType::notParsed), "notParsed");
  EXPECT_EQ(rawValue(PhoneNumberFormat::international), "international");
  EXPECT_EQ(rawValue(PossibleLengthType::localOnly), "localOnly");
  EXPECT_EQ(std::hash<PhoneNumberType>{}(PhoneNumberType::voip), std::hash<std::string_view>{}("voip"));
}

TEST(Enumerations, CodeAsTheirRawString) {
  EXPECT_EQ(nlohmann::json("localOnly").get<PossibleLengthType>(), PossibleLengthType::localOnly);
  EXPECT_THROW(nlohmann::json("local").get<PossibleLengthType>(), nlohmann::json::exception);
  EXPECT_THROW(nlohmann::json(1).get<PhoneNumberFormat>(), nlohmann::json::exception);
  EXPECT_EQ(nlohmann::json(PhoneNumberType::tollFree).dump(), "\"tollFree\"");
  EXPECT_EQ(nlohmann::json("national").get<PhoneNumberFormat>(), PhoneNumberFormat::national);
}

TEST(DigitMap, HoldsExactlyTheThirtyFourEntries) {
  const auto& map = digitNormalizationMap();
  EXPECT_EQ(map.size(), 34U);
  EXPECT_EQ(map.at("7"), "7");
  EXPECT_EQ(map.at("\u0660"), "0");  // Arabic-Indic zero
  EXPECT_EQ(map.at("\u0669"), "9");
  EXPECT_EQ(map.at("\u06F4"), "4");  // Extended Arabic-Indic four
  for (const char* same : {"*", "#", ",", ";"}) EXPECT_EQ(map.at(same), same);
  for (const char* absent : {"+", "A", "a", "\uFF10", "\uFF19", " "}) EXPECT_FALSE(map.contains(absent)) << absent;
}

TEST(PhoneNumberValue, EqualByNumberNotByText) {
  const PhoneNumber written = number("+44 20 7946 0000", 44, false, 2079460000, std::nullopt,
                                     PhoneNumberType::fixedLine, "GB");
  const PhoneNumber plain = number("02079460000", 44, false, 2079460000, std::nullopt,
                                   PhoneNumberType::unknown, std::nullopt);
  EXPECT_EQ(written, plain);
  EXPECT_EQ(std::hash<PhoneNumber>{}(written), std::hash<PhoneNumber>{}(plain));
  EXPECT_EQ((std::unordered_set<PhoneNumber>{written, plain}.size()), 1U);

  EXPECT_NE(written, number("x", 44, true, 2079460000));       // leading zero differs
  EXPECT_NE(written, number("x", 44, false, 2079460000, ""));  // absent versus empty extension
  EXPECT_NE(number("x", 44, false, 1, "12"), number("x", 44, false, 1, "13"));
  EXPECT_NE(written, number("x", 1, false, 2079460000));
}

TEST(PhoneNumberValue, NotPhoneNumberIsTheZeroNumber) {
  const PhoneNumber none = PhoneNumber::notPhoneNumber();
  EXPECT_TRUE(none.isNotParsed());
  EXPECT_EQ(none.numberString, "");
  EXPECT_EQ(none.regionID, std::nullopt);
  EXPECT_EQ(none, number("anything", 0, false, 0, std::nullopt, PhoneNumberType::mobile, "US"));
  EXPECT_FALSE(number("1", 1, false, 1).isNotParsed());
}

TEST(PhoneNumberValue, AdjustedNationalNumberAndUrl) {
  EXPECT_EQ(number("", 39, true, 61).adjustedNationalNumber(), "061");
  EXPECT_EQ(number("", 1, false, 6502530000).adjustedNationalNumber(), "6502530000");
  EXPECT_EQ(number("+16502530000", 1, false, 1).url(), "tel://+16502530000");
  EXPECT_EQ(number("+1-650-253-0000;ext=12", 1, false, 1).url(), "tel://+1-650-253-0000;ext=12");
  EXPECT_EQ(number("+1 650 253 0000", 1, false, 1).url(), std::nullopt);
  EXPECT_EQ(number("12%zz", 1, false, 1).url(), std::nullopt);
  EXPECT_EQ(number("12%20", 1, false, 1).url(), "tel://12%20");
}

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
TEST(PhoneNumberValue, DeprecatedInitialisersAlwaysThrow) {
  try {
    PhoneNumber n("+44 20 7946 0000");
    FAIL() << "made " << n.numberString;
  } catch (const PhoneNumberError& error) {
    EXPECT_EQ(error, PhoneNumberError::deprecated());
  }
  EXPECT_THROW(PhoneNumber("020 7946 0000", "GB"), PhoneNumberError);
}
#pragma GCC diagnostic pop

}  // namespace
}  // namespace numberplan
