#include "numberplan/parsing/parse_manager.hpp"

#include <algorithm>
#include <unordered_set>
#include <utility>

#include <unicode/locid.h>
#include <unicode/unistr.h>

#include "numberplan/values/constants.hpp"
#include "numberplan/values/phone_number_error.hpp"
#include "numberplan/regex/utf16_text.hpp"
#include "parsing/number_text.hpp"
#include "parsing/whole_match.hpp"

namespace numberplan {
namespace {

constexpr std::string_view leadingPlusCharsPattern = "^[+＋]+";

std::string upperCased(std::string_view text) {
  icu::UnicodeString unicode = icu::UnicodeString::fromUTF8(
      icu::StringPiece(text.data(), static_cast<std::int32_t>(text.size())));
  unicode.toUpper(icu::Locale::getRoot());
  std::string result;
  unicode.toUTF8String(result);
  return result;
}

// Digits through the map; every other character kept, upper-cased (the extension and country-code steps still
// need the separators and words).
std::string mapDigits(std::string_view text) {
  std::string mapped;
  mapped.reserve(text.size());
  detail::forEachCharacter(text, [&](UChar32 character, std::string_view) {
    if (const auto digit = detail::mappedCharacter(character)) {
      mapped.push_back(*digit);
    } else {
      mapped += detail::utf8Of(u_toupper(character));
    }
  });
  return mapped;
}

bool startsWith(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

// Digits of the first group the text writes ("8 (495) 234" -> 1), counted after anything before the first digit.
std::size_t leadingGroupDigits(std::string_view mapped) {
  const auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
  const auto first = std::find_if(mapped.begin(), mapped.end(), isDigit);
  return static_cast<std::size_t>(std::find_if_not(first, mapped.end(), isDigit) - first);
}

// Marks that set the direction of text, and the byte-order mark, write no digit and no separator: text copied from
// a right-to-left context carries them around or inside a number.
bool isDirectionMark(UChar32 character) {
  return character == 0x061C || character == 0x200E || character == 0x200F ||
         (character >= 0x202A && character <= 0x202E) ||
         (character >= 0x2066 && character <= 0x2069) || character == 0xFEFF;
}

// The zero-width space and the word joiner separate groups as a space does, unseen; pages put them before a
// plus sign too, where only a space is passed over.
bool isInvisibleSpace(UChar32 character) { return character == 0x200B || character == 0x2060; }

// The text without direction marks, and with every space separator (narrow, thin, figure spaces: typeset text puts
// them between digit groups, invisible ones too) written as a plain space, which the valid-number pattern takes as
// a separator. Tabs and line breaks stay: they part two numbers rather than the groups of one.
std::string withPlainSpaces(std::string_view text) {
  std::string kept;
  kept.reserve(text.size());
  detail::forEachCharacter(text, [&](UChar32 character, std::string_view bytes) {
    if (isDirectionMark(character)) return;
    if (u_charType(character) == U_SPACE_SEPARATOR || isInvisibleSpace(character)) {
      kept += ' ';
    } else {
      kept += bytes;
    }
  });
  return kept;
}

constexpr std::string_view fullWidthPlus = "\uFF0B";

// Letters are upper case here (the working number is mapped).
bool hasLetterBeforeDigit(std::string_view working) {
  bool letterSeen = false;
  for (const char c : working) {
    if (c >= 'A' && c <= 'Z' && c != 'X') letterSeen = true;
    if (c >= '0' && c <= '9' && letterSeen) return true;
  }
  return false;
}

}  // namespace

ParseManager::ParseManager(const std::shared_ptr<MetadataManager>& metadataManager,
                           const std::shared_ptr<RegexManager>& regexManager)
    : metadataManager_(metadataManager),
      parser_(std::make_shared<PhoneNumberParser>(metadataManager, regexManager)),
      regexManager_(regexManager) {}

PhoneNumber ParseManager::parse(std::string_view numberString, std::string_view region, bool ignoreType) const {
  // Checked before any pattern runs: the valid-number pattern backtracks quadratically on long non-numbers.
  if (utf16Length(numberString) > maxInputLength) throw PhoneNumberError::tooLong();
  const auto metadata = metadataManager_.lock();
  const auto regex = regexManager_.lock();
  if (!metadata || !regex) throw PhoneNumberError::generalError();

  const std::string regionCode = upperCased(region);

  std::shared_ptr<const RegularExpression> valid;
  try {
    valid = regex->compiledExpression(validNumberPattern);
  } catch (const PhoneNumberError&) {
    throw PhoneNumberError::generalError();
  }
  // The pattern wants a plus sign at the very start; text copied from elsewhere often brings white space before it,
  // and a calling code is often written in brackets with its plus sign ("(+34) 91 ...").
  std::string trimmed = RegexManager::trimmingSpaceCharacters(withPlainSpaces(numberString));
  if (const std::size_t plus = trimmed.find_first_not_of("([ "); plus != 0 && plus != std::string::npos &&
      (trimmed[plus] == '+' || trimmed.compare(plus, fullWidthPlus.size(), fullWidthPlus) == 0)) {
    trimmed.erase(0, plus);
  }
  const auto match = valid->firstMatch(trimmed);
  if (!match) throw PhoneNumberError::invalidNumber();
  // A digit the map would drop (a full-width one) would silently give another number.
  if (detail::hasUnmappedDigit(match->text())) throw PhoneNumberError::invalidNumber();

  std::string working = mapDigits(match->text());

  std::optional<std::string> extension;
  if (auto stripped = parser_->stripExtension(working)) extension = parser_->normalizeNumber(*stripped);
  // Pauses with nothing after them dial nothing: the number before them is the number ("+1 202 555 0143,").
  while (!working.empty() && (working.back() == ',' || working.back() == ';')) working.pop_back();
  // A letter with digits after it stands for a digit ("0800 FLOWERS 1") or for nothing known; normalising would
  // drop it and join the digits around it into another number. Words after the number are passed over, and "x"
  // is a separator.
  if (hasLetterBeforeDigit(working)) throw PhoneNumberError::invalidNumber();

  const MetadataTerritory* regionTerritory = metadata->territory(regionCode);
  if (!regionTerritory) throw PhoneNumberError::invalidCountryCode();

  std::string nationalNumber = working;
  std::uint64_t countryCode = 0;
  try {
    countryCode = parser_->countryCode(working, nationalNumber, *regionTerritory);
  } catch (const PhoneNumberError& error) {
    // An unknown calling code stays unknown without its plus sign; only the too-short case is read again.
    if (error.errorCase() == PhoneNumberError::Case::invalidCountryCode) throw;
    const std::string withoutPlus = regex->replacingMatches(leadingPlusCharsPattern, working, "");
    countryCode = parser_->countryCode(withoutPlus, nationalNumber, *regionTerritory);
  }
  // Separators are still in the text here (unless an international prefix took them): the grouping tells a
  // trunk prefix written apart from digits that begin the number.
  const std::size_t firstGroup = leadingGroupDigits(nationalNumber);
  nationalNumber = parser_->normalizeNumber(nationalNumber);

  if (countryCode == 0) {
    const std::string code = std::to_string(regionTerritory->countryCode);
    const auto& general = regionTerritory->generalDesc;
    const bool hasGeneral = general && detail::hasPattern(general->nationalNumberPattern);
    // A number that is valid as written is never read as its own calling code plus a shorter number: a
    // Luxembourg number beginning with 352 would otherwise become another subscriber's.
    const bool validAsWritten = hasGeneral && detail::matchesEntirely(*regex, *general->nationalNumberPattern,
                                                                      nationalNumber);
    if (!validAsWritten && startsWith(nationalNumber, code)) {
      const std::string candidate = nationalNumber.substr(code.size());
      if (hasGeneral && detail::matchesEntirely(*regex, *general->nationalNumberPattern, candidate)) {
        if (auto number = validatedPhoneNumber(candidate, *regionTerritory, regionTerritory->countryCode, ignoreType,
                                               candidate, extension)) {
          return *std::move(number);
        }
      }
    }
    if (auto number = validatedPhoneNumber(nationalNumber, *regionTerritory, regionTerritory->countryCode,
                                           ignoreType, numberString, extension, firstGroup)) {
      return *std::move(number);
    }
    return resolveAmongTerritories(nationalNumber, regionTerritory->countryCode, *regionTerritory, ignoreType,
                                   numberString, extension, firstGroup);
  }

  const MetadataTerritory* judging = regionTerritory;
  if (countryCode != regionTerritory->countryCode) {
    if (const MetadataTerritory* main = metadata->mainTerritory(countryCode)) judging = main;
  }
  if (auto number = validatedPhoneNumber(nationalNumber, *judging, countryCode, ignoreType, numberString, extension,
                                         firstGroup)) {
    return *std::move(number);
  }
  return resolveAmongTerritories(nationalNumber, countryCode, *judging, ignoreType, numberString, extension,
                                 firstGroup);
}

PhoneNumber ParseManager::resolveAmongTerritories(std::string_view nationalNumber, std::uint64_t countryCode,
                                                  const MetadataTerritory& excluded, bool ignoreType,
                                                  std::string_view numberString,
                                                  const std::optional<std::string>& numberExtension,
                                                  std::size_t leadingGroupDigits) const {
  const auto metadata = metadataManager_.lock();
  if (!metadata) throw PhoneNumberError::generalError();
  std::unordered_set<PhoneNumber> accepted;
  std::optional<PhoneNumber> first;
  if (const auto* territories = metadata->territories(countryCode)) {
    for (const MetadataTerritory& territory : *territories) {
      if (territory.codeID == excluded.codeID) continue;
      if (auto number = validatedPhoneNumber(nationalNumber, territory, countryCode, ignoreType, numberString,
                                             numberExtension, leadingGroupDigits)) {
        if (accepted.insert(*number).second && !first) first = *number;
      }
    }
  }
  if (accepted.empty()) throw PhoneNumberError::invalidNumber();
  if (accepted.size() == 1) return *first;
  throw PhoneNumberError::ambiguousNumber(std::move(accepted));
}

std::optional<PhoneNumber> ParseManager::validatedPhoneNumber(std::string_view nationalNumber,
                                                              const MetadataTerritory& metadata,
                                                              std::uint64_t countryCode, bool ignoreType,
                                                              std::string_view numberString,
                                                              const std::optional<std::string>& numberExtension,
                                                              std::size_t leadingGroupDigits) const {
  const auto metadataManager = metadataManager_.lock();
  const auto regex = regexManager_.lock();
  if (!metadataManager || !regex) throw PhoneNumberError::generalError();

  std::string national(nationalNumber);
  const auto prefix = parser_->removeNationalPrefix(national, metadata);
  // "8 (495) 234-56-7" dials the trunk prefix 8 and a number one digit short; 8495234567 would be someone else.
  if (prefix.keptAsDigits && leadingGroupDigits > 0 && leadingGroupDigits <= prefix.matchedLength) {
    return std::nullopt;
  }

  if (metadata.generalDesc) {
    const auto& pattern = metadata.generalDesc->nationalNumberPattern;
    if (!detail::hasPattern(pattern) || !detail::matchesEntirely(*regex, *pattern, national)) return std::nullopt;
  }

  const bool leadingZero = !national.empty() && national.front() == '0';
  // A number keeps one leading zero at most (PhoneNumber has a flag, not a count); reading "00123" as "0123"
  // or "0" as "00" would give another number.
  if (leadingZero && (national.size() == 1 || national[1] == '0')) throw PhoneNumberError::invalidNumber();
  const auto value = detail::readUnsigned(national);
  if (!value) throw PhoneNumberError::invalidNumber();

  const MetadataTerritory* judging = &metadata;
  PhoneNumberType type = PhoneNumberType::unknown;
  if (!ignoreType) {
    if (const auto region = getRegionCode(*value, countryCode, leadingZero)) {
      // Looked up among the code's own territories: non-geographic entries of different codes share "001".
      if (const auto* sameCode = metadataManager->territories(countryCode)) {
        const auto found = std::find_if(sameCode->begin(), sameCode->end(),
                                        [&](const MetadataTerritory& territory) { return territory.codeID == *region; });
        if (found != sameCode->end()) judging = &*found;
      }
    }
    type = parser_->numberType(std::to_string(*value), *judging, leadingZero);
    if (type == PhoneNumberType::unknown) throw PhoneNumberError::invalidNumber();
  }
  return PhoneNumber(std::string(numberString), countryCode, leadingZero, *value, numberExtension, type,
                     judging->codeID);
}

std::optional<std::string> ParseManager::getRegionCode(std::uint64_t nationalNumber, std::uint64_t countryCode,
                                                       bool leadingZero) const {
  const auto regex = regexManager_.lock();
  const auto metadata = metadataManager_.lock();
  if (!regex || !metadata) return std::nullopt;
  const auto* territories = metadata->territories(countryCode);
  if (!territories || territories->empty()) return std::nullopt;
  if (territories->size() == 1) return territories->front().codeID;

  const std::string text = std::to_string(nationalNumber);
  for (const MetadataTerritory& territory : *territories) {
    if (territory.leadingDigits) {
      if (const auto expression = detail::pooled(*regex, *territory.leadingDigits)) {
        // Matches come in order, so only the first can begin at offset 0.
        const auto match = expression->firstMatch(text);
        if (match && match->range().location == 0) return territory.codeID;
      }
    }
    if (leadingZero && parser_->numberType("0" + text, territory, false) != PhoneNumberType::unknown) {
      return territory.codeID;
    }
    if (parser_->numberType(text, territory, false) != PhoneNumberType::unknown) return territory.codeID;
  }
  return std::nullopt;
}

std::vector<PhoneNumber> ParseManager::parse(const std::vector<std::string>& numberStrings, std::string_view region,
                                             bool ignoreType, bool shouldReturnFailedEmptyNumbers) const {
  std::vector<PhoneNumber> numbers;
  numbers.reserve(numberStrings.size());
  bool hadFailures = false;
  for (const std::string& numberString : numberStrings) {
    try {
      numbers.push_back(parse(numberString, region, ignoreType));
    } catch (const std::exception&) {
      numbers.push_back(PhoneNumber::notPhoneNumber());
      hadFailures = true;
    }
  }
  if (hadFailures && !shouldReturnFailedEmptyNumbers) {
    std::erase_if(numbers, [](const PhoneNumber& number) { return number.isNotParsed(); });
  }
  return numbers;
}

}  // namespace numberplan
