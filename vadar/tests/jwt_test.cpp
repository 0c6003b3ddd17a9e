#include <gtest/gtest.h>

#include "foundation/base64.hpp"
#include "foundation/log.hpp"
#include "vadar/jwt.hpp"
#include "vadar/token_resource.hpp"

namespace vadar {
namespace {

std::string part(std::string_view json) { return foundation::base64UrlEncode(foundation::toBytes(json)); }
std::string token(std::string_view payload) { return part(R"({"alg":"RS256"})") + "." + part(payload) + ".sig"; }

JWTDecodeError::Kind failureKind(std::string_view text) {
  try {
    decodeJWT(text);
  } catch (const JWTDecodeError& error) {
    return error.kind();
  }
  ADD_FAILURE() << "decoded " << text;
  return JWTDecodeError::Kind::invalidJSON;
}

TEST(JWTDecoding, ReadsHeaderAndClaims) {
  const JWT jwt = decodeJWT(token(R"({"sub":"user_1","exp":1700000000})"));
  EXPECT_EQ(jwt.header["alg"].stringValue(), "RS256");
  EXPECT_EQ(jwt.body["sub"].stringValue(), "user_1");
  EXPECT_EQ(jwt.signature, "sig");
}

TEST(JWTDecoding, MalformedTokensFailWithTheirKind) {
  EXPECT_EQ(failureKind("a.b"), JWTDecodeError::Kind::invalidPartCount);
  EXPECT_EQ(failureKind("a.b.c.d"), JWTDecodeError::Kind::invalidPartCount);
  EXPECT_EQ(failureKind(""), JWTDecodeError::Kind::invalidPartCount);
  EXPECT_EQ(failureKind("***." + part("{}") + ".s"), JWTDecodeError::Kind::invalidBase64URL);
  EXPECT_EQ(failureKind(part("{}") + ".a=b." + "s"), JWTDecodeError::Kind::invalidBase64URL);
  EXPECT_EQ(failureKind(part("{}") + "." + part("not json") + ".s"), JWTDecodeError::Kind::invalidJSON);
  EXPECT_EQ(failureKind(part("{}") + "." + part("[1]") + ".s"), JWTDecodeError::Kind::invalidJSON);
  EXPECT_EQ(failureKind(part("{}") + "." + part(std::string(5000, '[')) + ".s"), JWTDecodeError::Kind::invalidJSON);
}

TEST(JWTExpiry, NumberOrNumericTextCounts) {
  const auto at = [](std::string_view payload) { return decodeJWT(token(payload)).expiresAt(); };
  EXPECT_EQ(at(R"({"exp":1700000000})"), Date(std::chrono::seconds(1700000000)));
  EXPECT_EQ(at(R"({"exp":1700000000.5})"), Date(std::chrono::milliseconds(1700000000500)));
  EXPECT_EQ(at(R"({"exp":"1700000000"})"), Date(std::chrono::seconds(1700000000)));
  EXPECT_EQ(at(R"({"exp":"1.7e9"})"), Date(std::chrono::seconds(1700000000)));
  EXPECT_FALSE(at(R"({})"));
  EXPECT_FALSE(at(R"({"exp":true})"));
  EXPECT_FALSE(at(R"({"exp":null})"));
  EXPECT_FALSE(at(R"({"exp":"soon"})"));
  EXPECT_FALSE(at(R"({"exp":"17e8 "})"));
  EXPECT_FALSE(at(R"({"exp":" 17"})"));
  EXPECT_FALSE(at(R"({"exp":"nan"})"));
  EXPECT_FALSE(at(R"({"exp":[1]})"));
}

TEST(JWTExpiry, HugeValuesAreClampedNotOverflowed) {
  const auto far = decodeJWT(token(R"({"exp":1e300})")).expiresAt();
  ASSERT_TRUE(far);
  EXPECT_GT(*far, Date(std::chrono::seconds(6'000'000'000)));
  EXPECT_GT(*far - std::chrono::system_clock::now(), std::chrono::hours(24 * 365 * 100));
  const auto past = decodeJWT(token(R"({"exp":-1e300})")).expiresAt();
  ASSERT_TRUE(past);
  EXPECT_LT(*past - std::chrono::system_clock::now(), std::chrono::seconds(0));
}

TEST(TokenResources, DecodedJWTLogsAndGivesNoneOnFailure) {
  std::vector<std::string> lines;
  auto previous = foundation::setLogSink([&](foundation::LogLevel, std::string_view line) { lines.emplace_back(line); });
  EXPECT_FALSE(TokenResource{"garbage"}.decodedJWT());
  EXPECT_TRUE(TokenResource{token(R"({"exp":1})")}.decodedJWT());
  foundation::setLogSink(previous);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("Failed to decode JWT"), std::string::npos);
  EXPECT_NE(lines[0].find("decodedJWT"), std::string::npos);
  EXPECT_EQ(encodeJSON(decodeJSON<TokenResource>(R"({"jwt":"a.b.c","x":1})")), R"({"jwt":"a.b.c"})");
}

}  // namespace
}  // namespace vadar
