#include <gtest/gtest.h>

#include <regex>
#include <stdexcept>
#include <vector>

#include "foundation/log.hpp"
#include "vadar/models/vadar_api_error.hpp"
#include "vadar/models/vadar_client_error.hpp"
#include "vadar/infra/vadar_logger.hpp"

namespace vadar {
namespace {

class CapturedLog {
 public:
  CapturedLog() {
    previous_ = foundation::setLogSink(
        [this](foundation::LogLevel level, std::string_view line) { entries.emplace_back(level, std::string(line)); });
  }
  ~CapturedLog() { foundation::setLogSink(previous_); }
  std::vector<std::pair<foundation::LogLevel, std::string>> entries;

 private:
  foundation::LogSink previous_;
};

class ReasonedError : public std::runtime_error, public LocalizedError {
 public:
  ReasonedError() : std::runtime_error("printed") {}
  std::optional<std::string> errorDescription() const override { return "described"; }
  std::optional<std::string> failureReason() const override { return "because"; }
};

TEST(VadarLoggerLines, InfoHasTheLayoutAndHonoursTheFlag) {
  CapturedLog log;
  VadarLogger::info("hidden", false);
  VadarLogger::info("Loaded", true);
  ASSERT_EQ(log.entries.size(), 1u);
  EXPECT_EQ(log.entries[0].first, foundation::LogLevel::info);
  const std::regex layout(
      R"(\[Vadar\] \[INFO\] \d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3} logger_test\.cpp:\d+ TestBody - Loaded)");
  EXPECT_TRUE(std::regex_match(log.entries[0].second, layout)) << log.entries[0].second;
}

TEST(VadarLoggerLines, ErrorPartsHaveTheirFixedTexts) {
  CapturedLog log;
  VadarLogger::error("No error");
  VadarLogger::error("With error", &static_cast<const std::exception&>(VadarClientError("Unable to go.")));
  VadarLogger::logError(ReasonedError(), "Failed");
  VadarLogger::networkError(VadarAPIError("authentication_invalid", "Signed out"), "/v1/client", 401);
  ASSERT_EQ(log.entries.size(), 4u);
  EXPECT_TRUE(log.entries[0].second.ends_with(" - No error"));
  EXPECT_TRUE(log.entries[1].second.ends_with(" - With error\n   Error: Unable to go.\n   Description: Unable to go."))
      << log.entries[1].second;
  EXPECT_TRUE(log.entries[2].second.ends_with(
      " - Failed\n   Error: printed\n   Description: described\n   Reason: because"));
  EXPECT_EQ(log.entries[3].first, foundation::LogLevel::error);
  EXPECT_NE(log.entries[3].second.find("[Vadar] [ERROR] "), std::string::npos);
  EXPECT_TRUE(log.entries[3].second.ends_with(
      " - Network request failed for endpoint: /v1/client (Status: 401)\n   Error: Signed out\n   Description: Signed out"))
      << log.entries[3].second;
}

}  // namespace
}  // namespace vadar
