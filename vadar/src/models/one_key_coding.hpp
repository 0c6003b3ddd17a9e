#pragma once
// The one-key object coding of enumerations whose cases may carry payloads: {"<case key>": {...}}.
#include <string>
#include <string_view>

#include "vadar/infra/coding.hpp"

namespace vadar::detail {

inline constexpr std::string_view invalidKeyCountText = "Invalid number of keys found, expected one.";

// Of the object's members, the one whose name `isCaseKey` accepts; typeMismatch with the fixed text unless
// exactly one is. The member's value must be an object (the decoder's own error otherwise).
template <class IsCaseKey>
std::string singleCaseKey(const Decoder& d, IsCaseKey isCaseKey) {
  d.expectObject();
  std::string found;
  int count = 0;
  for (auto it = d.value().begin(); it != d.value().end(); ++it) {
    if (isCaseKey(it.key())) {
      ++count;
      found = it.key();
    }
  }
  if (count != 1) d.fail(DecodingError::Kind::typeMismatch, std::string(invalidKeyCountText));
  d.member(found).expectObject();
  return found;
}

}  // namespace vadar::detail
