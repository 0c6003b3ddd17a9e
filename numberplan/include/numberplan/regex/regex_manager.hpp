#pragma once
// RegexManager: the pool of compiled regular expressions that every pattern of the library goes through,
// with the match and replace operations parsing and formatting use.
//
// Example:
//   RegexManager regex;
//   auto expression = regex.compiledExpression("^(?:0)");           // compiled once, then shared
//   bool plus = regex.hasMatchAtStart("^[+＋]+", "+44 20");          // true
//   auto runs = regex.matchedSubstrings("\\d+", "a12b345");          // {"12", "345"}
//   auto text = regex.replacingMatches("(\\d)(\\d{2})", "123", "$1-$2");   // "1-23"
//
// Patterns are ICU regular expressions compiled case-insensitively and pooled by their exact text (a pattern
// differing only in letter case is another entry); one text always gives the same RegularExpression object.
// A pattern that does not compile is never pooled: compiledExpression throws PhoneNumberError::generalError()
// and the three operations give their neutral result (empty list, false, the text unchanged). The pool has no
// eviction. Offsets are UTF-16; strings are UTF-8.
//
// Thread-safe: look-ups share a lock; a miss compiles under the exclusive lock after checking again.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "numberplan/regex/regular_expression.hpp"

namespace numberplan {

class RegexManager {
 public:
  // `matchTimeLimit`: ICU engine steps the matching of one call may take (see RegularExpression); a time-out is no
  // match. 0 means no limit.
  explicit RegexManager(std::int32_t matchTimeLimit = RegularExpression::defaultTimeLimit);

  RegexManager(const RegexManager&) = delete;
  RegexManager& operator=(const RegexManager&) = delete;

  // The pooled expression for this exact text; throws PhoneNumberError::generalError() when it does not compile.
  std::shared_ptr<const RegularExpression> compiledExpression(std::string_view pattern);

  // The text of every match, in order.
  std::vector<std::string> matchedSubstrings(std::string_view pattern, std::string_view string);

  // Whether some match begins at offset 0.
  bool hasMatchAtStart(std::string_view pattern, std::string_view string);

  // No match: the text unchanged. One match: replaced within that match's range only (its bounds act as the
  // text's ends for "^" and "$"). Several: every match replaced.
  std::string replacingMatches(std::string_view pattern, std::string_view string,
                               std::string_view replacementTemplate);

  // The space character set: U+00A0 and Unicode white space and newlines (Zs, Zl, Zp, U+0009..U+000D, U+0085).
  static bool isSpaceCharacter(char32_t character) noexcept;
  // The text without space characters at either end.
  static std::string trimmingSpaceCharacters(std::string_view text);

  std::size_t poolSize() const;
  std::int32_t matchTimeLimit() const noexcept { return matchTimeLimit_; }

 private:
  // Looks patterns up by string_view without building a key string.
  struct PatternHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view pattern) const noexcept { return std::hash<std::string_view>{}(pattern); }
  };

  std::int32_t matchTimeLimit_;
  mutable std::shared_mutex regularExpressionLock_;
  std::unordered_map<std::string, std::shared_ptr<const RegularExpression>, PatternHash, std::equal_to<>>
      regularExpressionPool_;
};

}  // namespace numberplan
