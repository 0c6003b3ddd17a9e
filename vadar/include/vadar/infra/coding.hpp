#pragma once
// The library's one set of JSON coding rules, used for every record it sends, receives or caches.
//
// Each record `R` provides two free functions next to it (found by argument-dependent lookup):
//
//   void decodeValue(const Decoder& decoder, R& out);   // throws DecodingError
//   nlohmann::json encodeValue(const R& value);
//
// written field by field with the walker below, member names in their snake-case wire form.
// Example:
//   struct EmailFactor {
//     std::string strategy;
//     std::optional<std::string> emailAddressId;
//     friend void decodeValue(const vadar::Decoder& d, EmailFactor& out) {
//       d.required("strategy", out.strategy);               // missing or null: fails
//       d.optional("email_address_id", out.emailAddressId); // missing or null: absent
//     }
//     friend nlohmann::json encodeValue(const EmailFactor& f) {
//       vadar::Encoder e;
//       e.required("strategy", f.strategy);
//       e.optional("email_address_id", f.emailAddressId);   // absent: no key, never a null
//       return std::move(e).json();
//     }
//   };
//   auto factor = vadar::decodeJSON<EmailFactor>(R"({"strategy": "email_code"})");
//   std::string text = vadar::encodeJSON(factor);         // {"strategy":"email_code"}
//
// The rules: record members travel under snake-case names; member names of text-keyed maps stay as sent;
// dates are numbers of milliseconds since 1970-01-01 00:00:00 UTC; a required member that is missing or
// null fails the record; an optional one that is missing or null is absent and is not written; a value of the
// wrong JSON type fails; members a record does not know are ignored. Every failure is a `DecodingError`
// naming the path of the offending value ("sessions[0].user.id").
//
// Whole documents: `decodeJSON<Client>(text)`, `fromJSON<Client>(json)`, `encodeJSON(client)`, `toJSON(client)`.
#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "foundation/clock.hpp"
#include "vadar/infra/json.hpp"

namespace vadar {

using Date = foundation::Date;

// Dates the coders accept: the whole milliseconds a `Date` holds, +/- 9223372036854 ms around 1970 (years
// 1677 to 2262) for a clock counting nanoseconds in 64 bits. Outside it decoding fails with dataCorrupted, so
// every date that decodes encodes back to the number it came from.
inline constexpr std::int64_t maxDateMilliseconds =
    std::chrono::duration_cast<std::chrono::milliseconds>(Date::duration::max()).count();
inline constexpr std::int64_t minDateMilliseconds =
    std::chrono::duration_cast<std::chrono::milliseconds>(Date::duration::min()).count();

// REQUIRES: minDateMilliseconds <= millisecondsSince1970 <= maxDateMilliseconds.
Date dateFromMilliseconds(std::int64_t millisecondsSince1970);
std::int64_t millisecondsSince1970(Date date);
// A date given as seconds after the reference date 2001-01-01 00:00:00 UTC, as sample values are written.
Date dateSinceReferenceDate(std::int64_t seconds);

class DecodingError : public std::runtime_error {
 public:
  enum class Kind { keyNotFound, valueNotFound, typeMismatch, dataCorrupted };

  DecodingError(Kind kind, std::string path, std::string description);

  Kind kind() const { return kind_; }
  // Where the failure is, e.g. "sessions[0].user.id"; empty for the top level.
  const std::string& path() const { return path_; }
  const std::string& description() const { return description_; }

 private:
  Kind kind_;
  std::string path_;
  std::string description_;
};

// A read position in a JSON document: the value there and its path. It refers to the document, which must
// outlive it. A decoder made by `child` also refers to the decoder it came from, which must outlive it too: its
// path is spelled out only when asked for (a failure), not for every value read. A decoder made by `member`, and
// any copy, holds its path itself, so one kept after the decoder it came from is gone stays sound.
class Decoder {
 public:
  explicit Decoder(const nlohmann::json& value, std::string path = {});
  Decoder(const Decoder& other);
  Decoder& operator=(const Decoder& other);

  const nlohmann::json& value() const { return *value_; }
  std::string path() const;
  bool isNull() const { return value_->is_null(); }

