#include "numberplan/formatting/partial_formatter.hpp"

#include <algorithm>

#include "numberplan/values/constants.hpp"
#include "numberplan/parsing/parse_manager.hpp"
#include "numberplan/regex/replacement_template.hpp"
#include "numberplan/regex/utf16_text.hpp"
#include "formatting/national_template.hpp"
#include "parsing/number_text.hpp"
#include "parsing/whole_match.hpp"

namespace numberplan {
namespace {

constexpr std::string_view leadingDialCharPattern = "[+＋0-9０-９٠-٩۰-۹]";
constexpr std::string_view bracketClassPattern = "\\[([^\\[\\]])*\\]";
constexpr std::string_view literalDigitPattern = "\\d(?=[^,}][^,}])";
// Writes the two characters backslash and "d".
constexpr std::string_view digitClassTemplate = "\\\\d";
constexpr std::string_view widestNumber = "999999999999999";
constexpr std::string_view separatorPattern = "[- ]";
constexpr std::string_view fullWidthPlus = "\uFF0B";

}  // namespace

PartialFormatter::PartialFormatter(std::shared_ptr<PhoneNumberEngine> utility, std::string defaultRegion,
                                   bool withPrefix, std::optional<int> maxDigits, bool ignoreIntlNumbers)
    : utility_(std::move(utility)),
      metadataManager_(utility_->metadataManager()),
      parser_(utility_->parseManager()->parser()),
      regexManager_(utility_->regexManager()),
      defaultRegion_(std::move(defaultRegion)) {
  reloadDefaultMetadata();
  withPrefix_ = withPrefix;
  maxDigits_ = maxDigits;
  ignoreIntlNumbers_ = ignoreIntlNumbers;
}

void PartialFormatter::setDefaultRegion(std::string region) {
  defaultRegion_ = std::move(region);
  reloadDefaultMetadata();
}

void PartialFormatter::reloadDefaultMetadata() {
  // Without its engine the formatter knows no territory, and keeps none of the engine it had: both pointers
  // pointed into that engine's metadata.
  const auto metadata = metadataManager_.lock();
  defaultMetadata_ = metadata ? metadata->territory(defaultRegion_) : nullptr;
  currentMetadata_ = defaultMetadata_;
}

void PartialFormatter::resetTypingState() {
  if (metadataManager_.expired()) defaultMetadata_ = nullptr;
  currentMetadata_ = defaultMetadata_;
  prefixBeforeNationalNumber_.clear();
  shouldAddSpaceAfterNationalPrefix_ = false;
  callingCodeTaken_ = false;
  callingCodeAwaited_ = false;
  rewrittenPrefix_.reset();
}

std::string PartialFormatter::currentRegion() const {
  // The territories are the engine's: with the engine gone there is none to read, whatever was typed before.
  const auto metadata = metadataManager_.lock();
  if (!metadata) return std::string(fallbackRegion);
  if (ignoreIntlNumbers_ && currentMetadata_ && currentMetadata_->codeID == nonGeographicRegion) {
    return defaultRegion_;
  }
  const MetadataTerritory* regionTerritory = metadata->territory(defaultRegion_);
  if (regionTerritory && regionTerritory->countryCode == 1) {
    if (currentMetadata_ && currentMetadata_->countryCode == 1) return defaultRegion_;
    return currentMetadata_ ? currentMetadata_->codeID : defaultRegion_;
  }
  return currentMetadata_ ? currentMetadata_->codeID : std::string(fallbackRegion);
}

std::string PartialFormatter::formatPartial(std::string_view rawNumber) {
  // A field reused for another number shows nothing of the one before: every call starts from the same state.
  resetTypingState();

  // Long text is not a number being typed, and the shape pattern backtracks badly on it.
  if (utf16Length(rawNumber) > ParseManager::maxInputLength) return std::string(rawNumber);
  if (!acceptsTypedText(rawNumber)) return std::string(rawNumber);
  // Digits the map would drop (full-width ones) would vanish from the display: leave such text alone.
  if (detail::hasUnmappedDigit(rawNumber)) return std::string(rawNumber);

  const auto [number, suffix] = splitDialSuffix(rawNumber);
  std::string national = nationalNumber(number);
  // Neither the default region nor a typed calling code names a territory: nothing to lay the digits out by, and
  // dropping the separators typed would only lose them.
  if (!currentMetadata_) return std::string(rawNumber);
  std::optional<std::string> rewritten;
  if (rewrittenPrefix_) {
    if (withPrefix_) {
      rewritten = layOutRewrittenPrefix();
    } else {
      national = rewrittenPrefix_->nationalNumber;  // no prefix shown: the number the typed digits stand for
    }
  }
  std::string formatted = national;
  std::optional<std::vector<const MetadataPhoneNumberFormat*>> formats;
  if (rewritten) {
    // The national prefix is part of the layout: it is not shown again before it.
    prefixBeforeNationalNumber_.resize(rewrittenPrefix_->prefixStart);
    formatted = std::move(*rewritten);
  } else if (!callingCodeAwaited_) {
    // Nothing set apart before the number: no dialling prefix, calling code or national prefix was typed.
    formats = candidateFormats(national, prefixBeforeNationalNumber_.empty());
  }
  if (formats) {
    if (auto whole = formatWithWholePattern(national, *formats)) {
      formatted = std::move(*whole);
    } else {
      for (const MetadataPhoneNumberFormat* format : *formats) {
        if (const auto numberTemplate = makeTemplate(*format, national)) {
          formatted = fillTemplate(*numberTemplate, national);
          break;
        }
      }
    }
  }

  std::string result;
  if (withPrefix_) {
    if (!prefixBeforeNationalNumber_.empty()) result += prefixBeforeNationalNumber_;
    if (shouldAddSpaceAfterNationalPrefix_ && !prefixBeforeNationalNumber_.empty() &&
        prefixBeforeNationalNumber_.back() != ' ') {
      result += ' ';
    }
  }
  if (!formatted.empty()) result += formatted;
  if (!result.empty() && result.back() == ' ') result.pop_back();
  result += suffix;
  return result;
}

bool PartialFormatter::acceptsTypedText(std::string_view text) const {
  const auto regex = regexManager_.lock();
  if (!regex) return false;
  const auto shape = detail::pooled(*regex, typedNumberShapePattern);
  const auto leading = detail::pooled(*regex, leadingDialCharPattern);
  if (!shape || !leading) return false;
  if (!shape->firstMatch(text)) return false;
  const auto first = leading->firstMatch(text);
  return first && first->range().location == 0;
}

std::pair<std::string, std::string> PartialFormatter::splitDialSuffix(std::string_view text) const {
  // The suffix starts at whichever of "," and ";" comes first, or right after the last digit before the first
  // letter or "#" after a digit: an extension being typed ("ext. 12", " x12", "#12") is kept as typed, never laid
  // out as more digits of the number, and so is a word and whatever opens it (" (mobile)"), which the layout of the
  // number would otherwise drop. A whole extension (pasted) starts where the parser reads one, which takes in forms
  // made of digits and separators alone ("030 1234567 - 12#").
  std::size_t split = text.size();
  if (const auto parser = parser_.lock()) {
    std::string number(text);
    if (parser->stripExtension(number)) split = number.size();
  }
  split = std::min(split, extensionAfterSpacedDash(text));
  bool digitSeen = false;
  for (std::size_t index = 0; index < split; ++index) {
    const char c = text[index];
    if (c == ',' || c == ';') {
      split = index;
      break;
    }
    if (c >= '0' && c <= '9') digitSeen = true;
    const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    if (digitSeen && (letter || c == '#')) {
      split = index;
      while (split > 0 && !detail::endsWithMappedDigit(text.substr(0, split))) --split;
      break;
    }
  }
  return {std::string(text.substr(0, split)), std::string(text.substr(split))};
}

// Where an extension typed key by key begins, before its "#" makes it one the parser reads: white space and a dash
// after digits that already form a whole number, followed by nothing but white space, dashes, digits and "#" ("030
// 1234567 - 12"). Laid out on, its digits would join the number; kept as typed, the text still reads as the same
// digits until the "#" comes. A dash without white space before it ("030-1234567"), or after digits that form no
// number yet ("030 - 1234567"), separates groups of the number and is laid out as any separator.
std::size_t PartialFormatter::extensionAfterSpacedDash(std::string_view text) const {
  // A dialling prefix (seven digits at most: "0033 010"), a calling code and a national number (fifteen digits
  // together): more digits than that form no number, so no longer text is read.
  constexpr std::size_t mostDigitsOfANumber = 22;
  const auto isSpace = [](char c) { return c == ' ' || c == '\t'; };
  const auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
  std::size_t cleanFrom = text.size();  // from here on, only what an extension is typed with
  while (cleanFrom > 0) {
    const char c = text[cleanFrom - 1];
    if (!isSpace(c) && !isDigit(c) && c != '-' && c != '#') break;
    --cleanFrom;
  }
  std::size_t digits = 0;
  std::size_t triedDigits = 0;  // the same digits before two dashes are the same number
  for (std::size_t index = 0; index + 1 < text.size() && digits <= mostDigitsOfANumber; ++index) {
    if (isDigit(text[index])) ++digits;
    if (text[index] != ' ' || text[index + 1] != '-' || index + 2 < cleanFrom || digits == triedDigits) continue;
    std::size_t start = index;
    while (start > 0 && isSpace(text[start - 1])) --start;
    if (start == 0 || !isDigit(text[start - 1])) continue;
    triedDigits = digits;
    if (utility_ && utility_->isValidPhoneNumber(text.substr(0, start), defaultRegion_)) return start;
  }
  return text.size();
}

std::string PartialFormatter::nationalNumber(std::string_view rawNumber) {
  const auto parser = parser_.lock();
  if (!parser) return std::string(rawNumber);
  std::string text = takeDialPrefix(rawNumber);
  text = parser->normalizeNumber(text);
  callingCodeAwaited_ = false;
  if (!prefixBeforeNationalNumber_.empty()) {
    text = takeCallingCode(text);
    // "+4" is the start of a calling code, not a number of the default region: its digits get neither that
    // region's national prefix nor its layout until they name a code.
    callingCodeAwaited_ = !callingCodeTaken_;
  }
  if (!callingCodeAwaited_) text = takeNationalPrefix(text);
  if (maxDigits_) {
    // The text is ASCII after normalisation, so characters and bytes agree.
    const auto limit = static_cast<std::size_t>(std::max(0, *maxDigits_));
    if (text.size() > limit) {
      text.resize(limit);
      rewrittenPrefix_.reset();  // the digits cut off would be shown in the rewritten layout
    }
  }
  return text;
}

std::string PartialFormatter::takeDialPrefix(std::string_view text) {
  // With no territory to go by (a default region the metadata lacks) "+" still says a calling code follows; it is
  // kept, or an international number could not be typed at all. A region without an international prefix takes
  // the digits after it as national ones.
  const bool plusTaken = currentMetadata_ ? currentMetadata_->internationalPrefix.has_value() : true;
  // The full-width plus of East Asian keyboards says the same, and the parser reads it so; dropped as a separator it
  // would make the calling code a national number of the field's region.
  const std::size_t plusLength = text.starts_with('+') ? 1 : text.starts_with(fullWidthPlus) ? fullWidthPlus.size() : 0;
  if (plusTaken && plusLength > 0) {
    prefixBeforeNationalNumber_ = "+";
    return std::string(text.substr(plusLength));
  }
  if (!currentMetadata_ || !currentMetadata_->internationalPrefix) return std::string(text);
  const auto parser = parser_.lock();
  if (!parser) return std::string(text);
  // Recognised on the digits alone: separators between them, typed or put there by this field, belong to no
  // prefix, and a prefix may run on into the digits after it ("001" typed, then "010 44").
  const std::string digits = parser->normalizeNumber(text);
  const std::string& idd = *currentMetadata_->internationalPrefix;
  const auto length = parser->internationalPrefixLength(digits, idd, PhoneNumberParser::NumberExtent::beginning);
  if (!length) return std::string(text);
  prefixBeforeNationalNumber_ = laidOutDialPrefix(std::string_view(digits).substr(0, *length), idd);
  return digits.substr(*length);
}

// The dialled prefix as shown: its digits, each part that its pattern captures (a carrier code) set apart by a
// space ("00 21", "0033 010"). A pattern without groups names prefixes written as one ("009", "00700").
std::string PartialFormatter::laidOutDialPrefix(std::string_view digits, const std::string& iddPattern) const {
  const auto regex = regexManager_.lock();
  const auto whole = regex ? detail::pooled(*regex, "^(?:" + iddPattern + ")$") : nullptr;
  const auto match = whole ? whole->firstMatch(digits) : std::nullopt;
  if (!match) return std::string(digits);
  return capturedPartsApart(digits, *match);
}

// `digits` with a space at each edge of a part that `match` (a match of a prefix pattern on these digits, or on
// them followed by more) captures in a group; edges beyond the digits are not shown.
std::string PartialFormatter::capturedPartsApart(std::string_view digits, const RegexMatch& match) {
  // Digits only, so UTF-16 positions are byte positions.
  std::vector<bool> breakBefore(digits.size() + 1, false);
  for (std::size_t group = 1; group < match.numberOfRanges(); ++group) {
    const auto& range = match.ranges[group];
    if (!range || range->length == 0) continue;
    if (range->location <= digits.size()) breakBefore[range->location] = true;
    if (range->end() <= digits.size()) breakBefore[range->end()] = true;
  }
  std::string shown;
  for (std::size_t index = 0; index < digits.size(); ++index) {
    if (index > 0 && breakBefore[index]) shown += ' ';
    shown += digits[index];
  }
  return shown;
}

std::string PartialFormatter::takeCallingCode(std::string_view text) {
  if (text.empty()) return std::string(text);
  if (!prefixBeforeNationalNumber_.empty() && prefixBeforeNationalNumber_.front() != '+') {
    prefixBeforeNationalNumber_ += ' ';
  }
  const auto parser = parser_.lock();
  if (!parser) return std::string(text);
  std::string national;
  const std::uint64_t code = parser->leadingCountryCode(text, national);
  if (code == 0) return std::string(text);
  const auto metadata = metadataManager_.lock();
  currentMetadata_ = metadata ? metadata->mainTerritory(code) : nullptr;
  callingCodeTaken_ = true;
  prefixBeforeNationalNumber_ += std::to_string(code);
  prefixBeforeNationalNumber_ += ' ';
  return national;
}

std::string PartialFormatter::takeNationalPrefix(std::string_view text) {
  rewrittenPrefix_.reset();
  if (!callingCodeTaken_) {
    if (auto carrier = carrierPrefix(text)) {
      prefixBeforeNationalNumber_ += carrier->shown;
      prefixBeforeNationalNumber_ += ' ';
      return std::string(text.substr(carrier->length));
    }
  }
  std::size_t length = 0;
  if (currentMetadata_ && currentMetadata_->nationalPrefixForParsing) {
    if (const auto regex = regexManager_.lock()) {
      if (const auto prefix = detail::pooled(*regex, "^(?:" + *currentMetadata_->nationalPrefixForParsing + ")")) {
        if (const auto match = prefix->firstMatch(text)) length = match->text().size();
      }
      const auto& general = currentMetadata_->generalDesc;
      if (length > 0 && general && general->nationalNumberPattern) {
        if (callingCodeTaken_) {
          // After a calling code the number has no trunk prefix to drop ("+44 (0)20" is a habit, not a rule);
          // where the code's numbers may begin with the prefix's digits (Russia's 8 starts "+7 812") they stay.
          // Those are the numbers of every region of the code: Kazakhstan's "+7 800 080" is no Russian number.
          const auto couldBeOne = [&](const MetadataTerritory& territory) {
            if (!territory.generalDesc || !territory.generalDesc->nationalNumberPattern) return false;
            const auto numbers = detail::pooled(*regex, *territory.generalDesc->nationalNumberPattern);
            return numbers && numbers->couldMatchEntirely(text);
          };
          const auto metadata = metadataManager_.lock();
          const auto* territories = metadata ? metadata->territories(currentMetadata_->countryCode) : nullptr;
          if (couldBeOne(*currentMetadata_) ||
              (territories && std::any_of(territories->begin(), territories->end(), couldBeOne))) {
            length = 0;
          }
        } else if (const auto parser = parser_.lock()) {
          // Typed nationally, a whole number whose first digits only look like the trunk prefix keeps them, as the
          // parser reads it: Russia's "812 555 12 34" is St Petersburg, not "8" before nine digits. A prefix the
          // region rewrites is read as typed instead (below).
          const auto reading = parser->readingWithoutNationalPrefix(text, *currentMetadata_);
          const std::string& numbers = *general->nationalNumberPattern;
          if (reading && !reading->rewritten && detail::matchesEntirely(*regex, numbers, text) &&
              !detail::matchesEntirely(*regex, numbers, reading->number)) {
            length = 0;
          }
        }
      }
    }
    if (length > 0 && currentMetadata_->nationalPrefixTransformRule) {
      // Read as typed, not as the parser would settle it: "11 15 5123 45" is a mobile being typed, though its ten
      // digits also form a fixed-line number that a parse would keep whole. After a calling code the prefix is
      // still there when no number of the code could begin with its digits ("+54 11 15 5123 4567", written as
      // dialled within the country); laid out as plain digits it would scatter the groups.
      if (const auto parser = parser_.lock()) {
        auto reading = parser->readingWithoutNationalPrefix(text, *currentMetadata_);
        if (reading && reading->rewritten) {
          rewrittenPrefix_ =
              RewrittenPrefix{std::string(text), std::move(reading->number), prefixBeforeNationalNumber_.size()};
        }
      }
    }
  }
  prefixBeforeNationalNumber_ += text.substr(0, length);
  return std::string(text.substr(length));
}

// A national prefix that the plan follows with a carrier's selection code (Brazil's "0 21", then the area code and
// the number), which parsing drops: the rewrite keeps the digits after the code unchanged. The pattern only reads
// the code once the whole number follows it, so it is read on the typed digits filled out to the widest number.
// As with a dialling prefix that a carrier code may lengthen, the reading with the code is taken when the digits
// after it form a number, or may still become one while the digits after the bare prefix do not form one.
std::optional<PartialFormatter::CarrierPrefix> PartialFormatter::carrierPrefix(std::string_view digits) const {
  if (!currentMetadata_ || !currentMetadata_->nationalPrefixForParsing ||
      !currentMetadata_->nationalPrefixTransformRule) {
    return std::nullopt;
  }
  const auto& general = currentMetadata_->generalDesc;
  if (!general || !general->nationalNumberPattern) return std::nullopt;
  const auto regex = regexManager_.lock();
  const auto parser = parser_.lock();
  if (!regex || !parser) return std::nullopt;
  const auto prefix = detail::pooled(*regex, "^(?:" + *currentMetadata_->nationalPrefixForParsing + ")");
  const auto numbers = detail::pooled(*regex, *general->nationalNumberPattern);
  if (!prefix || !numbers) return std::nullopt;
  const std::string filled = std::string(digits) + std::string(widestNumber);
  const auto match = prefix->firstMatch(filled);
  if (!match || match->range().location != 0) return std::nullopt;
  const std::string kept = expandTemplate(*currentMetadata_->nationalPrefixTransformRule, *match);
  const std::string& matched = match->text();
  // A rewrite that writes digits of its own (Argentina's "9" for "15") drops no plain prefix.
  if (kept.empty() || kept.size() >= matched.size() || !matched.ends_with(kept)) return std::nullopt;
  const std::size_t length = matched.size() - kept.size();
  if (length >= digits.size()) return std::nullopt;  // nothing typed after the code yet

  const auto fit = numbers->fit(digits.substr(length));
  if (fit == RegularExpression::Fit::none) return std::nullopt;
  if (fit == RegularExpression::Fit::beginning) {
    const auto plain = parser->readingWithoutNationalPrefix(digits, *currentMetadata_);
    if (plain && !plain->rewritten && numbers->matchesEntirely(plain->number)) return std::nullopt;
  }
  return CarrierPrefix{length, capturedPartsApart(digits.substr(0, length), *match)};
}

std::optional<std::vector<const MetadataPhoneNumberFormat*>> PartialFormatter::candidateFormats(
    std::string_view nationalNumber, bool typedWithoutNationalPrefix) const {
  const auto regex = regexManager_.lock();
  if (!regex || !currentMetadata_) return std::nullopt;
  const std::vector<MetadataPhoneNumberFormat>* formats = &currentMetadata_->numberFormats;
  static const auto& none = *new const std::vector<MetadataPhoneNumberFormat>();  // outlives the process's exit
  if (formats->empty()) {
    const auto metadata = metadataManager_.lock();
    const MetadataTerritory* main = metadata ? metadata->mainTerritory(currentMetadata_->countryCode) : nullptr;
    formats = main ? &main->numberFormats : &none;
  }
  std::vector<const MetadataPhoneNumberFormat*> eligible;
  std::vector<const MetadataPhoneNumberFormat*> possible;
  for (const MetadataPhoneNumberFormat& format : *formats) {
    if (!typingLayout(format)) continue;
    eligible.push_back(&format);
    if (format.leadingDigitsPatterns && !format.leadingDigitsPatterns->empty()) {
      const auto leading = detail::pooled(*regex, format.leadingDigitsPatterns->back());
      if (!leading) continue;
      const auto match = leading->firstMatch(nationalNumber);
      if (match && match->range().location == 0) possible.push_back(&format);
    } else {
      if (!format.pattern) continue;
      const auto whole = detail::pooled(*regex, "^(" + *format.pattern + ")$");
      if (whole && whole->firstMatch(nationalNumber)) possible.push_back(&format);
    }
  }
  if (typedWithoutNationalPrefix && currentMetadata_->nationalPrefix) {
    // Digits typed without the national prefix belong to a format written without it, where one applies
    // (Malaysia's "1-800-88-1234"): a number whose layout writes the prefix ("018-008 8123") is typed with it.
    const auto writesPrefix = [](const MetadataPhoneNumberFormat* format) {
      const auto& rule = format->nationalPrefixFormattingRule;
      return rule && rule->find("$NP") != std::string::npos;
    };
    if (!std::all_of(possible.begin(), possible.end(), writesPrefix)) std::erase_if(possible, writesPrefix);
  }
  return possible.empty() ? eligible : possible;
}

bool PartialFormatter::ruleHasSeparator(const std::optional<std::string>& rule) const {
  if (!rule) return false;
  const auto regex = regexManager_.lock();
  if (!regex) return false;
  const auto separator = detail::pooled(*regex, separatorPattern);
  return separator && separator->firstMatch(*rule).has_value();
}

std::optional<std::string> PartialFormatter::formatWithWholePattern(
    std::string_view nationalNumber, const std::vector<const MetadataPhoneNumberFormat*>& formats) {
  const auto regex = regexManager_.lock();
  if (!regex) return std::nullopt;
  // Digits that are no number yet are still on their way to one: a format listed before the one their digits fill,
  // whose pattern they may still fill, lays out the number being typed (Germany's 0800 numbers, whose first five
  // digits would fill a four-digit area code's layout). A whole number keeps the layout it has once typed.
  // Asked only once a layout the digits may still fill is met: most keystrokes meet none, and this is the
  // costliest pattern of the plan.
  std::optional<bool> wholeNumber;
  const auto isWholeNumber = [&] {
    if (!wholeNumber) {
      const auto& general = currentMetadata_ ? currentMetadata_->generalDesc : std::nullopt;
      wholeNumber = !general || !general->nationalNumberPattern ||
                    detail::matchesEntirely(*regex, *general->nationalNumberPattern, nationalNumber);
    }
    return *wholeNumber;
  };
  for (const MetadataPhoneNumberFormat* format : formats) {
    const std::string* layout = typingLayout(*format);
    if (!format->pattern || !layout) continue;
    const auto whole = detail::pooled(*regex, "^(?:" + *format->pattern + ")$");
    if (!whole) continue;
    const auto fit = whole->fit(nationalNumber);
    if (fit == RegularExpression::Fit::beginning && !isWholeNumber()) {
      if (const auto numberTemplate = makeTemplate(*format, nationalNumber)) {
        return fillTemplate(*numberTemplate, nationalNumber);
      }
      continue;
    }
    if (fit != RegularExpression::Fit::whole) continue;
    if (ruleHasSeparator(format->nationalPrefixFormattingRule)) shouldAddSpaceAfterNationalPrefix_ = true;
    return regex->replacingMatches(*format->pattern, nationalNumber, *layout);
  }
  return std::nullopt;
}

std::optional<std::string> PartialFormatter::makeTemplate(const MetadataPhoneNumberFormat& format,
                                                          std::string_view rawNumber) {
  const std::string* layout = typingLayout(format);
  if (!format.pattern || !layout) return std::nullopt;
  const auto digits = digitPattern(*format.pattern);
  if (!digits) return std::nullopt;
  auto numberTemplate = templateFromWidestMatch(*digits, *layout, rawNumber);
  if (!numberTemplate) return std::nullopt;
  if (ruleHasSeparator(format.nationalPrefixFormattingRule)) shouldAddSpaceAfterNationalPrefix_ = true;
  return numberTemplate;
}

const std::string* PartialFormatter::typingLayout(const MetadataPhoneNumberFormat& format) const {
  const auto regex = regexManager_.lock();
  if (!regex) return nullptr;
  const auto shape = detail::pooled(*regex, partialFormatStringPattern);
  if (!shape) return nullptr;
  // A national layout that writes digits of its own (Argentina's mobile "15") cannot take typed digits one for one;
  // its international layout, made of the same groups, can.
  for (const std::optional<std::string>* layout : {&format.format, &format.intlFormat}) {
    if (*layout && shape->firstMatch(**layout)) return &**layout;
  }
  return nullptr;
}

// The format's pattern with every character class and literal digit written as "\d": the shape of the numbers it
// takes, whatever their digits.
std::optional<std::string> PartialFormatter::digitPattern(const std::string& formatPattern) const {
  const auto regex = regexManager_.lock();
  if (!regex) return std::nullopt;
  // An alternation has no single widest shape to build a template from.
  if (formatPattern.find('|') != std::string::npos) return std::nullopt;
  if (!detail::pooled(*regex, bracketClassPattern) || !detail::pooled(*regex, literalDigitPattern)) {
    return std::nullopt;
  }
  const std::string classes = regex->replacingMatches(bracketClassPattern, formatPattern, digitClassTemplate);
  return regex->replacingMatches(literalDigitPattern, classes, digitClassTemplate);
}

// The typed digits, with their national prefix where it was typed, laid out as the national layout of the number
// they stand for, as far as they go. Only where that layout writes the typed digits themselves, in their order: a
// rewrite that drops typed digits (a carrier code) leaves nothing, and the text is then laid out as any other.
std::optional<std::string> PartialFormatter::layOutRewrittenPrefix() const {
  const auto regex = regexManager_.lock();
  if (!regex || !currentMetadata_) return std::nullopt;
  const std::string& typed = rewrittenPrefix_->typedDigits;
  const std::string& national = rewrittenPrefix_->nationalNumber;
  const auto formats = candidateFormats(national);
  if (!formats) return std::nullopt;
  for (const MetadataPhoneNumberFormat* format : *formats) {
    if (!format->pattern || !format->format) continue;
    const auto digits = digitPattern(*format->pattern);
    if (!digits) continue;
    const auto widest = regex->matchedSubstrings(*digits, widestNumber);
    if (widest.empty() || widest.front().size() < national.size()) continue;
    // Filled out to the widest number of the format, so that its layout exists before every digit is typed.
    const std::string padded = national + widest.front().substr(national.size());
    // Written with the national prefix ("011 15-5123-4567"), or, where the prefix was not typed, without it
    // ("11 15-5123-4567", as the number is written within the country).
    for (const std::string& numberTemplate :
         {detail::nationalTemplate(*regex, *format, *currentMetadata_, *format->format), *format->format}) {
      if (auto shown = typedDigitsLaidOut(regex->replacingMatches(*digits, padded, numberTemplate), typed)) {
        return shown;
      }
    }
  }
  return std::nullopt;
}

// The layout up to its last typed digit, when its digits are the typed ones, in their order.
std::optional<std::string> PartialFormatter::typedDigitsLaidOut(std::string_view layout, std::string_view typed) {
  std::string shown;
  std::size_t used = 0;
  bool writesTyped = true;
  detail::forEachCharacter(layout, [&](UChar32 character, std::string_view bytes) {
    if (used == typed.size() || !writesTyped) return;
    if (character >= '0' && character <= '9') {
      writesTyped = static_cast<char>(character) == typed[used];
      ++used;
    }
    shown += bytes;
  });
  if (writesTyped && used == typed.size()) return shown;
  return std::nullopt;
}

std::optional<std::string> PartialFormatter::templateFromWidestMatch(std::string_view digitPattern,
                                                                     std::string_view format,
                                                                     std::string_view rawNumber) const {
  const auto regex = regexManager_.lock();
  if (!regex) return std::nullopt;
  const auto widest = regex->matchedSubstrings(digitPattern, widestNumber);
  if (widest.empty()) return std::nullopt;
  const std::string& longest = widest.front();
  if (longest.size() < rawNumber.size()) return std::nullopt;
  const std::string filled = regex->replacingMatches(digitPattern, longest, format);
  std::string numberTemplate;
  numberTemplate.reserve(filled.size() * 3);
  for (const char c : filled) {
    if (c == '9') {
      numberTemplate += templateDigitMark;
    } else {
      numberTemplate += c;
    }
  }
  return numberTemplate;
}

std::string PartialFormatter::fillTemplate(std::string_view numberTemplate, std::string_view nationalNumber) {
  // The national number holds ASCII digits only (it was normalised); the template is walked by character.
  if (nationalNumber.size() < 3) return std::string(nationalNumber);
  std::string result;
  std::size_t digitIndex = 0;
  const UChar32 mark = 0x2008;
  detail::forEachCharacter(numberTemplate, [&](UChar32 character, std::string_view bytes) {
    if (character == mark) {
      if (digitIndex < nationalNumber.size()) result += nationalNumber[digitIndex++];
    } else if (digitIndex < nationalNumber.size()) {
      result += bytes;
    }
  });
  if (digitIndex < nationalNumber.size()) result += nationalNumber.substr(digitIndex);
  return RegexManager::trimmingSpaceCharacters(result);
}

}  // namespace numberplan
