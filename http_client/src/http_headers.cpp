#include "httpkit/http_headers.hpp"

#include <algorithm>
#include <string>
#include <unordered_map>

namespace httpkit {

namespace {
char lowerASCII(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }
}  // namespace

bool headerNamesEqual(std::string_view a, std::string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return lowerASCII(x) == lowerASCII(y); });
}

HTTPHeaders::HTTPHeaders(std::initializer_list<Field> fields) {
  for (const auto& [name, value] : fields) set(name, value);
}

HTTPHeaders::HTTPHeaders(std::vector<Field> fields) {
  // Each name's first position, by the name in lower case.
  std::unordered_map<std::string, std::size_t> positions;
  positions.reserve(fields.size());
  fields_.reserve(fields.size());
  for (auto& [name, value] : fields) {
    std::string key = name;
    std::transform(key.begin(), key.end(), key.begin(), lowerASCII);
    const auto [at, added] = positions.try_emplace(std::move(key), fields_.size());
    if (added) {
      fields_.emplace_back(std::move(name), std::move(value));
    } else {
      std::string& folded = fields_[at->second].second;
      folded += ", ";
      folded += value;
    }
  }
}

std::vector<HTTPHeaders::Field>::iterator HTTPHeaders::find(std::string_view name) {
  return std::find_if(fields_.begin(), fields_.end(), [&](const Field& f) { return headerNamesEqual(f.first, name); });
}

std::vector<HTTPHeaders::Field>::const_iterator HTTPHeaders::find(std::string_view name) const {
  return std::find_if(fields_.begin(), fields_.end(), [&](const Field& f) { return headerNamesEqual(f.first, name); });
}

std::optional<std::string> HTTPHeaders::value(std::string_view name) const {
  auto it = find(name);
  if (it == fields_.end()) return std::nullopt;
  return it->second;
}

void HTTPHeaders::set(std::string name, std::string value) {
  auto it = find(name);
  if (it == fields_.end()) {
    fields_.emplace_back(std::move(name), std::move(value));
  } else {
    it->second = std::move(value);
  }
}

void HTTPHeaders::append(std::string name, std::string value) {
  auto it = find(name);
  if (it == fields_.end()) {
    fields_.emplace_back(std::move(name), std::move(value));
  } else {
    it->second += ", ";
    it->second += value;
  }
}

bool HTTPHeaders::remove(std::string_view name) {
  auto it = find(name);
  if (it == fields_.end()) return false;
  fields_.erase(it);
  return true;
}

}  // namespace httpkit
