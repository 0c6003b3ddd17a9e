#include "numberplan/formatting/formatter.hpp"

#include "formatting/national_template.hpp"
#include "parsing/whole_match.hpp"

namespace numberplan {

Formatter::Formatter(const std::shared_ptr<RegexManager>& regexManager) : regexManager_(regexManager) {}

std::string Formatter::format(const PhoneNumber& phoneNumber, PhoneNumberFormat formatType,
                              const MetadataTerritory* metadata) const {
  std::string national = phoneNumber.adjustedNationalNumber();
  if (!metadata) return national;
  std::string result = formatNationalNumber(national, *metadata, formatType);
  if (phoneNumber.numberExtension) {
    result += metadata->preferredExtnPrefix ? *metadata->preferredExtnPrefix : std::string(" ext. ");
    result += *phoneNumber.numberExtension;
  }
  return result;
}

std::string Formatter::formatNationalNumber(std::string_view nationalNumber, const MetadataTerritory& metadata,
                                            PhoneNumberFormat formatType) const {
  const auto regex = regexManager_.lock();
  if (!regex || metadata.numberFormats.empty()) return std::string(nationalNumber);

  const MetadataPhoneNumberFormat* chosen = nullptr;
  for (const MetadataPhoneNumberFormat& candidate : metadata.numberFormats) {
    if (candidate.leadingDigitsPatterns && !candidate.leadingDigitsPatterns->empty()) {
      // Only the last (most specific) leading-digits pattern is tested.
      const auto leading = detail::pooled(*regex, candidate.leadingDigitsPatterns->back());
      if (!leading) continue;
      const auto match = leading->firstMatch(nationalNumber);
      if (!match || match->range().location != 0) continue;
    }
    if (!candidate.pattern) continue;
    if (!detail::matchesEntirely(*regex, *candidate.pattern, nationalNumber)) continue;
    chosen = &candidate;
    break;
  }
  if (!chosen) return std::string(nationalNumber);

  const std::optional<std::string>& numberTemplate =
      formatType == PhoneNumberFormat::international && chosen->intlFormat ? chosen->intlFormat : chosen->format;
  if (!numberTemplate) return std::string(nationalNumber);

  if (formatType == PhoneNumberFormat::national) {
    return regex->replacingMatches(*chosen->pattern, nationalNumber,
                                   detail::nationalTemplate(*regex, *chosen, metadata, *numberTemplate));
  }
  return regex->replacingMatches(*chosen->pattern, nationalNumber, *numberTemplate);
}

}  // namespace numberplan
