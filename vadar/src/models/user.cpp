#include "vadar/user.hpp"

#include "other_members.hpp"

namespace vadar {

void decodeValue(const Decoder& d, EmailAddress& out) {
  d.expectObject();
  d.required("id", out.id);
  d.required("email_address", out.emailAddress);
  out.otherMembers = detail::otherMembers(d, {"id", "email_address"});
}

nlohmann::json encodeValue(const EmailAddress& value) {
  Encoder e;
  e.required("id", value.id);
  e.required("email_address", value.emailAddress);
  detail::writeOtherMembers(e, value.otherMembers);
  return std::move(e).json();
}

void decodeValue(const Decoder& d, User& out) {
  d.expectObject();
  d.required("id", out.id);
  d.optional("first_name", out.firstName);
  d.optional("last_name", out.lastName);
  d.optional("username", out.username);
  d.optional("image_url", out.imageUrl);
  d.optional("has_image", out.hasImage);
  d.optional("primary_email_address_id", out.primaryEmailAddressId);
  d.required("email_addresses", out.emailAddresses);
  out.otherMembers = detail::otherMembers(d, {"id", "first_name", "last_name", "username", "image_url", "has_image",
                                             "primary_email_address_id", "email_addresses"});
}

nlohmann::json encodeValue(const User& value) {
  Encoder e;
  e.required("id", value.id);
  e.optional("first_name", value.firstName);
  e.optional("last_name", value.lastName);
  e.optional("username", value.username);
  e.optional("image_url", value.imageUrl);
  e.optional("has_image", value.hasImage);
  e.optional("primary_email_address_id", value.primaryEmailAddressId);
  e.required("email_addresses", value.emailAddresses);
  detail::writeOtherMembers(e, value.otherMembers);
  return std::move(e).json();
}

User User::mock() {
  User user;
  user.id = "user_1";
  user.firstName = "Ann";
  user.lastName = "Li";
  user.username = "annli";
  user.imageUrl = "";
  user.hasImage = false;
  user.primaryEmailAddressId = "idn_1";
  user.emailAddresses = {EmailAddress{"idn_1", "ann.li@example.com", {}}};
  return user;
}

User User::mock2() {
  User user;
  user.id = "user_2";
  user.firstName = "Ben";
  user.lastName = "Ode";
  user.username = "benode";
  user.imageUrl = "";
  user.hasImage = false;
  user.primaryEmailAddressId = "idn_2";
  user.emailAddresses = {EmailAddress{"idn_2", "ben.ode@example.com", {}}};
  return user;
}

}  // namespace vadar
