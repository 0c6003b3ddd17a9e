#include "vadar/models/sign_up.hpp"

#include "other_members.hpp"

namespace vadar {

void decodeValue(const Decoder& d, SignUp& out) {
  d.expectObject();
  d.required("id", out.id);
  d.required("status", out.status);
  d.optional("email_address", out.emailAddress);
  d.optional("phone_number", out.phoneNumber);
  d.optional("username", out.username);
  d.optional("first_name", out.firstName);
  d.optional("last_name", out.lastName);
  d.optional("created_session_id", out.createdSessionId);
  d.optional("created_user_id", out.createdUserId);
  out.otherMembers = detail::otherMembers(d, {"id", "status", "email_address", "phone_number", "username",
                                              "first_name", "last_name", "created_session_id", "created_user_id"});
}

nlohmann::json encodeValue(const SignUp& value) {
  Encoder e;
  e.required("id", value.id);
  e.required("status", value.status);
  e.optional("email_address", value.emailAddress);
  e.optional("phone_number", value.phoneNumber);
  e.optional("username", value.username);
  e.optional("first_name", value.firstName);
  e.optional("last_name", value.lastName);
  e.optional("created_session_id", value.createdSessionId);
  e.optional("created_user_id", value.createdUserId);
  detail::writeOtherMembers(e, value.otherMembers);
  return std::move(e).json();
}

SignUp SignUp::sample() {
  SignUp signUp;
  signUp.id = std::string{"1"};
  signUp.status = Status::missingRequirements;
  return signUp;
}

}  // namespace vadar
