#pragma once
// VadarAPIError: an error answered by the frontend API ({"code": "authentication_invalid", ...}). The
// response pipeline throws it for error answers; verifications carry it as their last error.
//
// Example (off the main queue):
//   bool assertionWanted = false;
//   try { vadar::Client::get(); }
//   catch (const vadar::VadarAPIError& e) { assertionWanted = e.code == "requires_assertion"; }
//
// `what()` is the description (long message, else message), or the code when there is neither.
#include <cstddef>
#include <exception>
#include <mutex>
#include <optional>
#include <string>

#include "vadar/infra/coding.hpp"
#include "vadar/infra/json.hpp"
#include "vadar/infra/localized_error.hpp"

namespace vadar {

class VadarAPIError : public std::exception, public LocalizedError {
 public:
  VadarAPIError() = default;
  explicit VadarAPIError(std::string code, std::optional<std::string> message = std::nullopt,
                         std::optional<std::string> longMessage = std::nullopt,
                         std::optional<JSON> meta = std::nullopt,
                         std::optional<std::string> vadarTraceId = std::nullopt);
  VadarAPIError(const VadarAPIError& other);
  VadarAPIError& operator=(const VadarAPIError& other);

  std::string code;
  std::optional<std::string> message;
  std::optional<std::string> longMessage;
  std::optional<JSON> meta;
  std::optional<std::string> vadarTraceId;

  // `longMessage` when present, else `message` (none when both are absent).
  std::optional<std::string> errorDescription() const override;
  const char* what() const noexcept override;

  friend bool operator==(const VadarAPIError& a, const VadarAPIError& b);
  std::size_t hash() const;

 private:
  // The fields are public and may change, so the text is built on demand; threads that catch one shared
  // exception object may call what() at once, hence the lock. The text is rebuilt only when it changed, so a
  // pointer handed out stays valid while the fields stay as they are.
  mutable std::mutex whatMutex_;
  mutable std::string whatText_;
};

void decodeValue(const Decoder& d, VadarAPIError& out);
nlohmann::json encodeValue(const VadarAPIError& value);

}  // namespace vadar

template <>
struct std::hash<vadar::VadarAPIError> {
  std::size_t operator()(const vadar::VadarAPIError& value) const { return value.hash(); }
};
