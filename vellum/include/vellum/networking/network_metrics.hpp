#pragma once
// NetworkMetrics: the few numbers a caller wants about one image download, condensed from the timings of
// each request the download sent (one per redirect hop).
//
// Example, given const std::vector<vellum::TransactionMetrics>& transactions:
//   if (auto metrics = vellum::NetworkMetrics::make(transactions)) {
//     auto hops = metrics->redirectCount;         // hops before the answer that counted
//     auto speed = metrics->downloadSpeedMBps();  // none without bytes or without a duration
//   }
//
// Values; any thread.
#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

#include "httpkit/task_metrics.hpp"

namespace vellum {

// One request of a download as the engine timed it. Each phase counts from the hop's own start.
struct TransactionMetrics {
  std::chrono::steady_clock::time_point start;
  httpkit::TaskMetrics timings;
  // 0 when no HTTP answer arrived.
  int statusCode = 0;
  std::int64_t requestBodyBytesSent = 0;
  std::int64_t responseBodyBytesReceived = 0;
};

struct NetworkMetrics {
  using Seconds = double;

  // None without a transaction answered 200 to 299; the first such one is the one described.
  static std::optional<NetworkMetrics> make(const std::vector<TransactionMetrics>& transactions);

  std::vector<TransactionMetrics> rawMetrics;
  // From the request going out to the answer's last byte.
  std::optional<Seconds> retrieveImageDuration;
  // The whole download, every hop included.
  Seconds totalRequestDuration = 0;
  std::optional<Seconds> domainLookupDuration;
  // None on a connection kept from an earlier request.
  std::optional<Seconds> connectDuration;
  std::optional<Seconds> secureConnectionDuration;
  std::int64_t requestBodyBytesSent = 0;
  std::int64_t responseBodyBytesReceived = 0;
  std::optional<int> httpStatusCode;
  int redirectCount = 0;

  // Bytes per second; none unless a byte arrived over a positive duration.
  std::optional<double> downloadSpeed() const;
  std::optional<double> downloadSpeedMBps() const;
};

}  // namespace vellum
