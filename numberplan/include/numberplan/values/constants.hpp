#pragma once
// Constants the phone-number library's parts share: the digit-normalisation map and the long patterns that
// recognise typed telephone numbers.
//
// Example, given numberplan::RegexManager& regexManager, const std::string& text:
//   std::string three = digitNormalizationMap().at("\u0663");   // "3" (Arabic-Indic three)
//   bool plausible = regexManager.hasMatchAtStart(std::string(validNumberPattern), text);
//
// The patterns are ICU regular expressions, compiled case-insensitively through RegexManager. Their separator
// classes hold U+00AD (soft hyphen), U+200B (zero-width space) and U+2060 (word joiner) beside U+3000
// (ideographic space); those three are invisible, so they are spelled as escapes here.
#include <string>
#include <string_view>
#include <unordered_map>

namespace numberplan {

// One character (UTF-8) to one character: ASCII, Arabic-Indic (U+0660..U+0669) and Extended Arabic-Indic
// (U+06F0..U+06F9) digits to ASCII digits, and "*", "#", ",", ";" to themselves. 34 entries; full-width digits
// are deliberately absent. Built once, read-only, safe to share between threads.
const std::unordered_map<std::string, std::string>& digitNormalizationMap();

// A whole typed number: exactly two digits, or optional plus signs, at least three digits among separators,
// then separators, letters or digits, an optional extension and optional trailing commas or semicolons.
// 460 bytes of UTF-8.
inline constexpr std::string_view validNumberPattern =
    R"re(^[0-9０-９٠-٩۰-۹]{2}$|^[+＋]*(?:[-x‐-―−ー－-／  )re"
    "\u00AD\u200B\u2060" "\u3000"
    R"re(()（）［］.\[\]/~⁓∼～*]*[0-9０-９٠-٩۰-۹]){3,}[-x‐-―−ー－-／  )re"
    "\u00AD\u200B\u2060" "\u3000"
    R"re(()（）［］.\[\]/~⁓∼～*A-Za-z0-9０-９٠-٩۰-۹]*(?:(?:;ext=([0-9０-９٠-٩۰-۹]{1,7})|[  \t,]*(?:e?xt(?:ensi(?:ó?|ó))?n?|ｅ?ｘｔｎ?|[,xｘX#＃~～;]|int|anexo|ｉｎｔ)[:\.．]?[  \t,-]*([0-9０-９٠-٩۰-۹]{1,7})#?|[- ]+([0-9０-９٠-٩۰-۹]{1,5})#)?$)?[,;]*$)re";
// The valid-number pattern with an alternative for digits and white space (with an optional plus) in front;
// the text an as-you-type field holds must match it somewhere. 480 bytes of UTF-8.
inline constexpr std::string_view typedNumberShapePattern =
    R"re([+＋]?(\s*\d)+\s*$|^[0-9０-９٠-٩۰-۹]{2}$|^[+＋]*(?:[-x‐-―−ー－-／  )re"
    "\u00AD\u200B\u2060" "\u3000"
    R"re(()（）［］.\[\]/~⁓∼～*]*[0-9０-９٠-٩۰-۹]){3,}[-x‐-―−ー－-／  )re"
    "\u00AD\u200B\u2060" "\u3000"
    R"re(()（）［］.\[\]/~⁓∼～*A-Za-z0-9０-９٠-٩۰-۹]*(?:(?:;ext=([0-9０-９٠-٩۰-۹]{1,7})|[  \t,]*(?:e?xt(?:ensi(?:ó?|ó))?n?|ｅ?ｘｔｎ?|[,xｘX#＃~～;]|int|anexo|ｉｎｔ)[:\.．]?[  \t,-]*([0-9０-９٠-٩۰-۹]{1,7})#?|[- ]+([0-9０-９٠-٩۰-۹]{1,5})#)?$)?[,;]*$)re";
// A number format's "format" template as the as-you-type formatter accepts it: only separators and "$" group
// references. 143 bytes of UTF-8.
inline constexpr std::string_view partialFormatStringPattern =
    R"re(^[-x‐-―−ー－-／ )re"
    "\u00AD\u200B\u2060" "\u3000"
    R"re(()（）［］.\[\]/~⁓∼～]*(\$\d[-x‐-―−ー－-／ )re"
    "\u00AD\u200B\u2060" "\u3000"
    R"re(()（）［］.\[\]/~⁓∼～]*)+$)re";
// An extension at the end of a number (";ext=123", " ext. 123", " x123", "-12#" ...); the tail of the
// valid-number pattern.
inline constexpr std::string_view extensionPattern =
    R"re((?:;ext=([0-9０-９٠-٩۰-۹]{1,7})|[  \t,]*(?:e?xt(?:ensi(?:ó?|ó))?n?|ｅ?ｘｔｎ?|[,xｘX#＃~～;]|int|anexo|ｉｎｔ)[:\.．]?[  \t,-]*([0-9０-９٠-٩۰-۹]{1,7})#?|[- ]+([0-9０-９٠-٩۰-۹]{1,5})#)$)re";

}  // namespace numberplan
