// Sign-in attempts and the sign-up a transferable sign-in becomes (see fake_frontend_api/sessions.hpp).
#include <map>
#include <memory>

#include "fake_frontend_api/sessions.hpp"
#include "routes.hpp"
#include "session_routes.hpp"

namespace fake_frontend_api::detail {

using nlohmann::json;

namespace {

constexpr std::int64_t verificationLifetimeMs = 10LL * 60 * 1000;

// What the fake knows of a sign-in beyond what it serves.
struct Attempt {
  json signIn;
  std::string userId;  // the account the attempt is for, once known
  bool external = false;  // OAuth or enterprise SSO: waits for the browser
};

// The fake's sign-in attempts by id. Touched only by handlers, which run under the fake's lock.
struct Book {
  std::map<std::string, Attempt> attempts;
  std::uint64_t newMembers = 0;
};

using Params = FakeFrontendAPI::Params;

std::string findUser(const State& state, const std::string& identifier) {
  for (const auto& [id, user] : state.users) {
    if (user.value("username", json()).is_string() && user["username"] == identifier) return id;
    for (const auto& email : user.value("email_addresses", json::array()))
      if (email.value("email_address", "") == identifier) return id;
  }
  return "";
}

std::string primaryEmail(const json& user) {
  const auto& emails = user.value("email_addresses", json::array());
  return emails.empty() ? "" : emails[0].value("email_address", "");
}

json newSignIn(State& state, const std::string& status) {
  return {{"object", "sign_in"},
          {"id", state.makeId("sia")},
          {"status", status},
          {"supported_identifiers", json::array({"email_address"})},
          {"identifier", nullptr},
          {"supported_first_factors", json::array()},
          {"supported_second_factors", nullptr},
          {"first_factor_verification", nullptr},
          {"second_factor_verification", nullptr},
          {"user_data", nullptr},
          {"created_session_id", nullptr},
          {"abandon_at", state.clock + 24LL * 3600 * 1000}};
}

json verification(const std::string& status, const std::string& strategy) {
  return {{"status", status}, {"strategy", strategy}, {"attempts", nullptr}, {"expire_at", nullptr}};
}

void describeUser(State& state, Attempt& attempt, const std::string& userId) {
  attempt.userId = userId;
  const json& user = state.users.at(userId);
  const std::string email = primaryEmail(user);
  const std::string emailId = user["email_addresses"].empty() ? "" : user["email_addresses"][0].value("id", "");
  attempt.signIn["identifier"] = email;
  attempt.signIn["supported_first_factors"] = json::array(
      {{{"strategy", "password"}},
       {{"strategy", "email_code"}, {"safe_identifier", email}, {"email_address_id", emailId}, {"primary", true}}});
  attempt.signIn["user_data"] = {{"first_name", user["first_name"]},
                                 {"last_name", user["last_name"]},
                                 {"image_url", user["image_url"]},
                                 {"has_image", user["has_image"]}};
}

// The sign-in as the client shows it: current while in progress, gone once complete.
Answer answer(State& state, const Attempt& attempt) {
  state.client["sign_in"] = attempt.signIn["status"] == "complete" ? json(nullptr) : attempt.signIn;
  state.touchClient();
  return Answer::json(200, envelope(attempt.signIn, state));
}

// Error answers of sign-in steps carry the client, as the frontend API's do.
Answer failure(State& state, int status, const std::string& code, const std::string& message) {
  Answer error = Answer::error(status, code, message);
  json body = json::parse(error.body);
  body["client"] = state.client;
  error.body = body.dump();
  return error;
}

Answer complete(State& state, Attempt& attempt, const std::string& userId) {
  if (attempt.userId.empty()) describeUser(state, attempt, userId);
  const json& session = state.addSession(userId);
  attempt.signIn["status"] = "complete";
  attempt.signIn["created_session_id"] = session["id"];
  return answer(state, attempt);
}

// After the first factor: a second one when the account asks for it, else done.
Answer firstFactorPassed(State& state, Attempt& attempt, const std::string& strategy) {
  json first = verification("verified", strategy);
  first["attempts"] = 1;
  attempt.signIn["first_factor_verification"] = first;
  const json& user = state.users.at(attempt.userId);
  if (user.value("two_factor_enabled", false)) {
    attempt.signIn["status"] = "needs_second_factor";
    attempt.signIn["supported_second_factors"] = json::array({{{"strategy", "phone_code"},
                                                               {"safe_identifier", "+1******0100"},
                                                               {"phone_number_id", "idn_phone_" + attempt.userId},
                                                               {"primary", true}}});
    return answer(state, attempt);
  }
  return complete(state, attempt, attempt.userId);
}

Answer checkPassword(State& state, Attempt& attempt, const std::optional<std::string>& given) {
  if (!given || *given != password) {
    state.client["sign_in"] = attempt.signIn;
    return failure(state, 422, "form_password_incorrect", "Password is incorrect. Try again, or use another method.");
  }
  return firstFactorPassed(state, attempt, "password");
}

void startExternal(Attempt& attempt, const std::string& strategy, const std::string& redirectUrl) {
  attempt.external = true;
  json first = verification("unverified", strategy);
  first["external_verification_redirect_url"] = "https://oauth.example.test/authorize?sign_in=" +
                                                attempt.signIn["id"].get<std::string>() + "&redirect_uri=" + redirectUrl;
  attempt.signIn["status"] = "needs_first_factor";
  attempt.signIn["first_factor_verification"] = first;
}

void startPasskey(State& state, Attempt& attempt) {
  json first = verification("unverified", "passkey");
  first["nonce"] = json{{"challenge", base64Url("challenge:" + attempt.signIn["id"].get<std::string>())},
                        {"rpId", "frontend.example.test"}}
                       .dump();
  first["expire_at"] = state.clock + verificationLifetimeMs;
  attempt.signIn["status"] = "needs_first_factor";
  attempt.signIn["first_factor_verification"] = first;
}

Answer createSignIn(const RecordedRequest& request, State& state, Book& book) {
  Attempt attempt{newSignIn(state, "needs_identifier"), "", false};
  const std::string strategy = request.formValue("strategy").value_or("");
  const auto identifier = request.formValue("identifier");
  const auto redirect = request.formValue("redirect_url");

  if (strategy.rfind("oauth_token_", 0) == 0) {
    if (request.formValue("token").value_or("").empty())
      return failure(state, 422, "form_param_missing", "token is missing");
    attempt.signIn["status"] = "needs_identifier";
    attempt.signIn["first_factor_verification"] = verification("transferable", strategy);
  } else if (strategy.rfind("oauth_", 0) == 0 || strategy == "enterprise_sso") {
    if (!redirect || redirect->empty()) return failure(state, 422, "form_param_missing", "redirect_url is missing");
    if (identifier) attempt.signIn["identifier"] = *identifier;
    startExternal(attempt, strategy, *redirect);
  } else if (strategy == "passkey") {
    startPasskey(state, attempt);
  } else if (identifier) {
    const std::string userId = findUser(state, *identifier);
    if (userId.empty()) return failure(state, 422, "form_identifier_not_found", "Couldn't find your account.");
    describeUser(state, attempt, userId);
    attempt.signIn["status"] = "needs_first_factor";
    if (const auto given = request.formValue("password")) {
      auto& stored = book.attempts[attempt.signIn["id"].get<std::string>()] = attempt;
      return checkPassword(state, stored, given);
    }
    if (strategy == "email_code") {
      json first = verification("unverified", "email_code");
      first["expire_at"] = state.clock + verificationLifetimeMs;
      attempt.signIn["first_factor_verification"] = first;
    }
  }
  auto& stored = book.attempts[attempt.signIn["id"].get<std::string>()] = attempt;
  return answer(state, stored);
}

Attempt* lookUp(Book& book, const Params& params) {
  auto it = book.attempts.find(params.at("id"));
  return it == book.attempts.end() ? nullptr : &it->second;
}

Answer notFound() { return Answer::error(404, "resource_not_found", "Sign in not found"); }

Answer attemptFirstFactor(const RecordedRequest& request, State& state, Attempt& attempt) {
  const std::string strategy = request.formValue("strategy").value_or("");
  if (strategy == "password") {
    if (attempt.userId.empty()) return failure(state, 422, "form_identifier_not_found", "Couldn't find your account.");
    return checkPassword(state, attempt, request.formValue("password"));
  }
  if (strategy == "email_code" || strategy == "reset_password_email_code") {
    if (request.formValue("code") != secondFactorCode)
      return failure(state, 422, "form_code_incorrect", "Incorrect code");
    if (strategy == "reset_password_email_code") {
      attempt.signIn["first_factor_verification"] = verification("verified", strategy);
      attempt.signIn["status"] = "needs_new_password";
      return answer(state, attempt);
    }
    return firstFactorPassed(state, attempt, strategy);
  }
  if (strategy == "passkey") {
    json credential;
    try {
      credential = json::parse(request.formValue("public_key_credential").value_or(""));
    } catch (const json::exception&) {
      return failure(state, 422, "passkey_invalid", "The passkey credential is not valid");
    }
    const bool wellFormed = credential.is_object() && credential.value("type", "") == "public-key" &&
                            credential.value("id", "") == credential.value("rawId", "x") &&
                            credential.contains("response") && credential["response"].is_object();
    if (wellFormed) {
      const std::string handle = credential["response"].value("userHandle", "");
      for (const auto& entry : state.users) {
        if (base64Url(entry.first) != handle) continue;
        const std::string userId = entry.first;
        describeUser(state, attempt, userId);
        return firstFactorPassed(state, attempt, "passkey");
      }
    }
    return failure(state, 422, "passkey_invalid", "The passkey credential is not valid");
  }
  return failure(state, 422, "strategy_for_user_invalid", "This strategy is not available for this sign-in");
}

Answer attemptSecondFactor(const RecordedRequest& request, State& state, Attempt& attempt) {
  if (attempt.signIn["status"] != "needs_second_factor")
    return failure(state, 422, "sign_in_no_second_factor", "This sign-in does not need a second factor");
  json& second = attempt.signIn["second_factor_verification"];
  if (!second.is_object()) {
    second = verification("unverified", request.formValue("strategy").value_or("phone_code"));
    second["expire_at"] = state.clock + verificationLifetimeMs;
  }
  if (second["expire_at"].is_number() && state.clock > second["expire_at"].get<std::int64_t>()) {
    second["status"] = "expired";
    state.client["sign_in"] = attempt.signIn;
    return failure(state, 422, "verification_expired", "This verification has expired. Please request a new code.");
  }
  second["attempts"] = second["attempts"].is_number() ? second["attempts"].get<int>() + 1 : 1;
  if (request.formValue("code") != secondFactorCode) {
    second["status"] = "failed";
    state.client["sign_in"] = attempt.signIn;
    return failure(state, 422, "form_code_incorrect", "Incorrect code");
  }
  second["status"] = "verified";
  return complete(state, attempt, attempt.userId);
}

Answer reload(const RecordedRequest& request, State& state, Attempt& attempt) {
  if (attempt.external && attempt.signIn["status"] != "complete") {
    json& first = attempt.signIn["first_factor_verification"];
    if (request.queryValue("rotating_token_nonce").value_or("").empty()) {
      first["status"] = "transferable";
    } else {
      if (state.users.empty()) state.addUser("Grace", "Hopper", "grace@example.test");
      first["status"] = "verified";
      return complete(state, attempt, state.users.begin()->first);
    }
  }
  return answer(state, attempt);
}

Answer createSignUp(const RecordedRequest& request, State& state, Book& book) {
  if (request.formValue("transfer") != "1" && request.formValue("transfer") != "true")
    return failure(state, 422, "form_param_missing", "Only sign-ups by transfer are served here");
  const auto transferable = [](const json& v) { return v.is_object() && v.value("status", "") == "transferable"; };
  const json& current = state.client["sign_in"];
  if (!current.is_object() ||
      !(transferable(current["first_factor_verification"]) || transferable(current["second_factor_verification"])))
    return failure(state, 422, "transfer_unavailable", "There is no sign-in to transfer");

  const std::string email = "new.member." + std::to_string(++book.newMembers) + "@example.test";
  const std::string userId = state.addUser("New", "Member", email)["id"].get<std::string>();
  const json& session = state.addSession(userId);
  json signUp = {{"object", "sign_up"},
                 {"id", state.makeId("sua")},
                 {"status", "complete"},
                 {"email_address", email},
                 {"first_name", "New"},
                 {"last_name", "Member"},
                 {"created_session_id", session["id"]},
                 {"created_user_id", userId}};
  if (auto it = book.attempts.find(current.value("id", "")); it != book.attempts.end()) book.attempts.erase(it);
  state.client["sign_in"] = nullptr;
  state.client["sign_up"] = nullptr;
  state.touchClient();
  return Answer::json(200, envelope(signUp, state));
}

}  // namespace

void addSignInRoutes(FakeFrontendAPI& api) {
  auto book = std::make_shared<Book>();
  api.route("POST", "/v1/client/sign_ins", [book](const RecordedRequest& request, const Params&, State& state) {
    return createSignIn(request, state, *book);
  });
  api.route("GET", "/v1/client/sign_ins/:id",
            [book](const RecordedRequest& request, const Params& params, State& state) {
              Attempt* attempt = lookUp(*book, params);
              return attempt ? reload(request, state, *attempt) : notFound();
            });
  api.route("POST", "/v1/client/sign_ins/:id/prepare_first_factor",
            [book](const RecordedRequest& request, const Params& params, State& state) {
              Attempt* attempt = lookUp(*book, params);
              if (attempt == nullptr) return notFound();
              const std::string strategy = request.formValue("strategy").value_or("");
              if (strategy == "passkey") {
                startPasskey(state, *attempt);
              } else if (strategy.rfind("oauth_", 0) == 0 || strategy == "enterprise_sso") {
                startExternal(*attempt, strategy, request.formValue("redirect_url").value_or(""));
              } else {
                json first = verification("unverified", strategy);
                first["expire_at"] = state.clock + verificationLifetimeMs;
                attempt->signIn["first_factor_verification"] = first;
              }
              return answer(state, *attempt);
            });
  api.route("POST", "/v1/client/sign_ins/:id/attempt_first_factor",
            [book](const RecordedRequest& request, const Params& params, State& state) {
              Attempt* attempt = lookUp(*book, params);
              return attempt ? attemptFirstFactor(request, state, *attempt) : notFound();
            });
  api.route("POST", "/v1/client/sign_ins/:id/prepare_second_factor",
            [book](const RecordedRequest& request, const Params& params, State& state) {
              Attempt* attempt = lookUp(*book, params);
              if (attempt == nullptr) return notFound();
              json second = verification("unverified", request.formValue("strategy").value_or("phone_code"));
              second["expire_at"] = state.clock + verificationLifetimeMs;
              attempt->signIn["second_factor_verification"] = second;
              return answer(state, *attempt);
            });
  api.route("POST", "/v1/client/sign_ins/:id/attempt_second_factor",
            [book](const RecordedRequest& request, const Params& params, State& state) {
              Attempt* attempt = lookUp(*book, params);
              return attempt ? attemptSecondFactor(request, state, *attempt) : notFound();
            });
  api.route("POST", "/v1/client/sign_ins/:id/reset_password",
            [book](const RecordedRequest& request, const Params& params, State& state) {
              Attempt* attempt = lookUp(*book, params);
              if (attempt == nullptr) return notFound();
              if (attempt->signIn["status"] != "needs_new_password" || attempt->userId.empty())
                return failure(state, 422, "sign_in_reset_password_unavailable", "A verified reset code is needed");
              if (request.formValue("password").value_or("").empty())
                return failure(state, 422, "form_param_missing", "password is missing");
              return complete(state, *attempt, attempt->userId);
            });
  api.route("POST", "/v1/client/sign_ups", [book](const RecordedRequest& request, const Params&, State& state) {
    return createSignUp(request, state, *book);
  });
}

}  // namespace fake_frontend_api::detail
