#include "numberplan/regex/regular_expression.hpp"

#include <limits>
#include <utility>

#include <unicode/regex.h>

#include "numberplan/regex/replacement_template.hpp"
#include "regex/icu_text.hpp"

namespace numberplan {
namespace {

using detail::appendUtf8;
using detail::toUnicode;

// The text idle matchers point at. Never destroyed: matchers in use while the process exits still refer to it.
const icu::UnicodeString& emptySubject() {
  static const auto& nothing = *new const icu::UnicodeString();
  return nothing;
}

}  // namespace

// A matcher borrowed from the expression's idle list (or made) for one call, and given back afterwards pointing at
// nothing, so that no idle matcher refers to a subject that has gone.
struct MatcherLease {
  const RegularExpression& expression;
  std::unique_ptr<icu::RegexMatcher> matcher;
  UErrorCode status = U_ZERO_ERROR;

  explicit MatcherLease(const RegularExpression& owner) : expression(owner) {
    {
      std::lock_guard lock(expression.idleLock_);
      if (!expression.idleMatchers_.empty()) {
        matcher = std::move(expression.idleMatchers_.back());
        expression.idleMatchers_.pop_back();
        return;
      }
    }
    matcher.reset(expression.compiled_->matcher(emptySubject(), status));
    if (U_SUCCESS(status)) matcher->setTimeLimit(expression.timeLimit_, status);
    if (U_FAILURE(status)) matcher.reset();
  }

  ~MatcherLease() {
    if (!matcher) return;
    matcher->reset(emptySubject());
    std::lock_guard lock(expression.idleLock_);
    if (expression.idleMatchers_.size() < RegularExpression::maxIdleMatchers) {
      expression.idleMatchers_.push_back(std::move(matcher));
    }
  }
};

namespace {

// The text handed to ICU and the matcher that reads it. The matcher keeps a reference to the subject, so the
// subject lives as long as the lease here and no temporary string is ever handed to it.
struct MatchRun {
  icu::UnicodeString subject;
  MatcherLease lease;
  icu::RegexMatcher* matcher = nullptr;
  UErrorCode status = U_ZERO_ERROR;

  MatchRun(const RegularExpression& expression, std::string_view text)
      : subject(toUnicode(text)), lease(expression) {
    if (!lease.matcher) {
      status = U_FAILURE(lease.status) ? lease.status : U_MEMORY_ALLOCATION_ERROR;
      return;
    }
    matcher = lease.matcher.get();
    matcher->reset(subject);
  }

  bool usable() const { return matcher != nullptr && U_SUCCESS(status); }

  bool matchesWhole() { return U_SUCCESS(status) && matcher->matches(status) && U_SUCCESS(status); }

  // The next match, or false at the end, on a time-out or on any other engine failure (status tells which).
  bool find() { return U_SUCCESS(status) && matcher->find(status) && U_SUCCESS(status); }

  RegexMatch current() {
    RegexMatch match;
    const std::int32_t groups = matcher->groupCount();
    match.ranges.reserve(static_cast<std::size_t>(groups) + 1);
    match.texts.reserve(static_cast<std::size_t>(groups) + 1);
    for (std::int32_t group = 0; group <= groups; ++group) {
      UErrorCode groupStatus = U_ZERO_ERROR;
      const std::int32_t start = matcher->start(group, groupStatus);
      const std::int32_t end = matcher->end(group, groupStatus);
      if (U_FAILURE(groupStatus) || start < 0 || end < start) {
        match.ranges.emplace_back();
        match.texts.emplace_back();
        continue;
      }
      match.ranges.emplace_back(
          Utf16Range{static_cast<std::size_t>(start), static_cast<std::size_t>(end - start)});
      std::string text;
      appendUtf8(text, subject, start, end);
      match.texts.emplace_back(std::move(text));
    }
    return match;
  }

