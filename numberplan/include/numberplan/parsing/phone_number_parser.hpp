#pragma once
// PhoneNumberParser: the steps that turn typed telephone-number text into a country code and a national
// significant number: digit normalisation, extension stripping, country-code detection (plus sign, the region's
// international dialling prefix, or the region's own code written without one), national-prefix removal and
// classification of a national number by the region's pattern descriptions.
//
// Example, given std::shared_ptr<numberplan::MetadataManager> metadataManager,
//                std::shared_ptr<numberplan::RegexManager> regexManager:
//   PhoneNumberParser parser(metadataManager, regexManager);
//   const MetadataTerritory& gb = *metadataManager->territory("GB");
//   std::string digits = parser.normalizeNumber("(650) 253-0000");   // "6502530000"
//   std::string national;
//   auto code = parser.countryCode("+44 20 7946 0000", national, gb);
//   // 44; national " 20 7946 0000", the text after the code as written: normalizeNumber keeps its digits
//   PhoneNumberType type = parser.numberType("2079460000", gb, false);   // PhoneNumberType::fixedLine
//
// ParseManager runs these in a fixed order; PartialFormatter reuses normalizeNumber and leadingCountryCode.
// Metadata patterns that do not compile count as matching nothing. Holds no state besides the two managers;
// safe to use from several threads at once.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "numberplan/metadata/metadata_manager.hpp"
#include "numberplan/metadata/metadata_types.hpp"
#include "numberplan/values/phone_number_type.hpp"
#include "numberplan/regex/regex_manager.hpp"

namespace numberplan {

class PhoneNumberParser {
 public:
  // A country calling code has at most this many digits.
  static constexpr std::size_t maxLengthCountryCode = 3;
  // After a plus sign or international prefix, fewer characters than this are too short.
  static constexpr std::size_t minLengthForNSN = 3;
  // The longest international prefix tried, carrier codes included ("0033 010" in Japan); a pattern's own
  // first match may be longer.
  static constexpr std::size_t maxLengthInternationalPrefix = 8;

  PhoneNumberParser(std::shared_ptr<MetadataManager> metadata, std::shared_ptr<RegexManager> regex);

  const std::shared_ptr<MetadataManager>& metadata() const noexcept { return metadata_; }
  const std::shared_ptr<RegexManager>& regex() const noexcept { return regex_; }

  // Only the characters of the digit map (after upper-casing), mapped: ASCII digits and "*", "#", ",", ";".
  std::string normalizeNumber(std::string_view number) const;

  // Removes a trailing extension from `number` and returns its digits (as typed, not yet normalised), or
  // nothing when the number has none.
  std::optional<std::string> stripExtension(std::string& number) const;

  // The country code the number names (0 when it names none); on success `nationalNumber` becomes the rest.
  // Throws PhoneNumberError::tooShort() when fewer than three characters follow a plus sign or an
  // international prefix, and invalidCountryCode() when what follows them starts with no known calling code.
  std::uint64_t countryCode(std::string_view number, std::string& nationalNumber,
                            const MetadataTerritory& metadata) const;

  // The known calling code (one to three digits) that starts `number` (an optional "+" first), or 0;
  // `nationalNumber` becomes what follows it.
  std::uint64_t leadingCountryCode(std::string_view number, std::string& nationalNumber) const;

  // Removes an international dialling prefix matching `iddPattern` at the start of `number`, unless a zero
  // follows it (then it was not an international prefix). When the pattern matches prefixes of several lengths
  // (a region with more than one prefix, or a carrier code after "00"), the longest after which a calling code
  // and a valid number of it follow is removed, else the longest that no zero follows.
  bool stripInternationalPrefix(std::string& number, std::string_view iddPattern) const;

  // What a number text holds: a whole number (parsing), or the beginning of one still being typed.
  enum class NumberExtent { whole, beginning };

  // The length in bytes of the international prefix (a match of `iddPattern`) that begins `number`, chosen as
  // stripInternationalPrefix chooses it; nothing when there is none. For the beginning of a number, a prefix whose
  // rest is not yet a valid number but may still become one (a calling code or its first digits, then digits a
  // number of it can begin with) comes before the longest prefix.
  std::optional<std::size_t> internationalPrefixLength(std::string_view number, std::string_view iddPattern,
                                                       NumberExtent extent) const;

  // What removeNationalPrefix found at the start of the number.
  struct NationalPrefixRemoval {
    std::size_t matchedLength = 0;  // characters the national-prefix pattern matched (0: none)
    bool keptAsDigits = false;      // matched but left in place: removing it would have invalidated the number
    bool rewritten = false;         // removed through the transform rule (Argentina's "0 11 15" -> "9 11")
  };

  // The number read without the national prefix that begins it.
  struct NationalPrefixReading {
    std::string number;             // the rest, or the transform rule's rewrite of the prefix followed by the rest
    std::size_t matchedLength = 0;  // characters the national-prefix pattern matched (possibly 0)
    bool rewritten = false;         // read through the transform rule
  };

  // The number read without the territory's national prefix (applying its transform rule), whether or not that
  // reading is a valid number; nothing when the territory has no prefix pattern or it does not match.
  std::optional<NationalPrefixReading> readingWithoutNationalPrefix(std::string_view nationalNumber,
                                                                    const MetadataTerritory& metadata) const;

  // Removes the territory's national prefix (applying its transform rule), unless that would turn a valid
  // national number into an invalid one.
  NationalPrefixRemoval removeNationalPrefix(std::string& nationalNumber, const MetadataTerritory& metadata) const;

  // The type of a national number in the territory: the first of pager, premiumRate, tollFree, sharedCost, voip,
  // personalNumber, uan, voicemail whose pattern matches, then fixed line / mobile; unknown when none.
  PhoneNumberType numberType(std::string_view nationalNumber, const MetadataTerritory& metadata,
                             bool leadingZero) const;

  // Whether the description's national-number pattern matches the whole text.
  bool matchesDescription(std::string_view text, const std::optional<MetadataPhoneNumberDesc>& description) const;

 private:
  // The byte lengths, longest first, of the number's prefixes that `idd` matches entirely; `firstEnd` (the
  // end of its first match at the start) is always among them.
  std::vector<std::size_t> prefixEnds(const RegularExpression& idd, std::string_view number,
                                      std::size_t firstEnd) const;
  // Whether `rest` starts with a known calling code followed by a number valid in one of its territories
  // (whole), and for the beginning of a number, whether it may still become so (beginning).
  RegularExpression::Fit numberFit(std::string_view rest, NumberExtent extent) const;
  // Whether digits that name no calling code are the first digits of one (no digits at all are).
  bool beginsCallingCode(std::string_view digits) const;

  std::shared_ptr<MetadataManager> metadata_;
  std::shared_ptr<RegexManager> regex_;
};

}  // namespace numberplan
