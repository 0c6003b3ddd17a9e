#pragma once
// ParseManager: turns typed text and a default region into a validated PhoneNumber, or a PhoneNumberError.
//
// Example, given std::shared_ptr<numberplan::MetadataManager> metadataManager,
//                std::shared_ptr<numberplan::RegexManager> regexManager:
//   ParseManager parsing(metadataManager, regexManager);
//   PhoneNumber number = parsing.parse("020 7946 0000", "gb", false);   // +44 2079460000, fixedLine, "GB"
//   auto numbers = parsing.parse({"650-253-0000", "x"}, "US", false, false);   // one number; the failure dropped
//
// The steps run in a fixed order: length check, the valid-number pattern, digit mapping, extension, region,
// country code, then validation in the judging territory; a number that several territories of its calling
// code accept is ambiguous (the error carries every accepted number).
//
// Input longer than maxInputLength UTF-16 units is rejected with tooLong before any pattern runs: the
// valid-number pattern backtracks badly on long non-numbers. Digits that the digit map does not know (full-width
// digits) make the input invalid rather than silently vanishing from the number, and so do letters with digits
// after them outside the extension ("030 CALL 12345"): dropping them would join the digits around them.
//
// White space around the text, direction marks and a byte-order mark anywhere in it, and brackets opened before
// the plus sign ("(+34) 91 ...") are passed over, and typographic spaces separate as a space does: pasted text
// brings them. The number keeps the text as given.
//
// Runs on the caller's thread; holds the managers weakly (the engine owns them) and no state between calls.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "numberplan/metadata/metadata_manager.hpp"
#include "numberplan/values/phone_number.hpp"
#include "numberplan/parsing/phone_number_parser.hpp"
#include "numberplan/regex/regex_manager.hpp"

namespace numberplan {

class ParseManager {
 public:
  static constexpr std::size_t maxInputLength = 250;

  ParseManager(const std::shared_ptr<MetadataManager>& metadataManager,
               const std::shared_ptr<RegexManager>& regexManager);

  // Throws PhoneNumberError: tooLong, invalidNumber, invalidCountryCode, tooShort, ambiguousNumber,
  // generalError. `region` is a region code in any letter case.
  PhoneNumber parse(std::string_view numberString, std::string_view region, bool ignoreType) const;

  // Each string parsed in order on the caller's thread. A failure stands as PhoneNumber::notPhoneNumber();
  // unless `shouldReturnFailedEmptyNumbers`, those placeholders are removed when any parse failed.
  std::vector<PhoneNumber> parse(const std::vector<std::string>& numberStrings, std::string_view region,
                                 bool ignoreType, bool shouldReturnFailedEmptyNumbers) const;

  // The number judged by one territory: nothing when the territory's general pattern rejects it; throws
  // invalidNumber when it is not a number, has more leading zeros than a PhoneNumber keeps (one), or (with the
  // type check) has no type, generalError when a manager has gone.
  // `leadingGroupDigits` is how many digits the text wrote before its first separator (0 when unknown): a
  // national prefix that covers that whole group was dialled as a prefix, and a number valid only with it
  // counted as a digit is then rejected (nothing) rather than read as another number.
  std::optional<PhoneNumber> validatedPhoneNumber(std::string_view nationalNumber, const MetadataTerritory& metadata,
                                                  std::uint64_t countryCode, bool ignoreType,
                                                  std::string_view numberString,
                                                  const std::optional<std::string>& numberExtension,
                                                  std::size_t leadingGroupDigits = 0) const;

  // The region of a national number among the territories of its calling code, or nothing.
  std::optional<std::string> getRegionCode(std::uint64_t nationalNumber, std::uint64_t countryCode,
                                           bool leadingZero) const;

  const std::shared_ptr<PhoneNumberParser>& parser() const noexcept { return parser_; }

 private:
  PhoneNumber resolveAmongTerritories(std::string_view nationalNumber, std::uint64_t countryCode,
                                      const MetadataTerritory& excluded, bool ignoreType,
                                      std::string_view numberString,
                                      const std::optional<std::string>& numberExtension,
                                      std::size_t leadingGroupDigits) const;

  std::weak_ptr<MetadataManager> metadataManager_;
  std::shared_ptr<PhoneNumberParser> parser_;
  std::weak_ptr<RegexManager> regexManager_;
};

}  // namespace numberplan
