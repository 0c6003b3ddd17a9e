#include "vadar/infra/json.hpp"

#include <cmath>
#include <utility>
#include <vector>

#include "vadar/infra/coding.hpp"

namespace vadar {

namespace {

[[noreturn]] void throwCorrupted(std::string description) {
  throw DecodingError(DecodingError::Kind::dataCorrupted, "", std::move(description));
}

// Walks a value without recursion: rejects nesting deeper than maxDepth and non-finite numbers.
void checkValue(const nlohmann::json& root) {
  std::vector<std::pair<const nlohmann::json*, std::size_t>> stack{{&root, 0}};
  while (!stack.empty()) {
    auto [value, depth] = stack.back();
    stack.pop_back();
    if (value->is_number_float() && !std::isfinite(value->get<double>()))
      throwCorrupted("The JSON value holds a number that is not finite.");
    if (!value->is_structured()) continue;
    if (depth + 1 > JSON::maxDepth) throwCorrupted("The JSON value nests too deeply.");
    for (const auto& child : *value) stack.emplace_back(&child, depth + 1);
  }
}

[[noreturn]] void typeMismatch(std::string_view expected) {
  throw DecodingError(DecodingError::Kind::typeMismatch, "",
                      "Expected to decode " + std::string(expected) + " but found another value instead.");
}


// nlohmann::json's own value builder, refusing to open an array or object past `maxDepth`: the text is
// parsed once, and nothing deeper than the cap is ever built (an answer is too large to be scanned twice).
class DepthCappedBuilder : public nlohmann::detail::json_sax_dom_parser<nlohmann::json> {
 public:
  using Base = nlohmann::detail::json_sax_dom_parser<nlohmann::json>;
  DepthCappedBuilder(nlohmann::json& result, std::size_t maxDepth) : Base(result, true), maxDepth_(maxDepth) {}

  bool start_object(std::size_t size) { return opened() && Base::start_object(size); }
  bool start_array(std::size_t size) { return opened() && Base::start_array(size); }
  bool end_object() {
    --depth_;
    return Base::end_object();
  }
  bool end_array() {
    --depth_;
    return Base::end_array();
  }

  bool tooDeep() const { return depth_ > maxDepth_; }

 private:
  bool opened() { return ++depth_ <= maxDepth_; }

  std::size_t maxDepth_;
  std::size_t depth_ = 0;
};

}  // namespace

nlohmann::json parseJSONText(std::string_view text) {
  nlohmann::json result;
  DepthCappedBuilder builder(result, JSON::maxDepth);
  bool parsed = false;
  try {
    parsed = nlohmann::json::sax_parse(text.begin(), text.end(), &builder, nlohmann::json::input_format_t::json,
                                       /*strict=*/true, /*ignore_comments=*/false);
  } catch (const nlohmann::json::exception& e) {
    throwCorrupted(std::string("The given data was not valid JSON. ") + e.what());
  }
  if (builder.tooDeep()) throwCorrupted("The given data nests deeper than " + std::to_string(JSON::maxDepth) + " levels.");
  // Every other refusal throws above; this is only a guard for a builder that stopped without saying why.
  if (!parsed) throwCorrupted("The given data was not valid JSON.");
  return result;
}

JSON::JSON(double value) {
  if (std::isfinite(value)) value_ = value;
}

JSON JSON::array(std::vector<JSON> elements) {
  JSON result;
  result.value_ = nlohmann::json::array();
  for (auto& element : elements) result.value_.push_back(std::move(element.value_));
  return result;
}

JSON JSON::object(std::map<std::string, JSON> members) {
  JSON result;
  result.value_ = nlohmann::json::object();
  for (auto& [key, member] : members) result.value_[key] = std::move(member.value_);
  return result;
}

JSON JSON::fromNlohmann(nlohmann::json value) {
  checkValue(value);
  JSON result;
  result.value_ = std::move(value);
  return result;
}

JSON JSON::parse(std::string_view text) {
  JSON result;
  result.value_ = parseJSONText(text);
  return result;
}

bool JSON::boolValue() const {
  if (!value_.is_boolean()) typeMismatch("Bool");
  return value_.get<bool>();
}

double JSON::doubleValue() const {
  if (!value_.is_number()) typeMismatch("Double");
  return value_.get<double>();
}

const std::string& JSON::stringValue() const {
  if (!value_.is_string()) typeMismatch("String");
  return value_.get_ref<const std::string&>();
}

std::vector<JSON> JSON::arrayValue() const {
  if (!value_.is_array()) typeMismatch("Array");
  std::vector<JSON> result;
  result.reserve(value_.size());
  for (const auto& element : value_) {
    JSON item;
    item.value_ = element;
    result.push_back(std::move(item));
  }
  return result;
}

std::map<std::string, JSON> JSON::objectValue() const {
  if (!value_.is_object()) typeMismatch("Dictionary");
  std::map<std::string, JSON> result;
  for (auto it = value_.begin(); it != value_.end(); ++it) {
    JSON item;
    item.value_ = it.value();
    result.emplace(it.key(), std::move(item));
  }
  return result;
}

JSON JSON::operator[](std::string_view key) const {
  JSON result;
  if (value_.is_object()) {
    auto it = value_.find(std::string(key));
    if (it != value_.end()) result.value_ = *it;
  }
  return result;
}

JSON JSON::operator[](std::size_t index) const {
  JSON result;
  if (value_.is_array() && index < value_.size()) result.value_ = value_[index];
  return result;
}

bool JSON::contains(std::string_view key) const {
  return value_.is_object() && value_.find(std::string(key)) != value_.end();
}

std::string JSON::dump() const { return value_.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace); }

bool operator==(const JSON& a, const JSON& b) { return a.value_ == b.value_; }

std::size_t JSON::hash() const {
  // Equal numbers must hash alike whatever their stored kind (1, 1u and 1.0 compare equal), so every number
  // is hashed by its double value; -0.0 equals 0.0 and is folded onto it.
  std::size_t seed = 0;
  std::vector<const nlohmann::json*> stack{&value_};
  while (!stack.empty()) {
    const nlohmann::json* value = stack.back();
    stack.pop_back();
    hashCombine(seed, static_cast<std::size_t>(value->is_number() ? 0xA1 : static_cast<int>(value->type())));
    switch (value->type()) {
      case nlohmann::json::value_t::null:
      case nlohmann::json::value_t::discarded:
        break;
      case nlohmann::json::value_t::boolean:
        hashCombine(seed, std::hash<bool>{}(value->get<bool>()));
        break;
      case nlohmann::json::value_t::number_integer:
      case nlohmann::json::value_t::number_unsigned:
      case nlohmann::json::value_t::number_float: {
        double d = value->get<double>();
        if (d == 0.0) d = 0.0;
        hashCombine(seed, std::hash<double>{}(d));
        break;
      }
      case nlohmann::json::value_t::string:
        hashCombine(seed, std::hash<std::string>{}(value->get_ref<const std::string&>()));
        break;
      case nlohmann::json::value_t::binary:
        break;
      case nlohmann::json::value_t::array:
        hashCombine(seed, value->size());
        for (auto it = value->rbegin(); it != value->rend(); ++it) stack.push_back(&*it);
        break;
      case nlohmann::json::value_t::object:
        hashCombine(seed, value->size());
        for (auto it = value->begin(); it != value->end(); ++it) {
          hashCombine(seed, std::hash<std::string>{}(it.key()));
          stack.push_back(&it.value());
        }
        break;
    }
  }
  return seed;
}

}  // namespace vadar
