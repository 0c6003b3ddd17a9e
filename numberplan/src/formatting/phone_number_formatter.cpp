#include "numberplan/formatting/phone_number_formatter.hpp"

#include <algorithm>

#include <unicode/unistr.h>

#include "numberplan/values/phone_number_error.hpp"
#include "numberplan/regex/regex_manager.hpp"
#include "numberplan/regex/utf16_text.hpp"
#include "parsing/whole_match.hpp"

namespace numberplan {
namespace {

icu::UnicodeString toUnicode(std::string_view text) {
  return icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<std::int32_t>(text.size())));
}

// Whether text[start, end) holds nothing but white space and newlines (an empty range holds nothing).
bool onlyWhitespace(const icu::UnicodeString& text, std::int32_t start, std::int32_t end) {
  start = std::clamp(start, 0, text.length());
  end = std::clamp(end, start, text.length());
  for (std::int32_t index = start; index < end;) {
    const UChar32 character = text.char32At(index);
    if (!RegexManager::isSpaceCharacter(static_cast<char32_t>(character))) return false;
    index += U16_LENGTH(character);
  }
  return true;
}

std::int32_t clampedIndex(std::int64_t value, std::int32_t length) {
  return static_cast<std::int32_t>(std::clamp<std::int64_t>(value, 0, length));
}

bool isAsciiDigit(char16_t unit) { return unit >= u'0' && unit <= u'9'; }

// Separators and brackets a layout puts between digits.
#define NUMBERPLAN_LAYOUT_PUNCTUATION                                                     \
  "-\u2010-\u2015\u2212\u30FC\uFF0D-\uFF0F \u00A0\u00AD\u200B\u2060\u3000()\uFF08\uFF09\uFF3B\uFF3D." \
  "\\[\\]/~\u2053\u223C\uFF5E"

// Layout punctuation in front of the first digit or plus sign. Layouts such as North America's "(202) 555"
// open with one, and as-you-type formatting leaves text that does not start with a dial character as typed.
constexpr std::string_view leadingPunctuationPattern =
    "^[" NUMBERPLAN_LAYOUT_PUNCTUATION "]+(?=[+\uFF0B0-9\uFF10-\uFF19\u0660-\u0669\u06F0-\u06F9])";

// Every run of layout punctuation; and a number's text made of nothing else but it, plus signs in front and
// digits the digit map reads.
constexpr std::string_view layoutPunctuationPattern = "[" NUMBERPLAN_LAYOUT_PUNCTUATION "]+";
constexpr std::string_view laidOutDialTextPattern =
    "[" NUMBERPLAN_LAYOUT_PUNCTUATION "]*[+\uFF0B]*[0-9\u0660-\u0669\u06F0-\u06F9" NUMBERPLAN_LAYOUT_PUNCTUATION "]*";
#undef NUMBERPLAN_LAYOUT_PUNCTUATION

}  // namespace

PhoneNumberFormatter::PhoneNumberFormatter(std::shared_ptr<PhoneNumberEngine> utility, std::string defaultRegion,
                                           bool withPrefix)
    : utility_(std::move(utility)),
      partialFormatter_(utility_, defaultRegion, withPrefix, std::nullopt, false),
      defaultRegion_(std::move(defaultRegion)),
      withPrefix_(withPrefix) {}

void PhoneNumberFormatter::setDefaultRegion(std::string region) {
  defaultRegion_ = region;
  partialFormatter_.setDefaultRegion(std::move(region));
}

void PhoneNumberFormatter::setWithPrefix(bool value) {
  withPrefix_ = value;
  partialFormatter_.setWithPrefix(value);
}

std::optional<std::string> PhoneNumberFormatter::string(const ObjectValue& object) {
  if (const auto* number = std::get_if<PhoneNumber>(&object)) {
    return utility_->format(*number, withPrefix_ ? PhoneNumberFormat::international : PhoneNumberFormat::national,
                            true);
  }
  if (const auto* text = std::get_if<std::string>(&object)) return partialFormatter_.formatPartial(*text);
  return std::nullopt;
}

bool PhoneNumberFormatter::getObjectValue(ObjectValue* object, std::string_view string,
                                          std::string* errorDescription) const {
  if (!generatesPhoneNumber_) {
    if (object) *object = std::string(string);
    return true;
  }
  if (!object) return true;
  try {
    // The device's region, not defaultRegion: finished text is read as the device would dial it.
    *object = utility_->parseManager()->parse(string, PhoneNumberEngine::defaultRegionCode(), false);
    return true;
  } catch (const PhoneNumberError& error) {
    if (errorDescription) *errorDescription = error.errorDescription();
    return false;
  }
}