  // All matches from the current position; nothing when the engine timed out or failed on the way.
  std::optional<std::vector<RegexMatch>> collect() {
    std::vector<RegexMatch> found;
    while (find()) found.push_back(current());
    if (U_FAILURE(status)) return std::nullopt;
    return found;
  }
};

bool fitsIcu(std::string_view text) {
  return text.size() <= static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max() / 2);
}

// Rebuilds `subject` with each match replaced by its expanded template.
std::string replaceAll(const icu::UnicodeString& subject, const std::vector<RegexMatch>& matches,
                       std::string_view replacementTemplate) {
  std::string result;
  std::int32_t copied = 0;
  for (const RegexMatch& match : matches) {
    const auto start = static_cast<std::int32_t>(match.range().location);
    appendUtf8(result, subject, copied, start);
    result += expandTemplate(replacementTemplate, match);
    copied = static_cast<std::int32_t>(match.range().end());
  }
  appendUtf8(result, subject, copied, subject.length());
  return result;
}

}  // namespace

std::string RegexMatch::text(std::size_t group) const {
  if (group >= texts.size() || !texts[group]) return {};
  return *texts[group];
}

RegularExpression::RegularExpression(std::string pattern, std::unique_ptr<icu::RegexPattern> compiled,
                                     std::int32_t timeLimit)
    : pattern_(std::move(pattern)), compiled_(std::move(compiled)), timeLimit_(timeLimit) {
  UErrorCode status = U_ZERO_ERROR;
  icu::UnicodeString empty;
  std::unique_ptr<icu::RegexMatcher> matcher(compiled_->matcher(empty, status));
  if (U_SUCCESS(status)) groupCount_ = static_cast<std::size_t>(matcher->groupCount());
}

RegularExpression::~RegularExpression() = default;

std::size_t RegularExpression::numberOfCaptureGroups() const { return groupCount_; }

std::optional<RegexMatch> RegularExpression::firstMatch(std::string_view text) const {
  if (!fitsIcu(text)) return std::nullopt;
  MatchRun run(*this, text);
  if (!run.usable() || !run.find()) return std::nullopt;
  return run.current();
}

bool RegularExpression::matchesEntirely(std::string_view text) const {
  if (!fitsIcu(text)) return false;
  MatchRun run(*this, text);
  return run.usable() && run.matchesWhole();
}

bool RegularExpression::couldMatchEntirely(std::string_view text) const { return fit(text) != Fit::none; }

RegularExpression::Fit RegularExpression::fit(std::string_view text) const {
  if (!fitsIcu(text)) return Fit::none;
  MatchRun run(*this, text);
  if (!run.usable()) return Fit::none;
  if (run.matchesWhole()) return Fit::whole;
  return U_SUCCESS(run.status) && run.matcher->hitEnd() ? Fit::beginning : Fit::none;
}

std::vector<RegexMatch> RegularExpression::matches(std::string_view text) const {
  if (!fitsIcu(text)) return {};
  MatchRun run(*this, text);
  if (!run.usable()) return {};
  return run.collect().value_or(std::vector<RegexMatch>{});
}

std::optional<std::vector<RegexMatch>> RegularExpression::matches(std::string_view text,
                                                                  Utf16Range searchRange) const {
  if (!fitsIcu(text)) return std::nullopt;
  MatchRun run(*this, text);
  if (!run.usable()) return std::nullopt;
  const auto length = static_cast<std::size_t>(run.subject.length());
  if (searchRange.location > length || searchRange.length > length - searchRange.location) return std::nullopt;
  run.matcher->region(static_cast<std::int64_t>(searchRange.location), static_cast<std::int64_t>(searchRange.end()),
                      run.status);
  if (U_FAILURE(run.status)) return std::nullopt;
  auto found = run.collect();
  if (!found) return std::vector<RegexMatch>{};  // a time-out is no match
  return found;
}

std::string RegularExpression::replacingMatches(std::string_view text, std::string_view replacementTemplate) const {
  if (!fitsIcu(text)) return std::string(text);
  MatchRun run(*this, text);
  if (!run.usable()) return std::string(text);
  const auto found = run.collect();
  if (!found || found->empty()) return std::string(text);
  return replaceAll(run.subject, *found, replacementTemplate);
}

std::string RegularExpression::replacingMatches(std::string_view text, Utf16Range searchRange,
                                                std::string_view replacementTemplate) const {
  const auto found = matches(text, searchRange);
  if (!found || found->empty()) return std::string(text);
  return replaceAll(toUnicode(text), *found, replacementTemplate);
}

}  // namespace numberplan
