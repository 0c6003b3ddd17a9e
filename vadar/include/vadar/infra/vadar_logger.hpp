#pragma once
// VadarLogger: the library's log lines, written through foundation::log.
//
// Example, given const vadar::VadarSettings& settings, const std::exception& error:
//   vadar::VadarLogger::info("Loaded client", settings.debugMode);  // written only in debug mode
//   vadar::VadarLogger::error("Failed to decode JWT", &error);
//   vadar::VadarLogger::networkError(error, "/v1/client", 401);
//
// Line layout (one line, possibly followed by the error part's continuation lines):
//   "[Vadar] [INFO] 2026-01-31 12:34:56.789 file.cpp:42 function - message"
//   "[Vadar] [ERROR] ..." for the error level.
// Choices of this implementation:
// - level tags "[Vadar] [INFO]" and "[Vadar] [ERROR]"; fields separated by single spaces;
// - the timestamp follows the pattern "yyyy-MM-dd HH:mm:ss.SSS" in UTC;
// - the file is the source file's base name; the function is the caller's unqualified function name;
// - the error part is "\n   Error: " + the printed error (what()), then "\n   Description: " + the error's
//   description (LocalizedError::errorDescription() when the error offers one, else what()), then
//   "\n   Reason: " + LocalizedError::failureReason() only when the error offers one.
#include <exception>
#include <string>
#include <string_view>

namespace vadar {

// The caller's place in the source. (std::source_location is not available to every compiler the project
// builds with, so the compiler built-ins are used directly; both GCC and Clang evaluate them at the call site.)
struct SourceLocation {
  static constexpr SourceLocation current(const char* file = __builtin_FILE(), unsigned line = __builtin_LINE(),
                                          const char* function = __builtin_FUNCTION()) noexcept {
    return SourceLocation{file, line, function};
  }
  const char* file_name() const noexcept { return file; }
  unsigned line() const noexcept { return lineNumber; }
  const char* function_name() const noexcept { return function; }

  const char* file = "";
  unsigned lineNumber = 0;
  const char* function = "";
};

class VadarLogger {
 public:
  // Writes an info line only when `write` is true.
  static void info(std::string_view message, bool write,
                   SourceLocation location = SourceLocation::current());
  // Writes an error line; the error part only when `error` is given.
  static void error(std::string_view message, const std::exception* error = nullptr,
                    SourceLocation location = SourceLocation::current());
  // Writes an error line that always has the error part.
  static void logError(const std::exception& error, std::string_view message,
                       SourceLocation location = SourceLocation::current());
  // "Network request failed for endpoint: <endpoint> (Status: <code>)" and the error part. Never throws.
  static void networkError(const std::exception& error, std::string_view endpoint, int statusCode,
                           SourceLocation location = SourceLocation::current());

  // The line these functions would write (for tests and for callers with their own sink).
  static std::string formatLine(std::string_view level, std::string_view message, const std::exception* error,
                                const SourceLocation& location);
  static std::string errorPart(const std::exception& error);
};

}  // namespace vadar
