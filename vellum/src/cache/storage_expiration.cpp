#include "vellum/cache/storage_expiration.hpp"

#include <cmath>
#include <limits>

namespace vellum {

using std::chrono::duration_cast;

Date distantFuture() { return kDistantFuture; }

Date distantPast() { return kDistantPast; }

Date addingSeconds(Date date, double seconds) {
  if (std::isnan(seconds)) return distantPast();
  // The common case (a lifetime of less than ~30 years from a date of this era) cannot leave the range.
  constexpr std::int64_t kEra = std::int64_t{4'000'000'000} * 1'000'000'000;  // ~127 years, in nanoseconds
  const auto ticks = std::chrono::duration_cast<std::chrono::nanoseconds>(date.time_since_epoch()).count();
  if (seconds > -1e9 && seconds < 1e9 && ticks > -kEra && ticks < kEra) {
    return date + std::chrono::duration_cast<Date::duration>(std::chrono::duration<double>(seconds));
  }
  const double limitAhead = secondsBetween(date, distantFuture());
  const double limitBehind = secondsBetween(date, distantPast());
  if (seconds >= limitAhead) return distantFuture();
  if (seconds <= limitBehind) return distantPast();
  return date + duration_cast<Date::duration>(std::chrono::duration<double>(seconds));
}

double secondsBetween(Date from, Date to) {
  // In floating point: the integer difference of two far-apart dates would overflow.
  using D = std::chrono::duration<double>;
  return (std::chrono::duration_cast<D>(to.time_since_epoch()) - std::chrono::duration_cast<D>(from.time_since_epoch()))
      .count();
}

StorageExpiration StorageExpiration::seconds(double seconds) {
  StorageExpiration e(Kind::seconds);
  e.seconds_ = seconds;
  return e;
}

StorageExpiration StorageExpiration::days(std::int64_t days) {
  StorageExpiration e(Kind::days);
  e.days_ = days;
  return e;
}

StorageExpiration StorageExpiration::date(Date date) {
  StorageExpiration e(Kind::date);
  e.date_ = date;
  return e;
}

Date StorageExpiration::estimatedExpiration(Date now) const {
  switch (kind_) {
    case Kind::never:
      return distantFuture();
    case Kind::seconds:
      return addingSeconds(now, seconds_);
    case Kind::days: {
      std::int64_t product = 0;
      // Beyond 64 bits the answer is off the end of the calendar either way.
      if (__builtin_mul_overflow(days_, std::int64_t{86400}, &product)) {
        return days_ > 0 ? distantFuture() : distantPast();
      }
      return addingSeconds(now, static_cast<double>(product));
    }
    case Kind::date:
      return date_;
    case Kind::expired:
      return distantPast();
  }
  return distantPast();
}

bool StorageExpiration::isExpired() const {
  switch (kind_) {
    case Kind::never:
      return false;
    case Kind::seconds:
      return !(seconds_ > 0);
    case Kind::days:
      return days_ <= 0;
    case Kind::date:
      return date_ <= foundation::Clock::now();
    case Kind::expired:
      return true;
  }
  return true;
}

bool operator==(const StorageExpiration& a, const StorageExpiration& b) {
  if (a.kind_ != b.kind_) return false;
  switch (a.kind_) {
    case StorageExpiration::Kind::seconds:
      return a.seconds_ == b.seconds_;
    case StorageExpiration::Kind::days:
      return a.days_ == b.days_;
    case StorageExpiration::Kind::date:
      return a.date_ == b.date_;
    default:
      return true;
  }
}

namespace {
std::size_t combine(std::size_t seed, std::size_t value) {
  return seed ^ (value + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2));
}
}  // namespace

std::size_t StorageExpiration::hash() const {
  switch (kind_) {
    case Kind::never:
      return combine(0, 0);
    case Kind::seconds:
      // +0.0 and -0.0 are equal, so they hash alike.
      return combine(1, std::hash<double>{}(seconds_ == 0 ? 0.0 : seconds_));
    case Kind::days:
      return combine(2, std::hash<std::int64_t>{}(days_));
    case Kind::date:
      return combine(3, std::hash<std::int64_t>{}(date_.time_since_epoch().count()));
    case Kind::expired:
      return combine(4, 0);
  }
  return 0;
}

bool operator==(const ExpirationExtending& a, const ExpirationExtending& b) {
  if (a.kind_ != b.kind_) return false;
  return a.kind_ != ExpirationExtending::Kind::expirationTime || a.expiration_ == b.expiration_;
}

std::size_t ExpirationExtending::hash() const {
  switch (kind_) {
    case Kind::none:
      return combine(0, 0);
    case Kind::cacheTime:
      return combine(1, 0);
    case Kind::expirationTime:
      return combine(2, expiration_.hash());
  }
  return 0;
}

}  // namespace vellum
