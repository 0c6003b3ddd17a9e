#include "numberplan/regex/regex_manager.hpp"

#include <mutex>
#include <utility>

#include <unicode/regex.h>
#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include "numberplan/values/phone_number_error.hpp"
#include "regex/icu_text.hpp"

namespace numberplan {

RegexManager::RegexManager(std::int32_t matchTimeLimit) : matchTimeLimit_(matchTimeLimit) {}

std::shared_ptr<const RegularExpression> RegexManager::compiledExpression(std::string_view pattern) {
  {
    std::shared_lock lock(regularExpressionLock_);
    if (auto found = regularExpressionPool_.find(pattern); found != regularExpressionPool_.end()) {
      return found->second;
    }
  }
  std::unique_lock lock(regularExpressionLock_);
  // Another thread may have compiled it between the two locks; one text must give one object.
  if (auto found = regularExpressionPool_.find(pattern); found != regularExpressionPool_.end()) return found->second;

  UParseError parseError{};
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<icu::RegexPattern> compiled(
      icu::RegexPattern::compile(detail::toUnicode(pattern), UREGEX_CASE_INSENSITIVE, parseError, status));
  if (U_FAILURE(status) || !compiled) throw PhoneNumberError::generalError();
  auto expression =
      std::make_shared<const RegularExpression>(std::string(pattern), std::move(compiled), matchTimeLimit_);
  regularExpressionPool_.emplace(std::string(pattern), expression);
  return expression;
}

std::vector<std::string> RegexManager::matchedSubstrings(std::string_view pattern, std::string_view string) {
  std::shared_ptr<const RegularExpression> expression;
  try {
    expression = compiledExpression(pattern);
  } catch (const PhoneNumberError&) {
    return {};
  }
  std::vector<std::string> substrings;
  for (const RegexMatch& match : expression->matches(string)) substrings.push_back(match.text());
  return substrings;
}

bool RegexManager::hasMatchAtStart(std::string_view pattern, std::string_view string) {
  std::shared_ptr<const RegularExpression> expression;
  try {
    expression = compiledExpression(pattern);
  } catch (const PhoneNumberError&) {
    return false;
  }
  for (const RegexMatch& match : expression->matches(string)) {
    if (match.range().location == 0) return true;
  }
  return false;
}

std::string RegexManager::replacingMatches(std::string_view pattern, std::string_view string,
                                           std::string_view replacementTemplate) {
  std::shared_ptr<const RegularExpression> expression;
  try {
    expression = compiledExpression(pattern);
  } catch (const PhoneNumberError&) {
    return std::string(string);
  }
  const std::vector<RegexMatch> matches = expression->matches(string);
  if (matches.empty()) return std::string(string);
  if (matches.size() == 1) {
    // ICU's own replace ignores a matcher's region, so the search is redone inside the match's range and the
    // template expanded here; the range's bounds then act as the text's ends for "^" and "$".
    return expression->replacingMatches(string, matches.front().range(), replacementTemplate);
  }
  return expression->replacingMatches(string, replacementTemplate);
}

bool RegexManager::isSpaceCharacter(char32_t character) noexcept {
  if (character == 0x00A0 || character == 0x0085 || (character >= 0x09 && character <= 0x0D)) return true;
  const auto category = u_charType(static_cast<UChar32>(character));
  return category == U_SPACE_SEPARATOR || category == U_LINE_SEPARATOR || category == U_PARAGRAPH_SEPARATOR;
}

std::string RegexManager::trimmingSpaceCharacters(std::string_view text) {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
  const auto length = static_cast<std::int32_t>(text.size());
  std::int32_t start = 0;
  while (start < length) {
    std::int32_t next = start;
    UChar32 character = 0;
    U8_NEXT(bytes, next, length, character);
    if (character < 0 || !isSpaceCharacter(static_cast<char32_t>(character))) break;
    start = next;
  }
  std::int32_t end = length;
  while (end > start) {
    std::int32_t previous = end;
    UChar32 character = 0;
    U8_PREV(bytes, start, previous, character);
    if (character < 0 || !isSpaceCharacter(static_cast<char32_t>(character))) break;
    end = previous;
  }
  return std::string(text.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(end - start)));
}

std::size_t RegexManager::poolSize() const {
  std::shared_lock lock(regularExpressionLock_);
  return regularExpressionPool_.size();
}

}  // namespace numberplan
