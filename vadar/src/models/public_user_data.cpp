#include "vadar/models/public_user_data.hpp"

namespace vadar {

std::size_t PublicUserData::hash() const {
  std::size_t seed = 0;
  auto text = [&seed](const std::optional<std::string>& value) {
    hashCombine(seed, value ? 1 : 0);
    if (value) hashCombine(seed, std::hash<std::string>{}(*value));
  };
  text(firstName);
  text(lastName);
  hashCombine(seed, std::hash<std::string>{}(imageUrl));
  hashCombine(seed, hasImage ? 1 : 0);
  hashCombine(seed, std::hash<std::string>{}(identifier));
  text(userId);
  return seed;
}

void decodeValue(const Decoder& d, PublicUserData& out) {
  d.expectObject();
  d.optional("first_name", out.firstName);
  d.optional("last_name", out.lastName);
  d.required("image_url", out.imageUrl);
  d.required("has_image", out.hasImage);
  d.required("identifier", out.identifier);
  d.optional("user_id", out.userId);
}

nlohmann::json encodeValue(const PublicUserData& value) {
  Encoder e;
  e.optional("first_name", value.firstName);
  e.optional("last_name", value.lastName);
  e.required("image_url", value.imageUrl);
  e.required("has_image", value.hasImage);
  e.required("identifier", value.identifier);
  e.optional("user_id", value.userId);
  return std::move(e).json();
}

}  // namespace vadar
