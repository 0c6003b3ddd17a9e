#include "vellum/networking/network_metrics.hpp"

#include <algorithm>

namespace vellum {

namespace {
using Micros = std::chrono::microseconds;

double seconds(Micros value) { return std::chrono::duration<double>(value).count(); }

// Later minus earlier phase end; none when either phase did not happen (curl reports it as zero).
std::optional<double> between(Micros earlier, Micros later) {
  if (earlier <= Micros(0) || later <= Micros(0)) return std::nullopt;
  return seconds(later - earlier);
}
}  // namespace

std::optional<NetworkMetrics> NetworkMetrics::make(const std::vector<TransactionMetrics>& transactions) {
  const auto chosen = std::find_if(transactions.begin(), transactions.end(),
                                   [](const TransactionMetrics& t) { return t.statusCode >= 200 && t.statusCode <= 299; });
  if (chosen == transactions.end()) return std::nullopt;
  const auto& timing = chosen->timings;
  NetworkMetrics metrics;
  metrics.rawMetrics = transactions;
  metrics.retrieveImageDuration = between(timing.requestStart, timing.total);
  const auto& last = transactions.back();
  metrics.totalRequestDuration =
      std::chrono::duration<double>(last.start - transactions.front().start).count() + seconds(last.timings.total);
  // A name lookup starts with the hop, so its end alone gives its length.
  if (timing.nameLookup > Micros(0) && !timing.reusedConnection) metrics.domainLookupDuration = seconds(timing.nameLookup);
  if (!timing.reusedConnection) {
    metrics.connectDuration = between(timing.nameLookup, timing.connect);
    metrics.secureConnectionDuration = between(timing.connect, timing.secureConnection);
  }
  metrics.requestBodyBytesSent = chosen->requestBodyBytesSent;
  metrics.responseBodyBytesReceived = chosen->responseBodyBytesReceived;
  metrics.httpStatusCode = chosen->statusCode;
  metrics.redirectCount = static_cast<int>(transactions.size()) - 1;
  return metrics;
}

std::optional<double> NetworkMetrics::downloadSpeed() const {
  if (responseBodyBytesReceived < 1 || !retrieveImageDuration || *retrieveImageDuration <= 0) return std::nullopt;
  return static_cast<double>(responseBodyBytesReceived) / *retrieveImageDuration;
}

std::optional<double> NetworkMetrics::downloadSpeedMBps() const {
  const auto speed = downloadSpeed();
  if (!speed) return std::nullopt;
  return *speed / 1'048'576.0;
}

}  // namespace vellum
