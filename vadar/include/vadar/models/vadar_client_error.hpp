#pragma once
// VadarClientError: a refusal raised by the library itself, with a message meant for the user.
//
// Example:
//   throw vadar::VadarClientError("Unable to get the challenge for the passkey.");
//
// There are no string tables on this platform: the description is the message's default text.
#include <exception>
#include <optional>
#include <string>

#include "vadar/infra/localized_error.hpp"

namespace vadar {

class VadarClientError : public std::exception, public LocalizedError {
 public:
  explicit VadarClientError(std::optional<std::string> message = std::nullopt) : message_(std::move(message)) {}

  const std::optional<std::string>& message() const { return message_; }
  // The message; none when made without one.
  std::optional<std::string> errorDescription() const override { return message_; }
  // The message, or "VadarClientError" when there is none.
  const char* what() const noexcept override { return message_ ? message_->c_str() : "VadarClientError"; }

 private:
  std::optional<std::string> message_;
};

}  // namespace vadar
