#pragma once
// VadarPaginatedResponse<T>: one page of a list answer: the items of the page and the server's total count.
//
// Example:
//   auto page = vadar::decodeJSON<vadar::VadarPaginatedResponse<vadar::Session>>(R"({"data": [], "total_count": 0})");
#include <cstdint>
#include <vector>

#include "vadar/infra/coding.hpp"

namespace vadar {

template <class T>
struct VadarPaginatedResponse {
  std::vector<T> data;
  std::int64_t totalCount = 0;  // items on the server, not on this page

  friend bool operator==(const VadarPaginatedResponse&, const VadarPaginatedResponse&) = default;
};

template <class T>
void decodeValue(const Decoder& d, VadarPaginatedResponse<T>& out) {
  d.expectObject();
  d.required("data", out.data);
  d.required("total_count", out.totalCount);
}

template <class T>
nlohmann::json encodeValue(const VadarPaginatedResponse<T>& value) {
  Encoder e;
  e.required("data", value.data);
  e.required("total_count", value.totalCount);
  return std::move(e).json();
}

}  // namespace vadar
