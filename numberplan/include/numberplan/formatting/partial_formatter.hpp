#pragma once
// PartialFormatter: formats a telephone number while it is typed. Given the text typed so far, formatPartial()
// returns it laid out as the finished number would be, as far as the digits go: international dialling prefix,
// calling code and national prefix split off, then the digits poured into the template of the first number
// format of the region that can still apply.
//
// Example:
//   auto engine = std::make_shared<PhoneNumberEngine>();
//   PartialFormatter typing(engine, "US");
//   std::string a = typing.formatPartial("650253");      // "(650) 253"
//   std::string b = typing.formatPartial("01144");       // "011 44"
//   std::string c = typing.formatPartial("+4420794");    // "+44 20 794"
//   std::string region = typing.currentRegion();         // "GB": the region of the last formatted text
//
// What follows the number is kept as typed after its layout: pauses and tones from the first "," or ";", an
// extension or a word from the last digit before the first letter or "#" after a digit ("(202) 555-0143 ext. 12",
// "(202) 555-0143 (mobile)"), and an extension from white space and a dash after a whole number ("030 1234567 - 12").
// Text that does not look like a number being typed is returned exactly as typed, and so is text longer than
// ParseManager::maxInputLength UTF-16 units or holding digits the digit map would drop (full-width digits).
// Every call starts afresh: nothing of the text formatted before carries over. With a default region the
// metadata lacks, "+" and a calling code still lay the number out by that code; text that names no territory
// at all is returned as typed.
//
// Not thread-safe: every call changes the formatter's state. One formatter serves one text field on one thread.
// Lifetime: the formatter keeps its engine alive; one moved from has none and formats nothing (it returns text as
// typed and reports the fallback region).
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "numberplan/metadata/metadata_manager.hpp"
#include "numberplan/metadata/metadata_types.hpp"
#include "numberplan/engine/phone_number_engine.hpp"
#include "numberplan/parsing/phone_number_parser.hpp"
#include "numberplan/regex/regex_manager.hpp"

namespace numberplan {

class PartialFormatter {
 public:
  // The slot of one digit in a template: U+2008 (punctuation space).
  static constexpr std::string_view templateDigitMark = "\u2008";
  static constexpr std::string_view nonGeographicRegion = "001";
  static constexpr std::string_view fallbackRegion = "US";

  explicit PartialFormatter(std::shared_ptr<PhoneNumberEngine> utility,
                            std::string defaultRegion = PhoneNumberEngine::defaultRegionCode(), bool withPrefix = true,
                            std::optional<int> maxDigits = std::nullopt, bool ignoreIntlNumbers = false);

  std::string formatPartial(std::string_view rawNumber);

  // The national-number part of a number text; updates the prefix state (dialling prefix, calling code,
  // national prefix) without resetting it first.
  std::string nationalNumber(std::string_view rawNumber);

  // The region the last formatted text belongs to, as far as it tells; "US" when nothing tells.
  std::string currentRegion() const;

  const std::string& defaultRegion() const noexcept { return defaultRegion_; }
  // Also reloads the default and current territory.
  void setDefaultRegion(std::string region);

  // The longest national number kept; a negative value counts as 0.
  std::optional<int> maxDigits() const noexcept { return maxDigits_; }
  void setMaxDigits(std::optional<int> maxDigits) noexcept { maxDigits_ = maxDigits; }

  bool withPrefix() const noexcept { return withPrefix_; }
  void setWithPrefix(bool withPrefix) noexcept { withPrefix_ = withPrefix; }

  bool ignoreIntlNumbers() const noexcept { return ignoreIntlNumbers_; }
  void setIgnoreIntlNumbers(bool ignore) noexcept { ignoreIntlNumbers_ = ignore; }

  const std::shared_ptr<PhoneNumberEngine>& utility() const noexcept { return utility_; }

 private:
  void reloadDefaultMetadata();
  void resetTypingState();
  bool acceptsTypedText(std::string_view text) const;
  std::pair<std::string, std::string> splitDialSuffix(std::string_view text) const;
  std::size_t extensionAfterSpacedDash(std::string_view text) const;
  std::string takeDialPrefix(std::string_view text);
  std::string laidOutDialPrefix(std::string_view digits, const std::string& iddPattern) const;
  std::string takeCallingCode(std::string_view text);
  std::string takeNationalPrefix(std::string_view text);
  // A national prefix with a carrier code: its length in the typed digits and how it is shown.
  struct CarrierPrefix {
    std::size_t length = 0;
    std::string shown;
  };
  std::optional<CarrierPrefix> carrierPrefix(std::string_view digits) const;
  static std::string capturedPartsApart(std::string_view digits, const RegexMatch& match);
  std::optional<std::vector<const MetadataPhoneNumberFormat*>> candidateFormats(
      std::string_view nationalNumber, bool typedWithoutNationalPrefix = false) const;
  std::optional<std::string> formatWithWholePattern(std::string_view nationalNumber,
                                                    const std::vector<const MetadataPhoneNumberFormat*>& formats);
  std::optional<std::string> makeTemplate(const MetadataPhoneNumberFormat& format, std::string_view rawNumber);
  const std::string* typingLayout(const MetadataPhoneNumberFormat& format) const;
  std::optional<std::string> digitPattern(const std::string& formatPattern) const;
  std::optional<std::string> layOutRewrittenPrefix() const;
  static std::optional<std::string> typedDigitsLaidOut(std::string_view layout, std::string_view typed);
  std::optional<std::string> templateFromWidestMatch(std::string_view digitPattern, std::string_view format,
                                                     std::string_view rawNumber) const;
  static std::string fillTemplate(std::string_view numberTemplate, std::string_view nationalNumber);
  bool ruleHasSeparator(const std::optional<std::string>& rule) const;

  std::shared_ptr<PhoneNumberEngine> utility_;
  std::weak_ptr<MetadataManager> metadataManager_;
  std::weak_ptr<PhoneNumberParser> parser_;
  std::weak_ptr<RegexManager> regexManager_;
  std::string defaultRegion_;
  std::optional<int> maxDigits_;
  // Both point into the utility's metadata manager, which the formatter keeps alive through utility_.
  const MetadataTerritory* defaultMetadata_ = nullptr;
  const MetadataTerritory* currentMetadata_ = nullptr;
  std::string prefixBeforeNationalNumber_;
  bool shouldAddSpaceAfterNationalPrefix_ = false;
  bool callingCodeTaken_ = false;  // the text named its calling code after "+" or a dialling prefix
  bool callingCodeAwaited_ = false;  // a dialling prefix was typed, but no calling code after it yet
  // A national prefix the plan rewrites when parsing (Argentina's "0 11 15" for the mobile "9 11"): the digits typed
  // from that prefix on, the national number they stand for, and where the prefix begins in
  // prefixBeforeNationalNumber_.
  struct RewrittenPrefix {
    std::string typedDigits;
    std::string nationalNumber;
    std::size_t prefixStart = 0;
  };
  std::optional<RewrittenPrefix> rewrittenPrefix_;
  bool withPrefix_ = true;
  bool ignoreIntlNumbers_ = false;
};

}  // namespace numberplan
