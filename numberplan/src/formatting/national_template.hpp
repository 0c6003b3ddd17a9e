#pragma once
// The template that writes a national number in one format: the format's own template, with the territory's
// national prefix put in by the format's national-prefix formatting rule. Full formatting writes national numbers
// with it; as-you-type formatting uses it where the digits typed are the national layout's own (a trunk prefix
// and Argentina's mobile 15), so the field shows what the finished number's national layout will be.
#include <string>

#include "numberplan/metadata/metadata_types.hpp"
#include "numberplan/regex/regex_manager.hpp"

namespace numberplan::detail {

// `numberTemplate` unchanged when the format has no rule, the territory no national prefix, or the rule is blank;
// otherwise its first "$<digit>" placeholder replaced by the rule, in which "$FG" stands for that placeholder.
std::string nationalTemplate(RegexManager& regex, const MetadataPhoneNumberFormat& format,
                             const MetadataTerritory& metadata, const std::string& numberTemplate);

}  // namespace numberplan::detail
