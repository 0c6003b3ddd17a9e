#include "vadar/models/session.hpp"

namespace vadar {

void decodeValue(const Decoder& d, Session::Task& out) {
  d.expectObject();
  d.required("key", out.key);
}

nlohmann::json encodeValue(const Session::Task& value) {
  Encoder e;
  e.required("key", value.key);
  return std::move(e).json();
}

void decodeValue(const Decoder& d, SessionActivity& out) {
  d.expectObject();
  d.required("id", out.id);
  d.optional("browser_name", out.browserName);
  d.optional("browser_version", out.browserVersion);
  d.optional("device_type", out.deviceType);
  d.optional("ip_address", out.ipAddress);
  d.optional("city", out.city);
  d.optional("country", out.country);
  d.optional("is_mobile", out.isMobile);
}

nlohmann::json encodeValue(const SessionActivity& value) {
  Encoder e;
  e.required("id", value.id);
  e.optional("browser_name", value.browserName);
  e.optional("browser_version", value.browserVersion);
  e.optional("device_type", value.deviceType);
  e.optional("ip_address", value.ipAddress);
  e.optional("city", value.city);
  e.optional("country", value.country);
  e.optional("is_mobile", value.isMobile);
  return std::move(e).json();
}

void decodeValue(const Decoder& d, Session& out) {
  d.expectObject();
  d.required("id", out.id);
  d.required("status", out.status);
  d.required("expire_at", out.expireAt);
  d.required("abandon_at", out.abandonAt);
  d.required("last_active_at", out.lastActiveAt);
  d.optional("latest_activity", out.latestActivity);
  d.optional("last_active_organization_id", out.lastActiveOrganizationId);
  d.optional("actor", out.actor);
  d.optional("user", out.user);
  d.optional("public_user_data", out.publicUserData);
  d.required("created_at", out.createdAt);
  d.required("updated_at", out.updatedAt);
  d.optional("tasks", out.tasks);
  d.optional("last_active_token", out.lastActiveToken);
}

nlohmann::json encodeValue(const Session& value) {
  Encoder e;
  e.required("id", value.id);
  e.required("status", value.status);
  e.required("expire_at", value.expireAt);
  e.required("abandon_at", value.abandonAt);
  e.required("last_active_at", value.lastActiveAt);
  e.optional("latest_activity", value.latestActivity);
  e.optional("last_active_organization_id", value.lastActiveOrganizationId);
  e.optional("actor", value.actor);
  e.optional("user", value.user);
  e.optional("public_user_data", value.publicUserData);
  e.required("created_at", value.createdAt);
  e.required("updated_at", value.updatedAt);
  e.optional("tasks", value.tasks);
  e.optional("last_active_token", value.lastActiveToken);
  return std::move(e).json();
}

namespace {

Session sampleSession(std::string id, User user, SessionActivity activity) {
  const Date date = dateSinceReferenceDate(1'234'567'890);
  Session session;
  session.id = std::move(id);
  session.status = Session::SessionStatus::active;
  session.expireAt = date;
  session.abandonAt = date;
  session.lastActiveAt = date;
  session.latestActivity = std::move(activity);
  session.user = std::move(user);
  session.createdAt = date;
  session.updatedAt = date;
  session.tasks = std::vector<Session::Task>{};
  return session;
}

}  // namespace

Session Session::mockSession1() {
  return sampleSession("1", User::mock(),
                       SessionActivity{"1", "Safari", "17.1.1", "iPhone", "196.172.122.88", "Detroit", "US", true});
}

Session Session::mockSession2() {
  return sampleSession("2", User::mock2(),
                       SessionActivity{"2", "Chrome", "119.0.0", "Macintosh", "196.172.122.88", "Detroit", "US", false});
}

}  // namespace vadar
