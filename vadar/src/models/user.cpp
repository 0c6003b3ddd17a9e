#include "vadar/models/user.hpp"

#include <algorithm>
#include <cctype>

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

namespace {
// The sample users differ only in their names; neither has an image.
User sampleUser(std::string id, std::string first, std::string last, std::string emailId, std::string email) {
  User user;
  user.id = std::move(id);
  user.username = first + last;
  std::transform(user.username->begin(), user.username->end(), user.username->begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  user.firstName = std::move(first);
  user.lastName = std::move(last);
  user.imageUrl = "";
  user.hasImage = false;
  user.primaryEmailAddressId = emailId;
  user.emailAddresses = {EmailAddress{std::move(emailId), std::move(email), {}}};
  return user;
}
}  // namespace

User User::mock() { return sampleUser("user_1", "Ann", "Li", "idn_1", "ann.li@example.com"); }

User User::mock2() { return sampleUser("user_2", "Ben", "Ode", "idn_2", "ben.ode@example.com"); }

}  // namespace vadar