  // True when this is an object holding `key` with a value other than null.
  bool has(std::string_view key) const;
  // The member `key`; keyNotFound when absent, typeMismatch when this is not an object.
  Decoder member(std::string_view key) const;
  // Member names of this object; typeMismatch when this is not an object.
  std::vector<std::string> keys() const;

  template <class T>
  T decode() const;
  // Reads a required member: missing fails with keyNotFound; null fails unless T is itself optional.
  template <class T>
  void required(std::string_view key, T& out) const;
  // Reads an optional member: missing or null leave `out` absent.
  template <class T>
  void optional(std::string_view key, std::optional<T>& out) const;

  void expectObject() const;
  void expectArray() const;
  [[noreturn]] void fail(DecodingError::Kind kind, std::string description) const;
  [[noreturn]] void typeMismatch(std::string_view expected) const;

  std::string childPath(std::string_view key) const;
  std::string childPath(std::size_t index) const;

  // The decoder of `value`, found in this one under `key` (which must outlive the decoder) or at `index`.
  Decoder child(const nlohmann::json& value, std::string_view key) const;
  Decoder child(const nlohmann::json& value, std::size_t index) const;

 private:
  static constexpr std::size_t kNoIndex = static_cast<std::size_t>(-1);

  Decoder(const nlohmann::json& value, const Decoder* parent, std::string_view key, std::size_t index)
      : value_(&value), parent_(parent), key_(key), index_(index) {}
  void appendPath(std::string& path) const;
  // The member `key` (keyNotFound when absent, typeMismatch when this is not an object).
  const nlohmann::json& found(std::string_view key) const;

  const nlohmann::json* value_;
  // The top decoder's path is its own; the others' is their parent's with their key or index added.
  std::string root_;
  const Decoder* parent_ = nullptr;
  std::string_view key_;
  std::size_t index_ = kNoIndex;
};

// Builds one JSON object, member by member.
class Encoder {
 public:
  Encoder() : json_(nlohmann::json::object()) {}

  template <class T>
  void required(std::string_view key, const T& value);
  // Writes nothing when `value` is absent.
  template <class T>
  void optional(std::string_view key, const std::optional<T>& value);
  // Adds a member as is (used by records that keep members they do not know).
  void raw(std::string_view key, nlohmann::json value) { json_[std::string(key)] = std::move(value); }

  nlohmann::json json() && { return std::move(json_); }
  const nlohmann::json& json() const& { return json_; }

