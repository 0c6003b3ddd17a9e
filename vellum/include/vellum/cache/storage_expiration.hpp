#pragma once
// StorageExpiration: how long a cached entry lives. ExpirationExtending: what an access does to that life.
//
// Example:
//   auto expiry = vellum::StorageExpiration::days(7).estimatedExpirationSinceNow();
//   if (vellum::StorageExpiration::seconds(0).isExpired()) { /* stores nothing */ }
//
// Dates are foundation::Date (system clock, nanoseconds), whose range is about 1677 to 2262: `never` gives
// distantFuture() and `expired` distantPast(), the ends of that range in whole seconds, and every computed
// date saturates there instead of overflowing (a huge day count simply never expires in practice).
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <variant>

#include "foundation/clock.hpp"

namespace vellum {

using Date = foundation::Date;

// The ends of the range in whole seconds, as constants: a check against them is a comparison.
inline constexpr Date kDistantFuture{std::chrono::duration_cast<Date::duration>(
    std::chrono::duration_cast<std::chrono::seconds>(Date::max().time_since_epoch()))};
inline constexpr Date kDistantPast{std::chrono::duration_cast<Date::duration>(
    std::chrono::duration_cast<std::chrono::seconds>(Date::min().time_since_epoch()))};

Date distantFuture();
Date distantPast();
// `date` + `seconds`, saturating at distantPast() and distantFuture(); NaN seconds give distantPast().
Date addingSeconds(Date date, double seconds);
// Seconds from `from` to `to` as a floating-point number.
double secondsBetween(Date from, Date to);

class StorageExpiration {
 public:
  enum class Kind { never, seconds, days, date, expired };

  static StorageExpiration never() { return StorageExpiration(Kind::never); }
  static StorageExpiration seconds(double seconds);
  static StorageExpiration days(std::int64_t days);
  static StorageExpiration date(Date date);
  static StorageExpiration expired() { return StorageExpiration(Kind::expired); }

  Kind kind() const { return kind_; }
  double secondsValue() const { return seconds_; }
  std::int64_t daysValue() const { return days_; }
  Date dateValue() const { return date_; }

  // The date at which an entry stored now expires (the clock is read once).
  Date estimatedExpirationSinceNow() const { return estimatedExpiration(foundation::Clock::now()); }
  // The same counted from `now`, for callers that have read the clock already.
  Date estimatedExpiration(Date now) const;
  // Whether an entry stored now would already be expired: seconds <= 0 (or NaN), days <= 0, a date not in the
  // future, or `expired`.
  bool isExpired() const;

  friend bool operator==(const StorageExpiration& a, const StorageExpiration& b);
  std::size_t hash() const;

 private:
  explicit StorageExpiration(Kind kind) : kind_(kind) {}
  Kind kind_;
  double seconds_ = 0;
  std::int64_t days_ = 0;
  Date date_{};
};

class ExpirationExtending {
 public:
  enum class Kind { none, cacheTime, expirationTime };

  static ExpirationExtending none() { return ExpirationExtending(Kind::none, StorageExpiration::never()); }
  static ExpirationExtending cacheTime() { return ExpirationExtending(Kind::cacheTime, StorageExpiration::never()); }
  static ExpirationExtending expirationTime(StorageExpiration expiration) {
    return ExpirationExtending(Kind::expirationTime, expiration);
  }

  Kind kind() const { return kind_; }
  // The carried expiration of `expirationTime`.
  const StorageExpiration& expiration() const { return expiration_; }

  friend bool operator==(const ExpirationExtending& a, const ExpirationExtending& b);
  std::size_t hash() const;

 private:
  ExpirationExtending(Kind kind, StorageExpiration expiration) : kind_(kind), expiration_(expiration) {}
  Kind kind_;
  StorageExpiration expiration_;
};

// An entry is expired when its estimated expiration minus `now` is zero seconds or less.
inline bool isPast(Date estimatedExpiration, Date now) { return estimatedExpiration <= now; }

}  // namespace vellum

template <>
struct std::hash<vellum::StorageExpiration> {
  std::size_t operator()(const vellum::StorageExpiration& e) const { return e.hash(); }
};
template <>
struct std::hash<vellum::ExpirationExtending> {
  std::size_t operator()(const vellum::ExpirationExtending& e) const { return e.hash(); }
};
