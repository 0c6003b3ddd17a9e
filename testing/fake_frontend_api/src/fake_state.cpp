#include "fake_frontend_api/fake_frontend_api.hpp"

namespace fake_frontend_api {

using nlohmann::json;

std::string State::makeId(const std::string& prefix) { return prefix + "_" + std::to_string(nextId++); }

std::int64_t State::tick() { return clock += 1000; }

json& State::addUser(const std::string& firstName, const std::string& lastName, const std::string& email) {
  const std::int64_t now = tick();
  const std::string userId = makeId("user");
  const std::string emailId = makeId("idn");
  json user = {
      {"id", userId},
      {"object", "user"},
      {"first_name", firstName},
      {"last_name", lastName},
      {"username", nullptr},
      {"image_url", "https://img.example.test/" + userId},
      {"has_image", false},
      {"primary_email_address_id", emailId},
      {"primary_phone_number_id", nullptr},
      {"email_addresses",
       json::array({{{"id", emailId},
                     {"object", "email_address"},
                     {"email_address", email},
                     {"verification", {{"status", "verified"}, {"strategy", "email_code"}}},
                     {"linked_to", json::array()}}})},
      {"phone_numbers", json::array()},
      {"external_accounts", json::array()},
      {"passkeys", json::array()},
      {"organization_memberships", json::array()},
      {"password_enabled", true},
      {"two_factor_enabled", false},
      {"public_metadata", json::object()},
      {"unsafe_metadata", json::object()},
      {"created_at", now},
      {"updated_at", now},
  };
  return users[userId] = std::move(user);
}

json& State::addSession(const std::string& userId, const std::string& status) {
  const std::int64_t now = tick();
  const std::string sessionId = makeId("sess");
  const json& user = users.at(userId);
  json session = {
      {"id", sessionId},
      {"object", "session"},
      {"status", status},
      {"expire_at", now + 7LL * 24 * 3600 * 1000},
      {"abandon_at", now + 30LL * 24 * 3600 * 1000},
      {"last_active_at", now},
      {"latest_activity",
       {{"id", makeId("sess_activity")},
        {"browser_name", "libcurl"},
        {"device_type", "Linux"},
        {"ip_address", "127.0.0.1"},
        {"is_mobile", false}}},
      {"last_active_organization_id", nullptr},
      {"actor", nullptr},
      {"user", user},
      {"public_user_data",
       {{"first_name", user["first_name"]},
        {"last_name", user["last_name"]},
        {"image_url", user["image_url"]},
        {"has_image", user["has_image"]},
        {"identifier", user["email_addresses"][0]["email_address"]},
        {"user_id", userId}}},
      {"created_at", now},
      {"updated_at", now},
      {"tasks", json::array()},
  };
  if (client.is_null())
    client = {{"id", makeId("client")}, {"object", "client"}, {"sessions", json::array()},
              {"sign_in", nullptr}, {"sign_up", nullptr}, {"last_active_session_id", nullptr},
              {"created_at", now}, {"updated_at", now}};
  client["sessions"].push_back(std::move(session));
  client["last_active_session_id"] = sessionId;
  client["updated_at"] = now;
  return client["sessions"].back();
}

json* State::findSession(const std::string& sessionId) {
  if (!client.is_object() || !client.contains("sessions")) return nullptr;
  for (auto& session : client["sessions"])
    if (session.value("id", "") == sessionId) return &session;
  return nullptr;
}

json* State::currentSession() {
  if (!client.is_object() || !client["last_active_session_id"].is_string()) return nullptr;
  json* session = findSession(client["last_active_session_id"].get<std::string>());
  if (session == nullptr || session->value("status", "") != "active") return nullptr;
  return session;
}

void State::touchClient() {
  const std::int64_t now = tick();
  if (!client.is_object()) return;
  for (auto& session : client["sessions"]) {
    if (!session["user"].is_object()) continue;
    auto found = users.find(session["user"].value("id", ""));
    if (found != users.end()) session["user"] = found->second;
  }
  client["updated_at"] = now;
}

json defaultEnvironment() {
  auto attribute = [](bool firstFactor, bool secondFactor, bool verify) {
    return json{{"enabled", true},
                {"required", false},
                {"used_for_first_factor", firstFactor},
                {"used_for_second_factor", secondFactor},
                {"verify_at_sign_up", verify}};
  };
  auto social = [](const std::string& strategy, const std::string& name, const std::string& logo) {
    return json{{"enabled", true},     {"required", false}, {"authenticatable", true}, {"strategy", strategy},
                {"not_selectable", false}, {"name", name},  {"logo_url", logo}};
  };
  return {
      {"auth_config", {{"single_session_mode", true}}},
      {"user_settings",
       {{"attributes",
         {{"email_address", attribute(true, false, true)},
          {"password", attribute(true, false, true)},
          {"first_name", attribute(false, false, false)},
          {"last_name", attribute(false, false, false)}}},
        {"sign_up",
         {{"custom_action_required", false},
          {"progressive", true},
          {"mode", "public"},
          {"legal_consent_enabled", false}}},
        {"social",
         {{"oauth_google", social("oauth_google", "Google", "https://img.example.test/google.png")},
          {"oauth_apple", social("oauth_apple", "Apple", "https://img.example.test/apple.png")},
          {"oauth_custom_tolvaran",
           social("oauth_custom_tolvaran", "Tolvaran SSO", "https://img.example.test/tolvaran.png")}}},
        {"actions", {{"delete_self", true}, {"create_organization", true}}},
        {"passkey_settings", {{"allow_autofill", true}, {"show_sign_in_button", true}}}}},
      {"display_config",
       {{"instance_environment_type", "development"},
        {"application_name", "Tolvaran Attendant"},
        {"preferred_sign_in_strategy", "password"},
        {"support_email", "support@example.test"},
        {"branded", true},
        {"logo_image_url", "https://img.example.test/logo.png"},
        {"home_url", "https://example.test"},
        {"privacy_policy_url", nullptr},
        {"terms_url", nullptr}}},
      {"fraud_settings", {{"native", {{"device_attestation_mode", "disabled"}}}}},
  };
}

}  // namespace fake_frontend_api
