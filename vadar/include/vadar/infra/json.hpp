#pragma once
// JSON: the library's JSON value (null, bool, number, string, array, object), for payloads whose shape the
// library does not fix (an API error's "meta", form bodies, telemetry payloads, JWT claims).
//
// Example:
//   vadar::JSON value = vadar::JSON::parse(R"({"a": [1, 2.5, "x"]})");
//   bool number = value["a"][0].isNumber();                    // true
//   bool same = vadar::JSON::parse("1") == vadar::JSON::parse("1.0");  // true; std::hash<JSON> agrees
//
// Equality is structural: numbers compare by numeric value (1 equals 1.0), objects by their members whatever
// the order. Hashing agrees with equality. Parsing rejects invalid UTF-8, numbers that overflow a double and
// nesting deeper than `maxDepth`, each with a `DecodingError` (never another exception type).
#include <cstddef>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace vadar {

class JSON {
 public:
  // Deepest nesting of arrays and objects that parsing accepts; deeper text is rejected before it is built,
  // so no recursive walk over a value can exhaust the stack.
  static constexpr std::size_t maxDepth = 256;

  JSON() = default;  // null
  JSON(std::nullptr_t) {}
  JSON(bool value) : value_(value) {}
  JSON(int value) : value_(static_cast<std::int64_t>(value)) {}
  JSON(std::int64_t value) : value_(value) {}
  JSON(double value);  // a non-finite double becomes null: JSON has no NaN or infinity
  JSON(const char* value) : value_(std::string(value)) {}
  JSON(std::string value) : value_(std::move(value)) {}
  static JSON array(std::vector<JSON> elements = {});
  static JSON object(std::map<std::string, JSON> members = {});
  // Adopts a value built with nlohmann::json. Throws DecodingError when it nests deeper than `maxDepth` or
  // holds a non-finite number.
  static JSON fromNlohmann(nlohmann::json value);

  // Parses JSON text. Throws DecodingError on anything that is not one complete JSON text.
  static JSON parse(std::string_view text);

  bool isNull() const { return value_.is_null(); }
  bool isBool() const { return value_.is_boolean(); }
  bool isNumber() const { return value_.is_number(); }
  bool isString() const { return value_.is_string(); }
  bool isArray() const { return value_.is_array(); }
  bool isObject() const { return value_.is_object(); }

  // Typed reads; each throws DecodingError (type mismatch) when the value has another kind.
  bool boolValue() const;
  double doubleValue() const;
  const std::string& stringValue() const;
  std::vector<JSON> arrayValue() const;
  std::map<std::string, JSON> objectValue() const;

  // Member of an object / element of an array; a null JSON when absent or when this is another kind.
  JSON operator[](std::string_view key) const;
  JSON operator[](std::size_t index) const;
  bool contains(std::string_view key) const;
  std::size_t size() const { return value_.is_structured() ? value_.size() : 0; }

  // Compact JSON text, object members in ascending byte order of their names. Invalid UTF-8 in strings is
  // replaced by U+FFFD.
  std::string dump() const;

  const nlohmann::json& nlohmann() const { return value_; }

  friend bool operator==(const JSON& a, const JSON& b);
  std::size_t hash() const;

 private:
  nlohmann::json value_;
};

// Parses untrusted JSON text into nlohmann::json with the depth cap (nothing deeper is built); any failure is a
// DecodingError.
nlohmann::json parseJSONText(std::string_view text);

}  // namespace vadar

template <>
struct std::hash<vadar::JSON> {
  std::size_t operator()(const vadar::JSON& value) const { return value.hash(); }
};
