#pragma once
// LocalizedError: an error that can describe itself to a user. The library's own error types implement it;
// the logger prints a description and a failure reason from it when an error offers them.
#include <optional>
#include <string>

namespace vadar {

class LocalizedError {
 public:
  virtual ~LocalizedError() = default;
  // A description meant for a user; none when the error has no text of its own.
  virtual std::optional<std::string> errorDescription() const = 0;
  // Why the failure happened; none unless the error knows.
  virtual std::optional<std::string> failureReason() const { return std::nullopt; }
};

}  // namespace vadar
