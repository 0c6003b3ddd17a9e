#include "vadar/infra/coding.hpp"

#include <cmath>
#include <limits>

namespace vadar {

namespace {

constexpr std::int64_t referenceDateSince1970 = 978'307'200;  // 2001-01-01 00:00:00 UTC

std::string kindName(const nlohmann::json& value) {
  switch (value.type()) {
    case nlohmann::json::value_t::null: return "null";
    case nlohmann::json::value_t::boolean: return "a boolean";
    case nlohmann::json::value_t::number_integer:
    case nlohmann::json::value_t::number_unsigned:
    case nlohmann::json::value_t::number_float: return "a number";
    case nlohmann::json::value_t::string: return "a string";
    case nlohmann::json::value_t::array: return "an array";
    case nlohmann::json::value_t::object: return "a dictionary";
    default: return "an unsupported value";
  }
}

std::string describe(const std::string& path, const std::string& description) {
  return path.empty() ? description : description + " (at \"" + path + "\")";
}

// An integral double inside the int64 range, else none.
std::optional<std::int64_t> integralValue(double value) {
  if (!std::isfinite(value) || std::trunc(value) != value) return std::nullopt;
  if (value < -9223372036854775808.0 || value >= 9223372036854775808.0) return std::nullopt;
  return static_cast<std::int64_t>(value);
}

}  // namespace

Date dateFromMilliseconds(std::int64_t milliseconds) {
  return Date(std::chrono::duration_cast<Date::duration>(std::chrono::milliseconds(milliseconds)));
}

std::int64_t millisecondsSince1970(Date date) {
  return std::chrono::floor<std::chrono::milliseconds>(date.time_since_epoch()).count();
}

Date dateSinceReferenceDate(std::int64_t seconds) {
  return Date(std::chrono::duration_cast<Date::duration>(std::chrono::seconds(referenceDateSince1970 + seconds)));
}

DecodingError::DecodingError(Kind kind, std::string path, std::string description)
    : std::runtime_error(describe(path, description)),
      kind_(kind),
      path_(std::move(path)),
      description_(std::move(description)) {}

Decoder::Decoder(const nlohmann::json& value, std::string path) : value_(&value), root_(std::move(path)) {}

// A copy may outlive the decoder this one came from (a caller keeping it), so it takes the path along.
Decoder::Decoder(const Decoder& other) : value_(other.value_), root_(other.path()) {}

Decoder& Decoder::operator=(const Decoder& other) {
  if (this == &other) return *this;
  std::string path = other.path();
  value_ = other.value_;
  root_ = std::move(path);
  parent_ = nullptr;
  key_ = {};
  index_ = kNoIndex;
  return *this;
}

void Decoder::appendPath(std::string& path) const {
  if (!parent_) {
    path += root_;
    return;
  }
  parent_->appendPath(path);
  if (index_ != kNoIndex) {
    path += '[';
    path += std::to_string(index_);
    path += ']';
    return;
  }
  if (!path.empty()) path += '.';
  path += key_;
}

std::string Decoder::path() const {
  std::string path;
  appendPath(path);
  return path;
}

std::string Decoder::childPath(std::string_view key) const { return child(*value_, key).path(); }

std::string Decoder::childPath(std::size_t index) const { return child(*value_, index).path(); }

Decoder Decoder::child(const nlohmann::json& value, std::string_view key) const {
  return Decoder(value, this, key, kNoIndex);
}

Decoder Decoder::child(const nlohmann::json& value, std::size_t index) const {
  return Decoder(value, this, {}, index);
}

bool Decoder::has(std::string_view key) const {
  if (!value_->is_object()) return false;
  auto it = value_->find(key);
  return it != value_->end() && !it->is_null();
}

const nlohmann::json& Decoder::found(std::string_view key) const {
  expectObject();
  auto it = value_->find(key);
  if (it == value_->end())
    throw DecodingError(DecodingError::Kind::keyNotFound, childPath(key),
                        "No value associated with key \"" + std::string(key) + "\".");
  return *it;
}

// Handed to the caller, who may keep it past this decoder: it holds its own path.
Decoder Decoder::member(std::string_view key) const { return Decoder(found(key), childPath(key)); }

std::vector<std::string> Decoder::keys() const {
  expectObject();
  std::vector<std::string> result;
  for (auto it = value_->begin(); it != value_->end(); ++it) result.push_back(it.key());
  return result;
}

void Decoder::expectObject() const {
  if (!value_->is_object()) typeMismatch("a dictionary");
}

void Decoder::expectArray() const {
  if (!value_->is_array()) typeMismatch("an array");
}

void Decoder::fail(DecodingError::Kind kind, std::string description) const {
  throw DecodingError(kind, path(), std::move(description));
}

void Decoder::typeMismatch(std::string_view expected) const {
  if (value_->is_null())
    fail(DecodingError::Kind::valueNotFound, "Expected " + std::string(expected) + " but found null instead.");
  fail(DecodingError::Kind::typeMismatch,
       "Expected to decode " + std::string(expected) + " but found " + kindName(*value_) + " instead.");
}

void decodeValue(const Decoder& d, std::string& out) {
  if (!d.value().is_string()) d.typeMismatch("a string");
  out = d.value().get_ref<const std::string&>();
}

void decodeValue(const Decoder& d, bool& out) {
  if (!d.value().is_boolean()) d.typeMismatch("a boolean");
  out = d.value().get<bool>();
}

void decodeValue(const Decoder& d, std::int64_t& out) {
  const auto& v = d.value();
  if (v.is_number_integer() && !v.is_number_unsigned()) {
    out = v.get<std::int64_t>();
  } else if (v.is_number_unsigned()) {
    auto u = v.get<std::uint64_t>();
    if (u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
      d.fail(DecodingError::Kind::dataCorrupted, "Parsed JSON number does not fit in a 64-bit integer.");
    out = static_cast<std::int64_t>(u);
  } else if (v.is_number_float()) {
    auto integral = integralValue(v.get<double>());
    if (!integral) d.fail(DecodingError::Kind::dataCorrupted, "Parsed JSON number is not a 64-bit integer.");
    out = *integral;
  } else {
    d.typeMismatch("an integer");
  }
}

void decodeValue(const Decoder& d, int& out) {
  std::int64_t wide = 0;
  decodeValue(d, wide);
  if (wide < std::numeric_limits<int>::min() || wide > std::numeric_limits<int>::max())
    d.fail(DecodingError::Kind::dataCorrupted, "Parsed JSON number does not fit in an integer.");
  out = static_cast<int>(wide);
}

void decodeValue(const Decoder& d, double& out) {
  if (!d.value().is_number()) d.typeMismatch("a number");
  out = d.value().get<double>();
}

void decodeValue(const Decoder& d, Date& out) {
  const auto& v = d.value();
  if (!v.is_number()) d.typeMismatch("a date (milliseconds since 1970)");
  const auto outOfRange = [&d] { d.fail(DecodingError::Kind::dataCorrupted, "Date out of range."); };
  std::int64_t milliseconds = 0;
  if (v.is_number_float()) {
    // Rounded to whole milliseconds first: the encoder writes whole milliseconds, and a fraction kept here
    // would not survive the next encode.
    const double rounded = std::round(v.get<double>());
    if (!(rounded >= static_cast<double>(minDateMilliseconds) && rounded <= static_cast<double>(maxDateMilliseconds)))
      outOfRange();
    milliseconds = static_cast<std::int64_t>(rounded);
  } else if (v.is_number_unsigned()) {
    const auto u = v.get<std::uint64_t>();
    if (u > static_cast<std::uint64_t>(maxDateMilliseconds)) outOfRange();
    milliseconds = static_cast<std::int64_t>(u);
  } else {
    milliseconds = v.get<std::int64_t>();
    if (milliseconds > maxDateMilliseconds || milliseconds < minDateMilliseconds) outOfRange();
  }
  out = dateFromMilliseconds(milliseconds);
}

void decodeValue(const Decoder& d, JSON& out) {
  try {
    out = JSON::fromNlohmann(d.value());
  } catch (const DecodingError& e) {
    d.fail(e.kind(), e.description());
  }
}

nlohmann::json encodeValue(const std::string& value) { return value; }
nlohmann::json encodeValue(const char* value) { return std::string(value); }
nlohmann::json encodeValue(bool value) { return value; }
nlohmann::json encodeValue(std::int64_t value) { return value; }
nlohmann::json encodeValue(int value) { return static_cast<std::int64_t>(value); }
nlohmann::json encodeValue(double value) {
  return std::isfinite(value) ? nlohmann::json(value) : nlohmann::json(nullptr);
}
nlohmann::json encodeValue(Date value) { return millisecondsSince1970(value); }
nlohmann::json encodeValue(const JSON& value) { return value.nlohmann(); }

}  // namespace vadar
