#include "numberplan/parsing/phone_number_parser.hpp"

#include <algorithm>
#include <utility>
#include <vector>

#include "numberplan/values/constants.hpp"
#include "numberplan/values/phone_number_error.hpp"
#include "numberplan/regex/replacement_template.hpp"
#include "numberplan/regex/utf16_text.hpp"
#include "parsing/number_text.hpp"
#include "parsing/whole_match.hpp"

namespace numberplan {
namespace {

constexpr std::string_view leadingPlusCharsPattern = "^[+＋]+";
constexpr std::string_view capturingDigitPattern = "([0-9０-９٠-٩۰-۹])";

bool startsWith(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

// The calling code is read from the first characters after the plus sign: "+ 44" and "+(44)" write it too.
std::string withoutLeadingSeparators(std::string text) {
  while (true) {
    std::string rest = RegexManager::trimmingSpaceCharacters(text);
    rest.erase(0, std::min(rest.find_first_not_of("([-./"), rest.size()));
    if (rest.size() == text.size()) return rest;
    text = std::move(rest);
  }
}

}  // namespace

PhoneNumberParser::PhoneNumberParser(std::shared_ptr<MetadataManager> metadata, std::shared_ptr<RegexManager> regex)
    : metadata_(std::move(metadata)), regex_(std::move(regex)) {}

std::string PhoneNumberParser::normalizeNumber(std::string_view number) const {
  std::string normalized;
  normalized.reserve(number.size());
  detail::forEachCharacter(number, [&](UChar32 character, std::string_view) {
    if (const auto mapped = detail::mappedCharacter(character)) normalized.push_back(*mapped);
  });
  return normalized;
}

std::optional<std::string> PhoneNumberParser::stripExtension(std::string& number) const {
  const auto expression = detail::pooled(*regex_, extensionPattern);
  if (!expression) return std::nullopt;
  const auto match = expression->firstMatch(number);
  if (!match) return std::nullopt;
  const auto cut = utf8Offset(number, match->range().location);
  if (!cut) return std::nullopt;
  // The digits are those of whichever alternative matched; the separators and words around them
  // ("ext.", "#", ";ext=") are not part of the extension.
  std::string extension;
  for (std::size_t group = 1; group < match->numberOfRanges(); ++group) {
    if (match->texts[group] && !match->texts[group]->empty()) {
      extension = *match->texts[group];
      break;
    }
  }
  number.resize(*cut);
  return extension;
}

std::uint64_t PhoneNumberParser::countryCode(std::string_view number, std::string& nationalNumber,
                                             const MetadataTerritory& metadata) const {
  if (!metadata.internationalPrefix) return 0;
  std::string fullNumber;
  if (regex_->hasMatchAtStart(leadingPlusCharsPattern, number)) {
    fullNumber = withoutLeadingSeparators(regex_->replacingMatches(leadingPlusCharsPattern, number, ""));
  } else {
    fullNumber = normalizeNumber(number);
    if (!stripInternationalPrefix(fullNumber, *metadata.internationalPrefix)) {
      // Written for the region itself: a leading copy of the region's own code is taken as the country code
      // only when what follows it is a better national number than the whole.
      const std::string code = std::to_string(metadata.countryCode);
      if (!startsWith(fullNumber, code)) return 0;
      const auto& general = metadata.generalDesc;
      if (!general || !general->nationalNumberPattern || !general->possibleNumberPattern) return 0;
      std::string candidate = fullNumber.substr(code.size());
      removeNationalPrefix(candidate, metadata);
      const bool accepted = (!detail::matchesEntirely(*regex_, *general->nationalNumberPattern, fullNumber) &&
                             detail::matchesEntirely(*regex_, *general->nationalNumberPattern, candidate)) ||
                            !detail::matchesEntirely(*regex_, *general->possibleNumberPattern, fullNumber);
      if (!accepted) return 0;
      nationalNumber = std::move(candidate);
      return detail::readUnsigned(code).value_or(0);
    }
  }
  if (detail::characterCount(fullNumber) < minLengthForNSN) throw PhoneNumberError::tooShort();
  // After "+" or an international prefix only a calling code can follow; reading the rest as a national
  // number of the region would make a number of another country.
  const std::uint64_t code = leadingCountryCode(fullNumber, nationalNumber);
  if (code == 0) throw PhoneNumberError::invalidCountryCode();
  return code;
}

std::uint64_t PhoneNumberParser::leadingCountryCode(std::string_view number, std::string& nationalNumber) const {
  if (number.empty() || number.front() == '0') return 0;
  const std::size_t units = utf16Length(number);
  std::size_t start = 0;
  if (number.front() == '+') {
    if (units == 1) return 0;
    start = 1;
  }
  // A code is read from ASCII only, so its UTF-16 units and its bytes are the same count.
  const std::size_t longest = std::min(units - start, maxLengthCountryCode);
  for (std::size_t length = 1; length <= longest && start + length <= number.size(); ++length) {
    const auto code = detail::readUnsigned(number.substr(start, length));
    if (code && metadata_->territories(*code) != nullptr) {
      nationalNumber = std::string(number.substr(start + length));
      return *code;
    }
  }
  return 0;
}

std::vector<std::size_t> PhoneNumberParser::prefixEnds(const RegularExpression& idd, std::string_view number,
                                                       std::size_t firstEnd) const {
  // A pattern of digits alone has one length: the match already found.
  const std::string& pattern = idd.pattern();
  if (std::all_of(pattern.begin(), pattern.end(), [](char c) { return c >= '0' && c <= '9'; })) return {firstEnd};
  // Prefixes are digits, so only the ASCII start of the number is tried, byte by byte.
  std::size_t longest = std::min(number.size(), std::max(firstEnd, maxLengthInternationalPrefix));
  for (std::size_t length = 0; length < longest; ++length) {
    if (static_cast<unsigned char>(number[length]) >= 0x80) longest = length;
  }
  std::vector<std::size_t> ends;
  for (std::size_t length = longest; length > 0; --length) {
    if (length == firstEnd || idd.matchesEntirely(number.substr(0, length))) ends.push_back(length);
  }
  if (firstEnd > longest) ends.insert(ends.begin(), firstEnd);
  return ends;
}

RegularExpression::Fit PhoneNumberParser::numberFit(std::string_view rest, NumberExtent extent) const {
  using Fit = RegularExpression::Fit;
  const std::string digits = normalizeNumber(rest);
  std::string national;
  const std::uint64_t code = leadingCountryCode(digits, national);
  if (code == 0) return extent == NumberExtent::beginning && beginsCallingCode(digits) ? Fit::beginning : Fit::none;
  const auto* territories = metadata_->territories(code);
  if (!territories) return Fit::none;
  Fit best = Fit::none;
  for (const MetadataTerritory& territory : *territories) {
    if (!territory.generalDesc || !detail::hasPattern(territory.generalDesc->nationalNumberPattern)) continue;
    const auto pattern = detail::pooled(*regex_, *territory.generalDesc->nationalNumberPattern);
    if (!pattern) continue;
    if (extent == NumberExtent::whole) {
      std::string candidate = national;
      removeNationalPrefix(candidate, territory);
      if (pattern->matchesEntirely(candidate)) return Fit::whole;
      continue;
    }
    // Digits still being typed after a calling code carry no trunk prefix to take off.
    const Fit fit = pattern->fit(national);
    if (fit == Fit::whole) return fit;
    best = std::max(best, fit);
  }
  return best;
}

bool PhoneNumberParser::beginsCallingCode(std::string_view digits) const {
  if (digits.empty()) return true;
  if (digits.size() >= maxLengthCountryCode || digits.front() == '0') return false;
  const auto start = detail::readUnsigned(digits);
  if (!start) return false;
  std::uint64_t first = *start;
  std::uint64_t count = 1;
  for (std::size_t length = digits.size(); length < maxLengthCountryCode; ++length) {
    first *= 10;
    count *= 10;
    for (std::uint64_t code = first; code < first + count; ++code) {
      if (metadata_->territories(code) != nullptr) return true;
    }
  }
  return false;
}

std::optional<std::size_t> PhoneNumberParser::internationalPrefixLength(std::string_view number,
                                                                       std::string_view iddPattern,
                                                                       NumberExtent extent) const {
  const auto idd = detail::pooled(*regex_, iddPattern);
  if (!idd) return std::nullopt;
  const auto match = idd->firstMatch(number);
  if (!match || match->range().location != 0) return std::nullopt;
  const auto end = utf8Offset(number, match->range().end());
  if (!end) return std::nullopt;
  const auto digit = detail::pooled(*regex_, capturingDigitPattern);
  if (!digit) return std::nullopt;

  // A zero right after a prefix means it was not an international prefix after all.
  const auto followedByZero = [&](std::string_view rest) {
    const auto found = digit->firstMatch(rest);
    if (!found) return false;
    const std::string text = found->text(1);
    return !text.empty() && normalizeNumber(text) == "0";
  };

  // Where a region has several prefixes, one may begin another followed by a calling code ("009" beside
  // "00" + "9x", "00" + carrier "21" beside "00" + "212"): the longest whose rest names a valid number wins; for a
  // number still being typed, then the longest whose rest may still become one; else the longest that a zero does
  // not follow.
  std::vector<std::size_t> ends;
  for (const std::size_t candidate : prefixEnds(*idd, number, *end)) {
    if (!followedByZero(number.substr(candidate))) ends.push_back(candidate);
  }
  if (ends.empty()) return std::nullopt;
  if (ends.size() == 1) return ends.front();
  std::optional<std::size_t> possible;
  for (const std::size_t candidate : ends) {
    const auto fit = numberFit(number.substr(candidate), extent);
    if (fit == RegularExpression::Fit::whole) return candidate;
    if (fit == RegularExpression::Fit::beginning && !possible) possible = candidate;
  }
  return possible.value_or(ends.front());
}

bool PhoneNumberParser::stripInternationalPrefix(std::string& number, std::string_view iddPattern) const {
  const auto length = internationalPrefixLength(number, iddPattern, NumberExtent::whole);
  if (!length) return false;
  number.erase(0, *length);
  return true;
}

std::optional<PhoneNumberParser::NationalPrefixReading> PhoneNumberParser::readingWithoutNationalPrefix(
    std::string_view nationalNumber, const MetadataTerritory& metadata) const {
  if (!metadata.nationalPrefixForParsing) return std::nullopt;
  const auto prefix = detail::pooled(*regex_, "^(?:" + *metadata.nationalPrefixForParsing + ")");
  if (!prefix) return std::nullopt;
  const auto match = prefix->firstMatch(nationalNumber);
  if (!match) return std::nullopt;

  // The last capture group (the whole match when there is none) decides whether the transform rule applies.
  std::string lastGroup;
  const std::size_t last = match->numberOfRanges() - 1;
  if (match->ranges[last] && match->ranges[last]->location < utf16Length(nationalNumber)) {
    lastGroup = match->text(last);
  }

  NationalPrefixReading reading;
  reading.matchedLength = match->text().size();
  const auto start = utf8Offset(nationalNumber, match->range().location);
  const auto end = utf8Offset(nationalNumber, match->range().end());
  reading.rewritten =
      metadata.nationalPrefixTransformRule && !RegexManager::trimmingSpaceCharacters(lastGroup).empty();
  if (reading.rewritten) {
    if (start && end) {
      reading.number = std::string(nationalNumber.substr(0, *start)) +
                       expandTemplate(*metadata.nationalPrefixTransformRule, *match) +
                       std::string(nationalNumber.substr(*end));
    } else {
      reading.number = nationalNumber;
    }
  } else {
    reading.number = end ? nationalNumber.substr(*end) : nationalNumber;
  }
  return reading;
}

PhoneNumberParser::NationalPrefixRemoval PhoneNumberParser::removeNationalPrefix(
    std::string& nationalNumber, const MetadataTerritory& metadata) const {
  auto reading = readingWithoutNationalPrefix(nationalNumber, metadata);
  if (!reading) return {};
  const std::optional<std::string> validPattern =
      metadata.generalDesc ? metadata.generalDesc->nationalNumberPattern : std::nullopt;
  if (detail::hasPattern(validPattern) && detail::matchesEntirely(*regex_, *validPattern, nationalNumber) &&
      !detail::matchesEntirely(*regex_, *validPattern, reading->number)) {
    return {reading->matchedLength, true, false};
  }
  nationalNumber = std::move(reading->number);
  return {reading->matchedLength, false, reading->rewritten};
}

bool PhoneNumberParser::matchesDescription(std::string_view text,
                                           const std::optional<MetadataPhoneNumberDesc>& description) const {
  if (!description || !description->nationalNumberPattern) return false;
  return detail::matchesEntirely(*regex_, *description->nationalNumberPattern, text);
}

PhoneNumberType PhoneNumberParser::numberType(std::string_view nationalNumber, const MetadataTerritory& metadata,
                                              bool leadingZero) const {
  if (leadingZero) {
    const PhoneNumberType withZero = numberType("0" + std::string(nationalNumber), metadata, false);
    if (withZero != PhoneNumberType::unknown) return withZero;
  }
  if (!metadata.generalDesc || !detail::hasPattern(metadata.generalDesc->nationalNumberPattern)) {
    return PhoneNumberType::unknown;
  }
  if (!matchesDescription(nationalNumber, metadata.generalDesc)) return PhoneNumberType::unknown;

  // The order matters: a number matching both premium-rate and toll-free patterns is premium rate.
  const std::pair<const std::optional<MetadataPhoneNumberDesc>*, PhoneNumberType> ordered[] = {
      {&metadata.pager, PhoneNumberType::pager},
      {&metadata.premiumRate, PhoneNumberType::premiumRate},
      {&metadata.tollFree, PhoneNumberType::tollFree},
      {&metadata.sharedCost, PhoneNumberType::sharedCost},
      {&metadata.voip, PhoneNumberType::voip},
      {&metadata.personalNumber, PhoneNumberType::personalNumber},
      {&metadata.uan, PhoneNumberType::uan},
      {&metadata.voicemail, PhoneNumberType::voicemail},
  };
  for (const auto& [description, type] : ordered) {
    if (matchesDescription(nationalNumber, *description)) return type;
  }

  if (!matchesDescription(nationalNumber, metadata.fixedLine)) {
    return matchesDescription(nationalNumber, metadata.mobile) ? PhoneNumberType::mobile : PhoneNumberType::unknown;
  }
  const auto fixedPattern = metadata.fixedLine ? metadata.fixedLine->nationalNumberPattern : std::nullopt;
  const auto mobilePattern = metadata.mobile ? metadata.mobile->nationalNumberPattern : std::nullopt;
  if (fixedPattern == mobilePattern) return PhoneNumberType::fixedOrMobile;
  return matchesDescription(nationalNumber, metadata.mobile) ? PhoneNumberType::fixedOrMobile
                                                              : PhoneNumberType::fixedLine;
}

}  // namespace numberplan
