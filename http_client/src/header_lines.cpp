#include "header_lines.hpp"

#include <array>

#include <string>

namespace httpkit {

namespace {
std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n')) {
    s.remove_suffix(1);
  }
  return s;
}
}  // namespace

namespace {
// RFC 9110's tchar, one entry per byte: every header line of every answer is checked against it.
constexpr std::array<bool, 256> kTokenBytes = [] {
  std::array<bool, 256> table{};
  for (int c = '0'; c <= '9'; ++c) table[static_cast<std::size_t>(c)] = true;
  for (int c = 'a'; c <= 'z'; ++c) table[static_cast<std::size_t>(c)] = true;
  for (int c = 'A'; c <= 'Z'; ++c) table[static_cast<std::size_t>(c)] = true;
  for (char c : std::string_view("!#$%&'*+-.^_`|~")) table[static_cast<unsigned char>(c)] = true;
  return table;
}();
}  // namespace

bool isHeaderToken(std::string_view text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (!kTokenBytes[static_cast<unsigned char>(c)]) return false;
  }
  return true;
}

bool isSafeHeaderValue(std::string_view text) {
  for (char c : text) {
    if (c == '\r' || c == '\n' || c == '\0') return false;
  }
  return true;
}

void HeaderAccumulator::feed(std::string_view line) {
  folded_.reset();
  if (line.substr(0, 5) == "HTTP/") {
    fields_.clear();
    continuable_ = false;
    return;
  }
  if (!line.empty() && (line.front() == ' ' || line.front() == '\t')) {
    const std::string_view more = trim(line);
    if (!continuable_ || more.empty() || !isSafeHeaderValue(more)) return;
    std::string& value = fields_.back().second;
    value += ' ';
    value += more;
    return;
  }
  continuable_ = false;
  const auto colon = line.find(':');
  if (colon == std::string_view::npos) return;
  const std::string_view name = line.substr(0, colon);
  if (!isHeaderToken(name)) return;
  const std::string_view value = trim(line.substr(colon + 1));
  // A bare CR inside a value could split the field when it is sent back; HTTP does not allow it anyway.
  if (!isSafeHeaderValue(value)) return;
  // Room for a usual head at once, rather than growing field by field.
  constexpr std::size_t kUsualFields = 8;
  if (fields_.empty()) fields_.reserve(kUsualFields);
  fields_.emplace_back(std::string(name), std::string(value));
  continuable_ = true;
}

std::vector<std::string_view> HeaderAccumulator::values(std::string_view name) const {
  std::vector<std::string_view> found;
  for (const auto& [field, value] : fields_) {
    if (headerNamesEqual(field, name)) found.emplace_back(value);
  }
  return found;
}

const HTTPHeaders& HeaderAccumulator::headers() const {
  if (folded_) return *folded_;
  // A usual head has a handful of fields: each is folded in by a look along the few before it, with no
  // index of names to build. A long head takes the indexed way, which stays linear in its length.
  constexpr std::size_t kFieldsFoldedByLooking = 16;
  if (fields_.size() > kFieldsFoldedByLooking) return folded_.emplace(fields_);
  HTTPHeaders& folded = folded_.emplace();
  for (const auto& [name, value] : fields_) folded.append(name, value);
  return folded;
}

HTTPHeaders HeaderAccumulator::takeHeaders() {
  headers();
  HTTPHeaders taken = std::move(*folded_);
  folded_.reset();
  return taken;
}

}  // namespace httpkit
