#pragma once
// RegularExpression: one compiled, immutable ICU regular expression, shared between threads. Get one from
// RegexManager::compiledExpression(); each match call takes a matcher of its own (reused from a small idle list,
// since building one costs more than most matches), so a shared expression needs no lock around matching.
//
// Example, given numberplan::RegexManager& regexManager:
//   auto expression = regexManager.compiledExpression("(\\d{3})-(\\d{4})");
//   if (auto match = expression->firstMatch("call 555-0100 now")) {
//     Utf16Range where = match->range();     // {5, 8}, in UTF-16 units
//     std::string line = match->text(2);     // "0100"
//   }
//
// Matching searches the whole text with no options; "^" and "$" bind to the ends of the text searched.
// Compiled case-insensitively. A match that runs past the time limit counts as no match (firstMatch gives
// nothing, matches gives an empty list, replacing leaves the text unchanged), so a pathological text cannot hang
// the caller.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <unicode/uversion.h>

#include "numberplan/regex/utf16_text.hpp"

U_NAMESPACE_BEGIN
class RegexPattern;
class RegexMatcher;
U_NAMESPACE_END

namespace numberplan {

// One match: group 0 is the whole match, groups 1... the capture groups. A group that took no part in the
// match has no range and no text.
struct RegexMatch {
  std::vector<std::optional<Utf16Range>> ranges;  // one per group, 0 included
  std::vector<std::optional<std::string>> texts;  // the UTF-8 text of each group

  Utf16Range range() const { return *ranges.front(); }
  const std::string& text() const { return *texts.front(); }
  // The text of a group; empty when the group did not take part or does not exist.
  std::string text(std::size_t group) const;
  std::size_t numberOfRanges() const noexcept { return ranges.size(); }
};

class RegularExpression {
 public:
  // Steps of the ICU match engine that one call may take, counted over all its matches. A step is a fixed
  // number of engine operations (a fraction of a millisecond), so the limit does not depend on the machine's
  // speed. 200 is far above what the library's patterns need on numbers of 250 characters.
  static constexpr std::int32_t defaultTimeLimit = 200;

  // Use RegexManager::compiledExpression(); this is public for the pool's make_shared only.
  RegularExpression(std::string pattern, std::unique_ptr<icu::RegexPattern> compiled, std::int32_t timeLimit);
  ~RegularExpression();
  RegularExpression(const RegularExpression&) = delete;
  RegularExpression& operator=(const RegularExpression&) = delete;

  const std::string& pattern() const noexcept { return pattern_; }
  std::size_t numberOfCaptureGroups() const;
  std::int32_t timeLimit() const noexcept { return timeLimit_; }

  std::optional<RegexMatch> firstMatch(std::string_view text) const;
  // Whether the expression matches the whole text, as "^(?:pattern)$" would.
  bool matchesEntirely(std::string_view text) const;
  // Whether the text matches entirely or is the beginning of a text that could (the engine ran out of text
  // before it could tell).
  bool couldMatchEntirely(std::string_view text) const;
  // How the whole text fits the expression: not at all, as the beginning of a text that could match, or as a
  // match. One run of the engine, where matchesEntirely and couldMatchEntirely together take two.
  enum class Fit { none, beginning, whole };
  Fit fit(std::string_view text) const;
  std::vector<RegexMatch> matches(std::string_view text) const;

  // Every match within `searchRange` (UTF-16) only, its bounds acting as the text's ends for "^" and "$".
  // Nothing when the range lies outside the text.
  std::optional<std::vector<RegexMatch>> matches(std::string_view text, Utf16Range searchRange) const;

  // Every match replaced by the expanded template (see replacement_template.hpp).
  std::string replacingMatches(std::string_view text, std::string_view replacementTemplate) const;
  // Only the matches inside `searchRange` replaced; the text outside it is kept. Unchanged text when the range
  // lies outside the text.
  std::string replacingMatches(std::string_view text, Utf16Range searchRange,
                               std::string_view replacementTemplate) const;

 private:
  friend struct MatcherLease;
  // Matchers kept after use, at most maxIdleMatchers; guarded by idleLock_.
  static constexpr std::size_t maxIdleMatchers = 16;

  std::string pattern_;
  std::unique_ptr<icu::RegexPattern> compiled_;
  std::int32_t timeLimit_;
  std::size_t groupCount_ = 0;
  mutable std::mutex idleLock_;
  mutable std::vector<std::unique_ptr<icu::RegexMatcher>> idleMatchers_;
};

}  // namespace numberplan
