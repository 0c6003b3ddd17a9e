#include <gtest/gtest.h>

#include "vadar/vadar_api_error.hpp"
#include "vadar/vadar_client_error.hpp"
#include "vadar/vadar_error_response.hpp"
#include "vadar/vadar_paginated_response.hpp"

namespace vadar {
namespace {

TEST(VadarAPIErrors, ErrorBodyDecodes) {
  const auto body = decodeJSON<VadarErrorResponse>(R"({"errors": [{"code": "authentication_invalid"}]})");
  ASSERT_EQ(body.errors.size(), 1u);
  EXPECT_EQ(body.errors[0], VadarAPIError("authentication_invalid"));
  EXPECT_FALSE(body.vadarTraceId);

  EXPECT_TRUE(decodeJSON<VadarErrorResponse>(R"({"errors": []})").errors.empty());
  EXPECT_THROW(decodeJSON<VadarErrorResponse>(R"({"vadar_trace_id": "t"})"), DecodingError);
  EXPECT_THROW(decodeJSON<VadarErrorResponse>(R"({"errors": [{"code": "a"}, {"message": "no code"}]})"),
               DecodingError);
  EXPECT_THROW(decodeJSON<VadarErrorResponse>(R"({"errors": [{"code": "a", "message": 3}]})"), DecodingError);
}

TEST(VadarAPIErrors, FullErrorRoundTripsAndNullsAreAbsent) {
  const auto text = R"({"code":"form_param_invalid","long_message":"Long","message":"Short",)"
                    R"("meta":{"param_name":"email_address"},"vadar_trace_id":"trace"})";
  const auto error = decodeJSON<VadarAPIError>(text);
  EXPECT_EQ(error.longMessage, "Long");
  EXPECT_EQ(error.meta, JSON::parse(R"({"param_name":"email_address"})"));
  EXPECT_EQ(encodeJSON(error), text);

  const auto sparse = decodeJSON<VadarAPIError>(R"({"code":"x","message":null,"meta":null,"other":1})");
  EXPECT_FALSE(sparse.message);
  EXPECT_FALSE(sparse.meta);
  EXPECT_EQ(encodeJSON(sparse), R"({"code":"x"})");
}

TEST(VadarAPIErrors, DescriptionPrefersTheLongMessage) {
  EXPECT_EQ(VadarAPIError("c", "short", "long").errorDescription(), "long");
  EXPECT_STREQ(VadarAPIError("c", "short", "long").what(), "long");
  EXPECT_EQ(VadarAPIError("c", "short").errorDescription(), "short");
  EXPECT_FALSE(VadarAPIError("c").errorDescription());
  EXPECT_STREQ(VadarAPIError("c").what(), "c");
}

TEST(VadarAPIErrors, TraceIdTakesPartInEqualityAndHash) {
  VadarAPIError a("requires_assertion", "m");
  VadarAPIError b = a;
  b.vadarTraceId = "trace";
  EXPECT_NE(a, b);
  EXPECT_NE(a.hash(), b.hash());
  // Presence markers keep an absent message apart from a present empty one.
  EXPECT_NE(VadarAPIError("c", std::nullopt, "").hash(), VadarAPIError("c", "").hash());
  VadarAPIError c("c", std::nullopt, std::nullopt, JSON::parse("1"));
  VadarAPIError d("c", std::nullopt, std::nullopt, JSON::parse("1.0"));
  EXPECT_EQ(c, d);
  EXPECT_EQ(c.hash(), d.hash());
}

TEST(VadarAPIErrors, ThrownAndCaughtKeepsTheFields) {
  try {
    throw VadarAPIError("authentication_invalid", "Signed out", std::nullopt, std::nullopt, "trace");
  } catch (const std::exception& error) {
    const auto* api = dynamic_cast<const VadarAPIError*>(&error);
    ASSERT_NE(api, nullptr);
    EXPECT_EQ(api->vadarTraceId, "trace");
    EXPECT_STREQ(error.what(), "Signed out");
  }
}

TEST(VadarClientErrors, DescriptionIsTheMessage) {
  EXPECT_FALSE(VadarClientError().errorDescription());
  const VadarClientError error("Invalid credential type.");
  EXPECT_EQ(error.errorDescription(), "Invalid credential type.");
  EXPECT_STREQ(error.what(), "Invalid credential type.");
}

TEST(VadarPaginatedResponses, DataAndTotalCountAreRequired) {
  const auto page = decodeJSON<VadarPaginatedResponse<VadarAPIError>>(R"({"data": [], "total_count": 0})");
  EXPECT_TRUE(page.data.empty());
  EXPECT_EQ(page.totalCount, 0);
  EXPECT_THROW(decodeJSON<VadarPaginatedResponse<VadarAPIError>>(R"({"data": []})"), DecodingError);
  const auto full = decodeJSON<VadarPaginatedResponse<VadarAPIError>>(R"({"data": [{"code": "a"}], "total_count": 40})");
  EXPECT_EQ(encodeJSON(full), R"({"data":[{"code":"a"}],"total_count":40})");
}

}  // namespace
}  // namespace vadar
