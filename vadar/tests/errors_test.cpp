#include <gtest/gtest.h>

#include <httpkit/errors.hpp>
#include <httpkit/url_error.hpp>

#include "core/error_copies.hpp"

#include "vadar/models/vadar_api_error.hpp"
#include "vadar/models/vadar_client_error.hpp"
#include "vadar/models/vadar_error_response.hpp"
#include "vadar/models/vadar_paginated_response.hpp"

namespace vadar {
namespace {

TEST(VadarAPIErrors, ErrorBodyDecodesStrictly) {
  const auto body = decodeJSON<VadarErrorResponse>(R"({"errors": [{"code": "authentication_invalid"}]})");
  ASSERT_EQ(body.errors.size(), 1u);
  EXPECT_EQ(body.errors[0], VadarAPIError("authentication_invalid"));
  EXPECT_TRUE(decodeJSON<VadarErrorResponse>(R"({"errors": []})").errors.empty());
  EXPECT_THROW(decodeJSON<VadarErrorResponse>(R"({"vadar_trace_id": "t"})"), DecodingError);
  EXPECT_THROW(decodeJSON<VadarErrorResponse>(R"({"errors": [{"code": "a"}, {"message": "no code"}]})"),
               DecodingError);

  const auto text = R"({"code":"form_param_invalid","long_message":"Long","message":"Short",)"
                    R"("meta":{"param_name":"email_address"},"vadar_trace_id":"trace"})";
  EXPECT_EQ(encodeJSON(decodeJSON<VadarAPIError>(text)), text);
  EXPECT_EQ(encodeJSON(decodeJSON<VadarAPIError>(R"({"code":"x","message":null,"meta":null,"other":1})")),
            R"({"code":"x"})");
}

TEST(VadarAPIErrors, TextsAndEquality) {
  EXPECT_STREQ(VadarAPIError("c", "short", "long").what(), "long");
  EXPECT_EQ(VadarAPIError("c", "short").errorDescription(), "short");
  EXPECT_FALSE(VadarAPIError("c").errorDescription());
  EXPECT_STREQ(VadarAPIError("c").what(), "c");
  EXPECT_STREQ(VadarClientError("Invalid credential type.").what(), "Invalid credential type.");

  VadarAPIError a("requires_assertion", "m");
  VadarAPIError b = a;
  b.vadarTraceId = "trace";
  EXPECT_NE(a, b);
  EXPECT_NE(a.hash(), b.hash());
  // An absent message is not a present empty one; 1 and 1.0 in meta are equal and hash alike.
  EXPECT_NE(VadarAPIError("c", std::nullopt, "").hash(), VadarAPIError("c", "").hash());
  VadarAPIError c("c", std::nullopt, std::nullopt, JSON::parse("1"));
  VadarAPIError d("c", std::nullopt, std::nullopt, JSON::parse("1.0"));
  EXPECT_EQ(c, d);
  EXPECT_EQ(c.hash(), d.hash());
}

TEST(VadarPaginatedResponses, DataAndTotalCountAreRequired) {
  EXPECT_THROW(decodeJSON<VadarPaginatedResponse<VadarAPIError>>(R"({"data": []})"), DecodingError);
  const auto full = decodeJSON<VadarPaginatedResponse<VadarAPIError>>(R"({"data": [{"code": "a"}], "total_count": 40})");
  EXPECT_EQ(encodeJSON(full), R"({"data":[{"code":"a"}],"total_count":40})");
}

// One failure handed to many waiters (a token fetch shared by several callers): each waiter's catch must get an
// object of its own, so one waiter's handling never races another's over a shared exception object.
TEST(ErrorCopies, EachWaiterCatchesAnErrorObjectOfItsOwn) {
  // The second waiter catches while the first still holds its object: two objects alive at once can share an
  // address only if they are one.
  auto addressesOf = [](std::exception_ptr error) {
    const auto thrower = core::copyingThrower(error);
    std::vector<const void*> caught;
    try {
      thrower();
    } catch (const std::exception& first) {
      caught.push_back(&first);
      try {
        thrower();
      } catch (const std::exception& second) {
        caught.push_back(&second);
      }
    }
    return caught;
  };
  const std::vector<std::exception_ptr> errors = {
      std::make_exception_ptr(httpkit::APIError::unacceptableStatusCode(503)),
      std::make_exception_ptr(httpkit::URLError(httpkit::URLError::Code::timedOut)),
      std::make_exception_ptr(VadarClientError("x")),
  };
  for (const auto& error : errors) {
    SCOPED_TRACE(&error - errors.data());
    const auto caught = addressesOf(error);
    ASSERT_EQ(caught.size(), 2u);
    EXPECT_NE(caught[0], caught[1]);
  }
  // The copy keeps what a waiter reads.
  try {
    core::copyingThrower(std::make_exception_ptr(httpkit::APIError::unacceptableStatusCode(503)))();
  } catch (const httpkit::APIError& e) {
    EXPECT_EQ(e.statusCode(), 503);
  }
}

}  // namespace
}  // namespace vadar
