#pragma once
// URLEncodedFormEncoder: turns a JSON object into an application/x-www-form-urlencoded body, the form in which
// the frontend API takes request bodies.
//
// Example:
//   vadar::URLEncodedFormEncoder encoder;   // the options the request pipeline uses (the defaults below)
//   auto form = encoder.encode(vadar::JSON::parse(R"({"last_name":"Li","first_name":"Ann Marie","note":"a:b"})"));
//   // "first_name=Ann%20Marie&last_name=Li&note=a%3Ab"
//
// Decisions this encoder pins:
// - Nested keys are built as "outer[inner]" and then escaped like every key, so "[" and "]" (outside the allowed
//   set) travel as %5B and %5D: {"outer": {"inner": "v"}} gives "outer%5Binner%5D=v", and an array member
//   {"ids": [1, 2]} gives "ids%5B%5D=1&ids%5B%5D=2". Form parsers decode the key before reading the brackets.
// - Numbers keep their JSON form: an integer is written without a fraction ("1", not "1.0"), a float in its
//   shortest form that reads back to the same double.
// - Pairs are sorted by their whole key (byte order); array elements keep their order.
// - An empty object or array member writes nothing.
#include <stdexcept>
#include <string>
#include <string_view>
#include <optional>

#include "foundation/bytes.hpp"
#include "vadar/infra/json.hpp"

namespace vadar {

class URLEncodedFormEncoder {
 public:
  enum class ArrayEncoding { brackets, noBrackets };
  enum class BoolEncoding { numeric, literal };
  enum class DataEncoding { base64 };
  enum class DateEncoding { deferredToDate };
  enum class KeyEncoding { useDefaultKeys, convertToSnakeCase };
  enum class KeyPathEncoding { brackets, dots };
  enum class NilEncoding { dropKey, dropValue, null };
  enum class SpaceEncoding { percentEscaped, plusReplaced };

  struct Options {
    bool alphabetizeKeyValuePairs = true;
    ArrayEncoding arrayEncoding = ArrayEncoding::brackets;
    BoolEncoding boolEncoding = BoolEncoding::numeric;
    DataEncoding dataEncoding = DataEncoding::base64;
    DateEncoding dateEncoding = DateEncoding::deferredToDate;
    KeyEncoding keyEncoding = KeyEncoding::convertToSnakeCase;
    KeyPathEncoding keyPathEncoding = KeyPathEncoding::brackets;
    NilEncoding nilEncoding = NilEncoding::dropKey;
    SpaceEncoding spaceEncoding = SpaceEncoding::percentEscaped;
    // Bytes (ASCII) left unescaped: the URL-query-allowed set minus ":#[]@!$&'()*+,;=", i.e. letters, digits
    // and "-._~/?". Every other byte becomes %XX with upper-case hex.
    std::string allowedCharacters = defaultAllowedCharacters();
  };

  class Error : public std::runtime_error {
   public:
    enum class Kind { invalidRootObject };
    explicit Error(Kind kind, const std::string& detail) : std::runtime_error(detail), kind_(kind) {}
    Kind kind() const { return kind_; }

   private:
    Kind kind_;
  };

  static std::string defaultAllowedCharacters();

  URLEncodedFormEncoder() = default;
  explicit URLEncodedFormEncoder(Options options) : options_(std::move(options)) {}

  // The form text as UTF-8 bytes. Throws Error(invalidRootObject) unless `value` is a JSON object (an absent
  // value included).
  foundation::Bytes encode(const std::optional<JSON>& value) const;
  std::string encodeToString(const std::optional<JSON>& value) const;

  const Options& options() const { return options_; }

  // "firstName" -> "first_name", "myURLProperty" -> "my_url_property"; snake-case text is unchanged.
  static std::string convertToSnakeCase(std::string_view key);

 private:
  Options options_;
};

}  // namespace vadar