 private:
  nlohmann::json json_;
};

// Text-valued enumerations. Specialise `TextEnum<E>` with a `cases` table of {case, raw text} (in declaration
// order) and an `unknown` case: decoding maps any text outside the table to `unknown`, a non-text value fails;
// `fromRaw` is exact and gives none for a text outside the table.
template <class E>
struct TextEnum;

template <class E>
concept TextEnumeration = requires {
  TextEnum<E>::cases;
  TextEnum<E>::unknown;
};

template <TextEnumeration E>
constexpr std::string_view rawValue(E value) {
  for (const auto& [c, text] : TextEnum<E>::cases)
    if (c == value) return text;
  return {};
}

template <TextEnumeration E>
constexpr std::optional<E> fromRaw(std::string_view text) {
  for (const auto& [c, raw] : TextEnum<E>::cases)
    if (raw == text) return c;
  return std::nullopt;
}

// Primitive coders. Integers accept a JSON integer or a float with an integral value in range.
void decodeValue(const Decoder& d, std::string& out);
void decodeValue(const Decoder& d, bool& out);
void decodeValue(const Decoder& d, std::int64_t& out);
void decodeValue(const Decoder& d, int& out);
void decodeValue(const Decoder& d, double& out);
void decodeValue(const Decoder& d, Date& out);
void decodeValue(const Decoder& d, JSON& out);  // any value, null included
template <class T>
void decodeValue(const Decoder& d, std::optional<T>& out);
template <class T>
void decodeValue(const Decoder& d, std::vector<T>& out);
template <class T>
void decodeValue(const Decoder& d, std::map<std::string, T>& out);
template <TextEnumeration E>
void decodeValue(const Decoder& d, E& out);

nlohmann::json encodeValue(const std::string& value);
nlohmann::json encodeValue(const char* value);
nlohmann::json encodeValue(bool value);
nlohmann::json encodeValue(std::int64_t value);
nlohmann::json encodeValue(int value);
nlohmann::json encodeValue(double value);
nlohmann::json encodeValue(Date value);
nlohmann::json encodeValue(const JSON& value);
template <class T>
nlohmann::json encodeValue(const std::optional<T>& value);
template <class T>
nlohmann::json encodeValue(const std::vector<T>& value);
template <class T>
nlohmann::json encodeValue(const std::map<std::string, T>& value);
template <TextEnumeration E>
nlohmann::json encodeValue(E value);

// ---- implementation of the templates ----

template <class T>
T Decoder::decode() const {
  T out{};
  decodeValue(*this, out);
  return out;
}

template <class T>
void Decoder::required(std::string_view key, T& out) const {
  decodeValue(child(found(key), key), out);
}

template <class T>
void Decoder::optional(std::string_view key, std::optional<T>& out) const {
  expectObject();
  auto it = value_->find(key);
  if (it == value_->end() || it->is_null()) {
    out.reset();
    return;
  }
  T value{};
  decodeValue(child(*it, key), value);
  out = std::move(value);
}

template <class T>
void Encoder::required(std::string_view key, const T& value) {
  json_[std::string(key)] = encodeValue(value);
}

template <class T>
void Encoder::optional(std::string_view key, const std::optional<T>& value) {
  if (value) json_[std::string(key)] = encodeValue(*value);
}

template <class T>
void decodeValue(const Decoder& d, std::optional<T>& out) {
  if (d.isNull()) {
    out.reset();
    return;
  }
  T value{};
  decodeValue(d, value);
  out = std::move(value);
}

template <class T>
void decodeValue(const Decoder& d, std::vector<T>& out) {
  d.expectArray();
  out.clear();
  out.reserve(d.value().size());
  for (std::size_t i = 0; i < d.value().size(); ++i) {
    T element{};
    decodeValue(d.child(d.value()[i], i), element);
    out.push_back(std::move(element));
  }
}

template <class T>
void decodeValue(const Decoder& d, std::map<std::string, T>& out) {
  d.expectObject();
  out.clear();
  for (auto it = d.value().begin(); it != d.value().end(); ++it) {
    T element{};
    decodeValue(d.child(it.value(), it.key()), element);
    out.emplace(it.key(), std::move(element));
  }
}

template <TextEnumeration E>
void decodeValue(const Decoder& d, E& out) {
  std::string text;
  decodeValue(d, text);
  out = fromRaw<E>(text).value_or(TextEnum<E>::unknown);
}

template <class T>
nlohmann::json encodeValue(const std::optional<T>& value) {
  return value ? encodeValue(*value) : nlohmann::json(nullptr);
}

template <class T>
nlohmann::json encodeValue(const std::vector<T>& value) {
  nlohmann::json array = nlohmann::json::array();
  for (const auto& element : value) array.push_back(encodeValue(element));
  return array;
}

template <class T>
nlohmann::json encodeValue(const std::map<std::string, T>& value) {
  nlohmann::json object = nlohmann::json::object();
  for (const auto& [key, element] : value) object[key] = encodeValue(element);
  return object;
}

template <TextEnumeration E>
nlohmann::json encodeValue(E value) {
  return std::string(rawValue(value));
}

// Whole documents.
template <class T>
T fromJSON(const nlohmann::json& json) {
  return Decoder(json).decode<T>();
}

// Parses untrusted text (depth-capped, see JSON::maxDepth) and decodes it; every failure is a DecodingError.
template <class T>
T decodeJSON(std::string_view text) {
  const nlohmann::json json = parseJSONText(text);
  return fromJSON<T>(json);
}

template <class T>
nlohmann::json toJSON(const T& value) {
  return encodeValue(value);
}

// Compact JSON text of `value`.
template <class T>
std::string encodeJSON(const T& value) {
  return encodeValue(value).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

// Mixes `value` into `seed` (for the records' hashes).
inline void hashCombine(std::size_t& seed, std::size_t value) {
  seed ^= value + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2);
}

}  // namespace vadar
