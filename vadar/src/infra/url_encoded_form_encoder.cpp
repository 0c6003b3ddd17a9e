#include "vadar/infra/url_encoded_form_encoder.hpp"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <utility>
#include <vector>

namespace vadar {

namespace {

using Pair = std::pair<std::string, std::string>;

class Serializer {
 public:
  explicit Serializer(const URLEncodedFormEncoder::Options& options) : options_(options) {
    for (unsigned char c : options.allowedCharacters) allowed_[c] = true;
  }

  std::string serialize(const nlohmann::json& root) {
    std::vector<Pair> pairs;
    for (auto it = root.begin(); it != root.end(); ++it) collect(encodeKey(it.key()), it.value(), pairs);
    if (options_.alphabetizeKeyValuePairs)
      std::stable_sort(pairs.begin(), pairs.end(), [](const Pair& a, const Pair& b) { return a.first < b.first; });
    std::string text;
    for (const auto& [key, value] : pairs) {
      if (!text.empty()) text += '&';
      text += escape(key);
      text += '=';
      text += escape(value);
    }
    return text;
  }

 private:
  std::string encodeKey(const std::string& key) const {
    return options_.keyEncoding == URLEncodedFormEncoder::KeyEncoding::convertToSnakeCase
               ? URLEncodedFormEncoder::convertToSnakeCase(key)
               : key;
  }

  std::string childKey(const std::string& parent, const std::string& child) const {
    return options_.keyPathEncoding == URLEncodedFormEncoder::KeyPathEncoding::brackets
               ? parent + "[" + child + "]"
               : parent + "." + child;
  }

  // Iterative over arrays and objects, so a deeply nested value cannot exhaust the stack.
  void collect(const std::string& rootKey, const nlohmann::json& rootValue, std::vector<Pair>& pairs) const {
    std::vector<std::pair<std::string, const nlohmann::json*>> stack{{rootKey, &rootValue}};
    std::vector<Pair> local;
    while (!stack.empty()) {
      auto [key, value] = stack.back();
      stack.pop_back();
      if (value->is_object()) {
        // Pushed in reverse so members come out in order.
        std::vector<std::pair<std::string, const nlohmann::json*>> children;
        for (auto it = value->begin(); it != value->end(); ++it)
          children.emplace_back(childKey(key, encodeKey(it.key())), &it.value());
        for (auto it = children.rbegin(); it != children.rend(); ++it) stack.push_back(*it);
      } else if (value->is_array()) {
        const std::string elementKey =
            options_.arrayEncoding == URLEncodedFormEncoder::ArrayEncoding::brackets ? key + "[]" : key;
        for (auto it = value->rbegin(); it != value->rend(); ++it) stack.emplace_back(elementKey, &*it);
      } else if (value->is_null()) {
        switch (options_.nilEncoding) {
          case URLEncodedFormEncoder::NilEncoding::dropKey:
            break;
          case URLEncodedFormEncoder::NilEncoding::dropValue:
            local.emplace_back(key, "");
            break;
          case URLEncodedFormEncoder::NilEncoding::null:
            local.emplace_back(key, "null");
            break;
        }
      } else {
        local.emplace_back(key, scalar(*value));
      }
    }
    pairs.insert(pairs.end(), local.begin(), local.end());
  }

  std::string scalar(const nlohmann::json& value) const {
    if (value.is_boolean()) {
      bool b = value.get<bool>();
      if (options_.boolEncoding == URLEncodedFormEncoder::BoolEncoding::numeric) return b ? "1" : "0";
      return b ? "true" : "false";
    }
    if (value.is_string()) return value.get_ref<const std::string&>();
    if (value.is_number_float()) {
      std::array<char, 64> buffer{};
      auto [end, ec] = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value.get<double>());
      return ec == std::errc() ? std::string(buffer.data(), end) : value.dump();
    }
    return value.dump();  // integers
  }

  std::string escape(const std::string& text) const {
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (unsigned char c : text) {
      if (c == ' ' && options_.spaceEncoding == URLEncodedFormEncoder::SpaceEncoding::plusReplaced) {
        out += '+';
      } else if (allowed_[c]) {
        out += static_cast<char>(c);
      } else {
        out += '%';
        out += hex[c >> 4];
        out += hex[c & 0xF];
      }
    }
    return out;
  }

  const URLEncodedFormEncoder::Options& options_;
  std::array<bool, 256> allowed_{};
};

}  // namespace

std::string URLEncodedFormEncoder::defaultAllowedCharacters() {
  std::string allowed = "-._~/?";
  for (char c = 'A'; c <= 'Z'; ++c) allowed += c;
  for (char c = 'a'; c <= 'z'; ++c) allowed += c;
  for (char c = '0'; c <= '9'; ++c) allowed += c;
  return allowed;
}

std::string URLEncodedFormEncoder::convertToSnakeCase(std::string_view key) {
  if (key.empty()) return {};
  auto isUpper = [](char c) { return c >= 'A' && c <= 'Z'; };
  auto isLower = [](char c) { return c >= 'a' && c <= 'z'; };
  std::vector<std::pair<std::size_t, std::size_t>> words;  // [begin, end)
  std::size_t wordStart = 0;
  std::size_t searchStart = 1;
  const std::size_t end = key.size();
  while (true) {
    std::size_t upper = searchStart;
    while (upper < end && !isUpper(key[upper])) ++upper;
    if (upper >= end) break;
    words.emplace_back(wordStart, upper);
    std::size_t lower = upper;
    while (lower < end && !isLower(key[lower])) ++lower;
    if (lower >= end) {
      wordStart = upper;
      searchStart = end;
      break;
    }
    if (lower == upper + 1) {
      wordStart = upper;
    } else {
      words.emplace_back(upper, lower - 1);
      wordStart = lower - 1;
    }
    searchStart = lower + 1;
  }
  words.emplace_back(wordStart, end);
  std::string result;
  for (const auto& [b, e] : words) {
    if (b >= e) continue;
    if (!result.empty()) result += '_';
    for (std::size_t i = b; i < e; ++i)
      result += static_cast<char>(std::tolower(static_cast<unsigned char>(key[i])));
  }
  return result;
}

std::string URLEncodedFormEncoder::encodeToString(const std::optional<JSON>& value) const {
  if (!value || !value->isObject())
    throw Error(Error::Kind::invalidRootObject,
                "The root of a form body must be an object, not " +
                    std::string(value ? value->nlohmann().type_name() : "an absent value") + ".");
  return Serializer(options_).serialize(value->nlohmann());
}

foundation::Bytes URLEncodedFormEncoder::encode(const std::optional<JSON>& value) const {
  return foundation::toBytes(encodeToString(value));
}

}  // namespace vadar
