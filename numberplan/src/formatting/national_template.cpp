#include "formatting/national_template.hpp"

#include "numberplan/regex/replacement_template.hpp"
#include "numberplan/regex/utf16_text.hpp"
#include "parsing/whole_match.hpp"

namespace numberplan::detail {

std::string nationalTemplate(RegexManager& regex, const MetadataPhoneNumberFormat& format,
                             const MetadataTerritory& metadata, const std::string& numberTemplate) {
  if (!format.nationalPrefixFormattingRule || !metadata.nationalPrefix) return numberTemplate;
  std::string prefixRule = regex.replacingMatches("\\$NP", *format.nationalPrefixFormattingRule, *metadata.nationalPrefix);
  prefixRule = regex.replacingMatches("\\$FG", prefixRule, "\\$1");
  if (RegexManager::trimmingSpaceCharacters(prefixRule).empty()) return numberTemplate;

  // The rule goes in place of the first "$<digit>" placeholder only; its own "$1" stands for that placeholder.
  const auto placeholder = pooled(regex, "(\\$\\d)");
  if (!placeholder) return numberTemplate;
  const auto match = placeholder->firstMatch(numberTemplate);
  if (!match) return numberTemplate;
  const auto start = utf8Offset(numberTemplate, match->range().location);
  const auto end = utf8Offset(numberTemplate, match->range().end());
  if (!start || !end) return numberTemplate;
  return numberTemplate.substr(0, *start) + expandTemplate(prefixRule, *match) + numberTemplate.substr(*end);
}

}  // namespace numberplan::detail
