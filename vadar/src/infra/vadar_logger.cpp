#include "vadar/infra/vadar_logger.hpp"

#include <chrono>
#include <ctime>

#include <fmt/format.h>

#include "foundation/clock.hpp"
#include "foundation/log.hpp"
#include "vadar/infra/localized_error.hpp"

namespace vadar {

namespace {

// "yyyy-MM-dd HH:mm:ss.SSS", UTC.
std::string timestamp() {
  const auto now = foundation::Clock::now();
  const auto milliseconds =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count();
  const std::time_t seconds = static_cast<std::time_t>(milliseconds / 1000 - (milliseconds % 1000 < 0 ? 1 : 0));
  const int fraction = static_cast<int>(((milliseconds % 1000) + 1000) % 1000);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  return fmt::format("{:04}-{:02}-{:02} {:02}:{:02}:{:02}.{:03}", utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday,
                     utc.tm_hour, utc.tm_min, utc.tm_sec, fraction);
}

std::string_view baseName(std::string_view path) {
  auto slash = path.find_last_of('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

}  // namespace

std::string VadarLogger::errorPart(const std::exception& error) {
  std::string part = "\n   Error: ";
  part += error.what();
  const auto* localized = dynamic_cast<const LocalizedError*>(&error);
  std::optional<std::string> description = localized ? localized->errorDescription() : std::nullopt;
  part += "\n   Description: ";
  part += description ? *description : std::string(error.what());
  if (localized) {
    if (auto reason = localized->failureReason()) {
      part += "\n   Reason: ";
      part += *reason;
    }
  }
  return part;
}

std::string VadarLogger::formatLine(std::string_view level, std::string_view message, const std::exception* error,
                                    const SourceLocation& location) {
  std::string line = fmt::format("[Vadar] [{}] {} {}:{} {} - {}", level, timestamp(), baseName(location.file_name()),
                                 location.line(), location.function_name(), message);
  if (error) line += errorPart(*error);
  return line;
}

void VadarLogger::info(std::string_view message, bool write, SourceLocation location) {
  if (!write) return;
  foundation::log(foundation::LogLevel::info, formatLine("INFO", message, nullptr, location));
}

void VadarLogger::error(std::string_view message, const std::exception* error, SourceLocation location) {
  foundation::log(foundation::LogLevel::error, formatLine("ERROR", message, error, location));
}

void VadarLogger::logError(const std::exception& error, std::string_view message, SourceLocation location) {
  foundation::log(foundation::LogLevel::error, formatLine("ERROR", message, &error, location));
}

void VadarLogger::networkError(const std::exception& error, std::string_view endpoint, int statusCode,
                               SourceLocation location) {
  try {
    const std::string message =
        "Network request failed for endpoint: " + std::string(endpoint) + " (Status: " + std::to_string(statusCode) + ")";
    foundation::log(foundation::LogLevel::error, formatLine("ERROR", message, &error, location));
  } catch (...) {
    // Logging must never turn into a failure of the request it reports.
  }
}

}  // namespace vadar
