#pragma once
// PhoneNumberEngine: the front of the phone-number library. Building one loads the per-region metadata; it then
// parses, validates, classifies and formats numbers and answers questions about regions and calling codes.
//
// Example:
//   auto engine = std::make_shared<PhoneNumberEngine>();      // the metadata shipped with the library
//   PhoneNumber number = engine->parse("020 7946 0000", "GB");
//   std::string shown = engine->format(number, PhoneNumberFormat::international);  // "+44 20 7946 0000"
//   std::string e164 = engine->format(number, PhoneNumberFormat::e164);            // "+442079460000"
//   PhoneNumberType type = number.type;                                           // PhoneNumberType::fixedLine
//   auto region = engine->mainCountry(44);                                        // "GB"
//
// Construction is the expensive step (it decodes the metadata); build one engine and share it. After
// construction every operation only reads, so one engine may serve many threads. The as-you-type
// PartialFormatter and the text-field PhoneNumberFormatter take a shared_ptr to an engine.
//
// The default region comes from the process locale (ICU's default locale). There is no contacts store on this
// platform, so that first candidate of the region search is absent whatever canUseContactsFramework says.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "numberplan/metadata/metadata_manager.hpp"
#include "numberplan/metadata/metadata_types.hpp"
#include "numberplan/parsing/parse_manager.hpp"
#include "numberplan/values/phone_number.hpp"
#include "numberplan/values/phone_number_format.hpp"
#include "numberplan/values/phone_number_type.hpp"
#include "numberplan/values/possible_length_type.hpp"
#include "numberplan/regex/regex_manager.hpp"

namespace numberplan {

class PhoneNumberEngine {
 public:
  // What the process locale says about its region: the region identifier and the country-code component
  // (ICU has one value for both; a test provider may give them apart).
  struct LocaleRegion {
    std::optional<std::string> regionIdentifier;
    std::optional<std::string> countryCode;
  };
  using LocaleRegionProvider = std::function<LocaleRegion()>;

  explicit PhoneNumberEngine(const MetadataCallback& metadataCallback = &PhoneNumberEngine::defaultMetadataCallback);

  PhoneNumberEngine(const PhoneNumberEngine&) = delete;
  PhoneNumberEngine& operator=(const PhoneNumberEngine&) = delete;

  // The bytes of "PhoneNumberMetadata.json" in the library's resource bundle; throws
  // PhoneNumberError::metadataNotFound() when it is missing or unreadable.
  static std::optional<std::vector<std::uint8_t>> defaultMetadataCallback();

  // A two-letter upper-case region code from the process locale, or "US".
  static std::string defaultRegionCode();
  // Replaces where defaultRegionCode() reads the locale (tests); an empty function restores the process locale.
  // A provider that throws tells no region.
  static void setLocaleRegionProvider(LocaleRegionProvider provider);

  // Whether defaultRegionCode() asks the contacts store first. Kept for callers that set it; the store does
  // not exist here, so it changes nothing.
  static bool canUseContactsFramework() noexcept;
  static void setCanUseContactsFramework(bool value) noexcept;

  const std::shared_ptr<MetadataManager>& metadataManager() const noexcept { return metadataManager_; }
  const std::shared_ptr<ParseManager>& parseManager() const noexcept { return parseManager_; }
  const std::shared_ptr<RegexManager>& regexManager() const noexcept { return regexManager_; }

  // Throws PhoneNumberError (see ParseManager::parse).
  PhoneNumber parse(std::string_view numberString, std::string_view withRegion = defaultRegionCode(),
                    bool ignoreType = false) const;
  std::vector<PhoneNumber> parse(const std::vector<std::string>& numberStrings,
                                 std::string_view withRegion = defaultRegionCode(), bool ignoreType = false,
                                 bool shouldReturnFailedEmptyNumbers = false) const;
  bool isValidPhoneNumber(std::string_view numberString, std::string_view withRegion = defaultRegionCode(),
                          bool ignoreType = false) const;

  // E.164: "+<code><national>" (no spaces, no extension); international: "+<code> " and the layout of the
  // main territory of the calling code; national: that layout with the national prefix. `withPrefix` false
  // leaves out "+<code>" (E.164, international).
  std::string format(const PhoneNumber& phoneNumber, PhoneNumberFormat toType, bool withPrefix = true) const;

  std::vector<std::string> allCountries() const;
  std::optional<std::vector<std::string>> countries(std::uint64_t withCode) const;
  std::optional<std::string> mainCountry(std::uint64_t forCode) const;
  std::optional<std::uint64_t> countryCode(std::string_view forRegion) const;
  std::optional<std::string> leadingDigits(std::string_view forRegion) const;
  std::optional<std::string> getRegionCode(const PhoneNumber& of) const;

  // The region's example number of that type, parsed (fixedOrMobile gives the mobile one); nothing when there
  // is none. An example that does not parse is reported on standard output.
  std::optional<PhoneNumber> getExampleNumber(std::string_view forCountry, PhoneNumberType ofType) const;
  std::optional<std::string> getFormattedExampleNumber(std::string_view forCountry, PhoneNumberType ofType,
                                                       PhoneNumberFormat withFormat = PhoneNumberFormat::international,
                                                       bool withPrefix = true) const;

  const MetadataTerritory* metadata(std::string_view forRegion) const;
  const std::vector<MetadataTerritory>* metadata(std::uint64_t forCode) const;

  // The possible lengths of a type (fixedOrMobile, unknown and notParsed have none), e.g. [4, 5, 6, 8].
  std::vector<int> possiblePhoneNumberLengths(std::string_view forCountry, PhoneNumberType phoneNumberType,
                                              PossibleLengthType lengthType) const;

  // "[4-6],8,[10-11]" -> 4 5 6 8 10 11. A piece that is not a number or an ascending range of at most
  // maxLengthRangeSpan lengths contributes nothing.
  static std::vector<int> lengthList(std::string_view from);
  static constexpr int maxLengthRangeSpan = 64;

 private:
  std::shared_ptr<MetadataManager> metadataManager_;
  std::shared_ptr<ParseManager> parseManager_;
  std::shared_ptr<RegexManager> regexManager_;
};

}  // namespace numberplan
