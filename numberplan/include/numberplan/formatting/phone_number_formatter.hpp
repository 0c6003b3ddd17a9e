#pragma once
// PhoneNumberFormatter: what a text field needs to show phone numbers formatted as they are typed. It turns a
// PhoneNumber or typed text into display text, checks each edit of the field (reformatting the text and
// keeping the caret beside the digit it was next to), and can turn finished text into a PhoneNumber.
//
// Example, given std::shared_ptr<numberplan::PhoneNumberEngine> engine:
//   PhoneNumberFormatter field(engine, "US");
//   std::string text = "650253";
//   TextRange caret{6, 0};
//   if (!field.isPartialStringValid(&text, &caret, "65025", TextRange{5, 0}, nullptr)) {
//     // the field shows `text` ("(650) 253") with the caret at `caret`
//   }
//
// Locations and lengths are UTF-16 code units, as text fields count them. Serves one field on one thread.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "numberplan/formatting/partial_formatter.hpp"
#include "numberplan/values/phone_number.hpp"
#include "numberplan/engine/phone_number_engine.hpp"

namespace numberplan {

// A selection in a text field, in UTF-16 code units.
struct TextRange {
  std::int64_t location = 0;
  std::int64_t length = 0;
  friend bool operator==(const TextRange&, const TextRange&) = default;
};

class PhoneNumberFormatter {
 public:
  // The values a field hands to and takes from the formatter: nothing, text, or a parsed number.
  using ObjectValue = std::variant<std::monostate, std::string, PhoneNumber>;

  explicit PhoneNumberFormatter(std::shared_ptr<PhoneNumberEngine> utility,
                                std::string defaultRegion = PhoneNumberEngine::defaultRegionCode(),
                                bool withPrefix = true);

  const std::shared_ptr<PhoneNumberEngine>& utility() const noexcept { return utility_; }

  // Whether getObjectValue parses finished text into a PhoneNumber (default false).
  bool generatesPhoneNumber() const noexcept { return generatesPhoneNumber_; }
  void setGeneratesPhoneNumber(bool value) noexcept { generatesPhoneNumber_ = value; }

  // The region typed numbers are formatted for.
  const std::string& defaultRegion() const noexcept { return defaultRegion_; }
  void setDefaultRegion(std::string region);

  // Whether the prefix (dialling prefix, calling code, national prefix) is shown; false gives national layout.
  bool withPrefix() const noexcept { return withPrefix_; }
  void setWithPrefix(bool value);

  // The region the last formatted text belongs to.
  std::string currentRegion() const { return partialFormatter_.currentRegion(); }

  // A PhoneNumber in international (withPrefix) or national layout; text formatted as typed; nothing else.
  std::optional<std::string> string(const ObjectValue& object);

  // Finished text to a value: the text itself, or (generatesPhoneNumber) the number parsed for the device's
  // default region. On a parse failure returns false and writes the error's message to `errorDescription`.
  bool getObjectValue(ObjectValue* object, std::string_view string, std::string* errorDescription) const;

  // Checks an edit: returns true to accept `partialString` as it is, or false after replacing it with the
  // formatted text and moving `proposedSelectedRange` to keep the caret by the same digit. Edits that only add
  // or remove white space are accepted as they are. `errorDescription` is never written.
  bool isPartialStringValid(std::string* partialString, TextRange* proposedSelectedRange,
                            std::string_view originalString, TextRange originalSelectedRange,
                            std::string* errorDescription);

 private:
  std::shared_ptr<PhoneNumberEngine> utility_;
  PartialFormatter partialFormatter_;
  bool generatesPhoneNumber_ = false;
  std::string defaultRegion_;
  bool withPrefix_ = true;
};

}  // namespace numberplan
