#pragma once
// Timings of one transfer, each measured from the start of the transfer to the end of its phase.
#include <chrono>
#include <cstdint>

namespace httpkit {

struct TaskMetrics {
  std::chrono::microseconds nameLookup{0};
  std::chrono::microseconds connect{0};
  std::chrono::microseconds secureConnection{0};  // end of the TLS handshake; zero for plain HTTP
  std::chrono::microseconds requestStart{0};      // request about to be sent
  std::chrono::microseconds responseStart{0};     // first byte of the answer received
  std::chrono::microseconds total{0};
  long redirectCount = 0;
  bool reusedConnection = false;  // the transfer ran over a connection kept from an earlier one
  std::int64_t requestBodyBytesSent = 0;  // of the last request sent
};

}  // namespace httpkit