bool PhoneNumberFormatter::isPartialStringValid(std::string* partialString, TextRange* proposedSelectedRange,
                                                std::string_view originalString, TextRange originalSelectedRange,
                                                std::string* /*errorDescription*/) {
  if (!proposedSelectedRange || !partialString) return true;
  const icu::UnicodeString text = toUnicode(*partialString);
  const icu::UnicodeString original = toUnicode(originalString);
  const std::int32_t newLength = text.length();
  const std::int32_t oldLength = original.length();
  const std::int32_t oldLocation = clampedIndex(originalSelectedRange.location, oldLength);
  const std::int32_t oldSelection = clampedIndex(originalSelectedRange.length, oldLength - oldLocation);

  // White space typed or deleted is left as the user made it.
  if (oldSelection > 0 && newLength == oldLength - oldSelection) {
    if (onlyWhitespace(original, oldLocation, oldLocation + oldSelection)) return true;
  } else {
    const std::int32_t inserted = newLength - oldLength + oldSelection;
    if (inserted >= 0) {
      if (onlyWhitespace(text, oldLocation, oldLocation + inserted)) return true;
    } else {
      // A deletion without a selection (backspace or forward delete): what went is what the old text has
      // between the common beginning and the common end of the two texts.
      std::int32_t head = 0;
      while (head < newLength && text.charAt(head) == original.charAt(head)) ++head;
      std::int32_t tail = 0;
      while (tail < newLength - head && text.charAt(newLength - 1 - tail) == original.charAt(oldLength - 1 - tail)) {
        ++tail;
      }
      if (onlyWhitespace(original, head, oldLength - tail)) return true;
    }
  }

  // The field's own text comes back with each key; its opening bracket must not stop the formatting.
  std::string_view typed = *partialString;
  if (const auto regex = utility_->regexManager()) {
    if (const auto punctuation = detail::pooled(*regex, leadingPunctuationPattern)) {
      if (const auto match = punctuation->firstMatch(typed)) {
        if (const auto end = utf8Offset(typed, match->range().end())) typed.remove_prefix(*end);
      }
    }
  }
  std::string formatted = partialFormatter_.formatPartial(typed);
  if (formatted == *partialString) return true;
  if (formatted == typed) {
    // A deletion can leave the opening of a layout the digits no longer fill ("(20" of "(202) 555", "(11) " of
    // "(11) 9"), and the digits after it come back as they are. Made of dial characters and layout punctuation
    // alone, such text is laid out afresh from its dial characters: the field shows what typing them shows.
    const auto regex = utility_->regexManager();
    if (newLength < oldLength && regex && detail::matchesEntirely(*regex, laidOutDialTextPattern, *partialString)) {
      const std::string dialText = regex->replacingMatches(layoutPunctuationPattern, *partialString, "");
      formatted = partialFormatter_.formatPartial(dialText);
      if (formatted == *partialString) return true;
    } else {
      // Otherwise the key is left as typed, with the bracket in front of it: a key that cannot be laid out ("+"
      // after a whole number) must not cost the text its "(".
      return true;
    }
  }
  const icu::UnicodeString formattedText = toUnicode(formatted);

  // A deletion that formatting undoes took only a separator the layout puts back. The caret steps over it, as
  // if the key had moved it, so that the next backspace reaches the digit before it instead of sticking here.
  if (newLength < oldLength && formattedText == original) {
    *proposedSelectedRange = TextRange{clampedIndex(proposedSelectedRange->location, formattedText.length()), 0};
    *partialString = formatted;
    return false;
  }

  // The caret stays before the digit that followed it, counted among equal digits from the end; the last digit
  // of the text too, or the caret would jump past it and the next backspace take it instead of the one before.
  // The proposed selection is first brought inside the text: a toolkit may hand over any 64-bit values.
  const std::int32_t proposedLocation = clampedIndex(proposedSelectedRange->location, newLength);
  const std::int64_t caretEnd = proposedLocation + clampedIndex(proposedSelectedRange->length, newLength - proposedLocation);
  std::optional<char16_t> anchor;
  std::int32_t laterOccurrences = 0;
  for (std::int64_t index = caretEnd; index < newLength; ++index) {
    const char16_t unit = text.charAt(static_cast<std::int32_t>(index));
    if (!isAsciiDigit(unit)) continue;
    anchor = unit;
    for (std::int32_t later = static_cast<std::int32_t>(index) + 1; later < newLength; ++later) {
      if (text.charAt(later) == unit) ++laterOccurrences;
    }
    break;
  }
  if (anchor) {
    for (std::int32_t index = formattedText.length() - 1; index >= 0; --index) {
      if (formattedText.charAt(index) != *anchor) continue;
      if (laterOccurrences == 0) {
        *proposedSelectedRange = TextRange{index, 0};
        break;
      }
      --laterOccurrences;
    }
  } else {
    *proposedSelectedRange = TextRange{formattedText.length(), 0};
  }
  *partialString = formatted;
  return false;
}

}  // namespace numberplan
