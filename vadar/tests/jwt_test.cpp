#include <gtest/gtest.h>

#include "foundation/base64.hpp"
#include "vadar/infra/jwt.hpp"

namespace vadar {
namespace {

std::string part(std::string_view json) { return foundation::base64UrlEncode(foundation::toBytes(json)); }
std::string token(std::string_view payload) { return part(R"({"alg":"RS256"})") + "." + part(payload) + ".sig"; }

TEST(JWTDecoding, ReadsClaimsAndNamesWhatIsMalformed) {
  const JWT jwt = decodeJWT(token(R"({"sub":"user_1","exp":1700000000})"));
  EXPECT_EQ(jwt.header["alg"].stringValue(), "RS256");
  EXPECT_EQ(jwt.body["sub"].stringValue(), "user_1");
  EXPECT_EQ(jwt.signature, "sig");

  using Kind = JWTDecodeError::Kind;
  for (const auto& [text, kind] : std::vector<std::pair<std::string, Kind>>{
           {"a.b", Kind::invalidPartCount},
           {"a.b.c.d", Kind::invalidPartCount},
           {"***." + part("{}") + ".s", Kind::invalidBase64URL},
           {part("{}") + ".a=b.s", Kind::invalidBase64URL},
           {part("{}") + "." + part("[1]") + ".s", Kind::invalidJSON},
           {part("{}") + "." + part(std::string(5000, '[')) + ".s", Kind::invalidJSON}}) {
    try {
      decodeJWT(text);
      ADD_FAILURE() << "decoded " << text;
    } catch (const JWTDecodeError& error) {
      EXPECT_EQ(error.kind(), kind) << text;
    }
  }
}

TEST(JWTExpiry, NumberOrNumericTextCounts) {
  const auto at = [](std::string_view payload) { return decodeJWT(token(payload)).expiresAt(); };
  EXPECT_EQ(at(R"({"exp":1700000000})"), Date(std::chrono::seconds(1700000000)));
  EXPECT_EQ(at(R"({"exp":1700000000.5})"), Date(std::chrono::milliseconds(1700000000500)));
  EXPECT_EQ(at(R"({"exp":"1700000000"})"), Date(std::chrono::seconds(1700000000)));
  EXPECT_EQ(at(R"({"exp":"1.7e9"})"), Date(std::chrono::seconds(1700000000)));
  for (const char* payload : {R"({})", R"({"exp":true})", R"({"exp":null})", R"({"exp":"soon"})", R"({"exp":"17e8 "})",
                              R"({"exp":" 17"})", R"({"exp":"nan"})", R"({"exp":[1]})"})
    EXPECT_FALSE(at(payload)) << payload;
  // Huge values are clamped, not overflowed.
  const auto far = at(R"({"exp":1e300})");
  ASSERT_TRUE(far);
  EXPECT_GT(*far, Date(std::chrono::seconds(6'000'000'000)));
  const auto past = at(R"({"exp":-1e300})");
  ASSERT_TRUE(past);
  EXPECT_LT(*past - std::chrono::system_clock::now(), std::chrono::seconds(0));
}

}  // namespace
}  // namespace vadar
