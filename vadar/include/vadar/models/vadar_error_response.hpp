#pragma once
// VadarErrorResponse: the body of an error answer, {"errors": [...], "vadar_trace_id": "..."}, from which the
// response pipeline takes the VadarAPIError it throws.
#include <optional>
#include <string>
#include <vector>

#include "vadar/infra/coding.hpp"
#include "vadar/models/vadar_api_error.hpp"

namespace vadar {

struct VadarErrorResponse {
  std::vector<VadarAPIError> errors;  // required on the wire, may be empty
  std::optional<std::string> vadarTraceId;

  friend bool operator==(const VadarErrorResponse&, const VadarErrorResponse&) = default;
};

void decodeValue(const Decoder& d, VadarErrorResponse& out);
nlohmann::json encodeValue(const VadarErrorResponse& value);

}  // namespace vadar
