#pragma once
// PublicUserData: the public view of a user that sessions and organization memberships carry.
#include <cstddef>
#include <optional>
#include <string>

#include "vadar/infra/coding.hpp"

namespace vadar {

struct PublicUserData {
  std::optional<std::string> firstName;
  std::optional<std::string> lastName;
  std::string imageUrl;
  bool hasImage = false;
  std::string identifier;
  std::optional<std::string> userId;

  friend bool operator==(const PublicUserData&, const PublicUserData&) = default;
  std::size_t hash() const;
};

void decodeValue(const Decoder& d, PublicUserData& out);
nlohmann::json encodeValue(const PublicUserData& value);

}  // namespace vadar

template <>
struct std::hash<vadar::PublicUserData> {
  std::size_t operator()(const vadar::PublicUserData& value) const { return value.hash(); }
};
