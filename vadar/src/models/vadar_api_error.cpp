#include "vadar/models/vadar_api_error.hpp"

#include "vadar/models/vadar_error_response.hpp"

namespace vadar {

VadarAPIError::VadarAPIError(std::string code, std::optional<std::string> message,
                             std::optional<std::string> longMessage, std::optional<JSON> meta,
                             std::optional<std::string> vadarTraceId)
    : code(std::move(code)),
      message(std::move(message)),
      longMessage(std::move(longMessage)),
      meta(std::move(meta)),
      vadarTraceId(std::move(vadarTraceId)) {}

VadarAPIError::VadarAPIError(const VadarAPIError& other)
    : std::exception(other),
      LocalizedError(other),
      code(other.code),
      message(other.message),
      longMessage(other.longMessage),
      meta(other.meta),
      vadarTraceId(other.vadarTraceId) {}

VadarAPIError& VadarAPIError::operator=(const VadarAPIError& other) {
  if (this != &other) {
    code = other.code;
    message = other.message;
    longMessage = other.longMessage;
    meta = other.meta;
    vadarTraceId = other.vadarTraceId;
  }
  return *this;
}

std::optional<std::string> VadarAPIError::errorDescription() const { return longMessage ? longMessage : message; }

const char* VadarAPIError::what() const noexcept {
  try {
    std::lock_guard lock(whatMutex_);
    std::string text = errorDescription().value_or(code);
    if (text != whatText_) whatText_ = std::move(text);
  } catch (...) {
    return "VadarAPIError";
  }
  return whatText_.c_str();
}

bool operator==(const VadarAPIError& a, const VadarAPIError& b) {
  return a.code == b.code && a.message == b.message && a.longMessage == b.longMessage && a.meta == b.meta &&
         a.vadarTraceId == b.vadarTraceId;
}

std::size_t VadarAPIError::hash() const {
  std::size_t seed = std::hash<std::string>{}(code);
  auto text = [&seed](const std::optional<std::string>& value) {
    hashCombine(seed, value ? 1 : 0);
    if (value) hashCombine(seed, std::hash<std::string>{}(*value));
  };
  text(message);
  text(longMessage);
  hashCombine(seed, meta ? 1 : 0);
  if (meta) hashCombine(seed, meta->hash());
  text(vadarTraceId);
  return seed;
}

void decodeValue(const Decoder& d, VadarAPIError& out) {
  d.expectObject();
  d.required("code", out.code);
  d.optional("message", out.message);
  d.optional("long_message", out.longMessage);
  d.optional("meta", out.meta);
  d.optional("vadar_trace_id", out.vadarTraceId);
}

nlohmann::json encodeValue(const VadarAPIError& value) {
  Encoder e;
  e.required("code", value.code);
  e.optional("message", value.message);
  e.optional("long_message", value.longMessage);
  e.optional("meta", value.meta);
  e.optional("vadar_trace_id", value.vadarTraceId);
  return std::move(e).json();
}

void decodeValue(const Decoder& d, VadarErrorResponse& out) {
  d.expectObject();
  d.required("errors", out.errors);
  d.optional("vadar_trace_id", out.vadarTraceId);
}

nlohmann::json encodeValue(const VadarErrorResponse& value) {
  Encoder e;
  e.required("errors", value.errors);
  e.optional("vadar_trace_id", value.vadarTraceId);
  return std::move(e).json();
}

}  // namespace vadar
