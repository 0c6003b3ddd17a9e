#pragma once
// A text field driven by PhoneNumberFormatter the way a toolkit drives it: every edit (a key, a paste, a
// deletion) is offered to isPartialStringValid with the text before and after it, and the field then shows
// whatever the formatter leaves, with the caret where the formatter puts it.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "numberplan/formatting/phone_number_formatter.hpp"
#include "numberplan/regex/utf16_text.hpp"

namespace numberplan::testing {

class TextField {
 public:
  TextField(std::shared_ptr<PhoneNumberEngine> engine, std::string region) : formatter_(std::move(engine), region) {}

  const std::string& text() const { return text_; }
  // Caret and selection in UTF-16 units, as a toolkit counts them.
  TextRange selection() const { return selection_; }
  void select(std::int64_t location, std::int64_t length = 0) { selection_ = TextRange{location, length}; }

  // Types each character of `keys` in turn.
  void type(std::string_view keys) {
    for (std::size_t index = 0; index < keys.size();) {
      std::size_t length = 1;
      while (index + length < keys.size() && (static_cast<unsigned char>(keys[index + length]) & 0xC0) == 0x80) {
        ++length;
      }
      replaceSelection(keys.substr(index, length));
      index += length;
    }
  }

  // Pastes `text` over the selection in one edit.
  void paste(std::string_view text) { replaceSelection(text); }

  // Backspace: removes the selection, or the character before the caret.
  void backspace() {
    if (selection_.length == 0) {
      if (selection_.location == 0) return;
      std::int64_t start = selection_.location - 1;
      while (start > 0 && !utf8Offset(text_, static_cast<std::size_t>(start))) --start;
      selection_ = TextRange{start, selection_.location - start};
      const TextRange before{selection_.location + selection_.length, 0};
      edit("", before);
      return;
    }
    edit("", selection_);
  }

 private:
  void replaceSelection(std::string_view replacement) { edit(replacement, selection_); }

  // Replaces `selection_` by `replacement`; `original` is the selection the toolkit reports as the old one.
  void edit(std::string_view replacement, TextRange original) {
    const std::size_t start = *utf8Offset(text_, static_cast<std::size_t>(selection_.location));
    const std::size_t end = *utf8Offset(text_, static_cast<std::size_t>(selection_.location + selection_.length));
    std::string proposed = text_.substr(0, start);
    proposed += replacement;
    proposed += text_.substr(end);
    TextRange caret{selection_.location + static_cast<std::int64_t>(utf16Length(replacement)), 0};
    formatter_.isPartialStringValid(&proposed, &caret, text_, original, nullptr);
    text_ = std::move(proposed);
    selection_ = caret;
  }

  PhoneNumberFormatter formatter_;
  std::string text_;
  TextRange selection_;
};

}  // namespace numberplan::testing
