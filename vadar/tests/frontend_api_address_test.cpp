// The frontend API address carried in a publishable key, and the host check that keeps a crafted key from
// sending credentials elsewhere.
#include <gtest/gtest.h>

#include <vector>

#include <foundation/base64.hpp>

#include "core/frontend_api_address.hpp"

namespace vadar::core {
namespace {

std::string encodeHost(const std::string& text) {
  return foundation::base64UrlEncode(foundation::toBytes(text), /*padded=*/false);
}

std::optional<std::string> urlOf(const std::string& key) { return deriveFrontendApiUrl(key).url; }

TEST(FrontendApiAddress, DecodesTestAndLiveKeysAndDropsTheLastCodePoint) {
  const std::string encoded = encodeHost("frontend.example.test$");
  EXPECT_EQ(urlOf("pk_test_" + encoded), "https://frontend.example.test");
  EXPECT_EQ(urlOf("junk pk_live_" + encoded), "https://frontend.example.test");
  // With both prefixes the text after the first "pk_live_" is used.
  EXPECT_EQ(urlOf("pk_test_" + encodeHost("other.test$") + "pk_live_" + encoded), "https://frontend.example.test");
  // "front.test" then U+00FF: "/" in the standard alphabet, "_" in the URL-safe one; both are accepted.
  EXPECT_EQ(urlOf("pk_test_ZnJvbnQudGVzdMO/"), "https://front.test");
  EXPECT_EQ(urlOf("pk_test_ZnJvbnQudGVzdMO_"), "https://front.test");
  EXPECT_EQ(urlOf("pk_test_" + encodeHost("front.test\xf0\x9f\x98\x80")), "https://front.test");
  EXPECT_EQ(urlOf("pk_test_" + encodeHost("127.0.0.1:8443$")), "https://127.0.0.1:8443");

  // Trailing white space is part of the captured text and breaks the base64; 4n+1 characters never decode.
  for (const std::string& key : std::vector<std::string>{"pk_live_", "sk_test_" + encoded, "pk_test_" + encoded + " ",
                                                        "pk_test_abcde", "pk_test_" + encodeHost("\xff\xfe.test$")})
    EXPECT_FALSE(urlOf(key)) << key;
}

TEST(FrontendApiAddress, RejectsHostsThatWouldRedirectCredentials) {
  for (const std::string host : {"evil.test/path", "user@evil.test", "evil.test?x", "evil.test#x", "evil.test\\x",
                                 "evil%2etest", "evil test", "evil.test\t", "evil\x01.test", "", "host:", "host:99999",
                                 "host:80:80", ":443"}) {
    const auto derived = deriveFrontendApiUrl("pk_test_" + encodeHost(host + "$"));
    EXPECT_FALSE(derived.url) << host;
    EXPECT_TRUE(derived.rejectedHost) << host;
  }
  EXPECT_TRUE(isAcceptableHost("Front-1.example.TEST:65535"));
  EXPECT_FALSE(isAcceptableHost("ex\xc3\xa4mple.test"));
}

}  // namespace
}  // namespace vadar::core
