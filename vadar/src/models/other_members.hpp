#pragma once
// Keeping the members of an object that a record does not name, so a round trip loses nothing.
#include <initializer_list>
#include <map>
#include <string>
#include <string_view>

#include "vadar/infra/coding.hpp"
#include "vadar/infra/json.hpp"

namespace vadar::detail {

inline std::map<std::string, JSON> otherMembers(const Decoder& d, std::initializer_list<std::string_view> known) {
  std::map<std::string, JSON> others;
  for (auto it = d.value().begin(); it != d.value().end(); ++it) {
    bool isKnown = false;
    for (auto name : known) isKnown = isKnown || name == it.key();
    if (isKnown) continue;
    JSON value;
    decodeValue(d.child(it.value(), it.key()), value);
    others.emplace(it.key(), std::move(value));
  }
  return others;
}

// Known members win over a kept member of the same name (none can arise from decoding).
inline void writeOtherMembers(Encoder& e, const std::map<std::string, JSON>& others) {
  for (const auto& [key, value] : others)
    if (!e.json().contains(key)) e.raw(key, value.nlohmann());
}

}  // namespace vadar::detail
