// How a `Request` becomes the URL and head of what goes on the wire, checked without sending anything.
#include <gtest/gtest.h>

#include "test_support.hpp"
#include "url_builder.hpp"

namespace {

using httpkit::AnyRequest;
using httpkit::HTTPMethod;
using httpkit::URLError;

std::string urlFor(const std::optional<std::string>& base, const std::string& path,
                   std::vector<httpkit::QueryItem> query = {}) {
  return httpkit::buildURL(base, path, query);
}

URLError::Code badURLCode(const std::function<void()>& f) {
  try {
    f();
  } catch (const URLError& e) {
    return e.code();
  }
  return URLError::Code::unknown;
}

TEST(URLBuilding, PathIsJoinedToTheBaseURLAndNeverEncodedAgain) {
  EXPECT_EQ(urlFor("https://api.example.com", ""), "https://api.example.com/");
  EXPECT_EQ(AnyRequest("").path, "/");
  EXPECT_EQ(urlFor("https://api.example.com", "/v1/client"), "https://api.example.com/v1/client");
  EXPECT_EQ(urlFor("https://api.example.com/", "v1/client"), "https://api.example.com/v1/client");
  EXPECT_EQ(urlFor("https://api.example.com/base/", "/v1/me"), "https://api.example.com/base/v1/me");
  EXPECT_EQ(urlFor("http://127.0.0.1:8080/base", "v1/me/"), "http://127.0.0.1:8080/base/v1/me/");
  // Already percent-encoded segments stay as they are: an encoded slash is not a separator.
  EXPECT_EQ(urlFor("https://h.example", "/v1/users/a%2Fb%20c"), "https://h.example/v1/users/a%2Fb%20c");
  // An absolute URL as the path is used instead of the base URL.
  EXPECT_EQ(urlFor("https://h.example", "https://other.example/x?y=1"), "https://other.example/x?y=1");
  EXPECT_EQ(urlFor(std::nullopt, "https://other.example/x"), "https://other.example/x");
}

TEST(URLBuilding, QueryItemsAreEncodedAndBareNamesStayBare) {
  EXPECT_EQ(urlFor("https://h.example", "/s", {{"force", std::nullopt}, {"a", "1"}}), "https://h.example/s?force&a=1");
  EXPECT_EQ(urlFor("https://h.example", "/s", {{"q", "a b&c=d+e#f"}}), "https://h.example/s?q=a%20b%26c%3Dd%2Be%23f");
  EXPECT_EQ(urlFor("https://h.example", "/s", {{"email", "ann@example.com"}, {"empty", ""}}),
            "https://h.example/s?email=ann@example.com&empty=");
  EXPECT_EQ(urlFor("https://h.example", "/s", {{"name", "Zoë"}}), "https://h.example/s?name=Zo%C3%AB");
  // A query already in the path comes first; the base URL's own query and fragment do not leak in.
  EXPECT_EQ(urlFor("https://h.example/?k=v#top", "/s?x=1", {{"_is_native", "true"}}),
            "https://h.example/s?x=1&_is_native=true");
}

TEST(URLBuilding, InvalidBaseOrPathIsABadURLError) {
  EXPECT_EQ(badURLCode([] { urlFor("not a url", "/x"); }), URLError::Code::badURL);
  EXPECT_EQ(badURLCode([] { urlFor("ftp://files.example", "/x"); }), URLError::Code::badURL);
  EXPECT_EQ(badURLCode([] { urlFor("https://", "/x"); }), URLError::Code::badURL);
  EXPECT_EQ(badURLCode([] { urlFor(std::nullopt, "/x"); }), URLError::Code::badURL);
  EXPECT_EQ(badURLCode([] { urlFor("https://h.example", "/with space"); }), URLError::Code::badURL);
  EXPECT_EQ(badURLCode([] { urlFor("https://h.example", "//evil.example/x"); }), URLError::Code::badURL);
  EXPECT_EQ(badURLCode([] { urlFor("https://h.example", "/bad%zz"); }), URLError::Code::badURL);
  try {
    urlFor(std::nullopt, "/v1/me");
    FAIL() << "no error";
  } catch (const URLError& e) {
    EXPECT_NE(std::string(e.what()).find("no base URL"), std::string::npos) << e.what();
  }
}

TEST(URLRequestBuilding, HeadersAndJSONBody) {
  auto client = httpkit_tests::makeClient("https://h.example");
  AnyRequest request("/v1/sign_ins", HTTPMethod::post, {}, nlohmann::json{{"identifier", "ann"}},
                     {{"X-Trace", "1"}});
  const httpkit::URLRequest urlRequest = client->makeURLRequest(request);
  EXPECT_EQ(urlRequest.url, "https://h.example/v1/sign_ins");
  EXPECT_EQ(urlRequest.method, HTTPMethod::post);
  EXPECT_EQ(urlRequest.headers.value("x-trace"), "1");
  EXPECT_EQ(urlRequest.headers.value("content-type"), "application/json");
  ASSERT_TRUE(urlRequest.body);
  EXPECT_EQ(std::string(urlRequest.body->begin(), urlRequest.body->end()), R"({"identifier":"ann"})");

  // A content type the session sends with every request is not overridden per request.
  auto formClient = httpkit_tests::makeClient("https://h.example", nullptr, [](auto& c) {
    c.sessionConfiguration.additionalHTTPHeaders.set("Content-Type", "application/x-www-form-urlencoded");
  });
  EXPECT_FALSE(formClient->makeURLRequest(request).headers.contains("Content-Type"));
}

TEST(URLRequestBuilding, EncoderFailureIsAnEncodingError) {
  auto client = httpkit_tests::makeClient("https://h.example");
  // Text that is not UTF-8 cannot become JSON text.
  AnyRequest request("/x", HTTPMethod::post, {}, nlohmann::json{{"name", std::string("\xff\xfe")}});
  EXPECT_THROW(client->makeURLRequest(request), httpkit::EncodingError);
}

TEST(HTTPHeaders, LookupIgnoresLetterCaseAndSetReplaces) {
  httpkit::HTTPHeaders headers{{"Content-Type", "text/plain"}, {"X-One", "1"}};
  EXPECT_EQ(headers.value("content-type"), "text/plain");
  EXPECT_EQ(headers.value("CONTENT-TYPE"), "text/plain");
  EXPECT_FALSE(headers.value("Content-Length"));
  headers.set("content-type", "application/json");
  EXPECT_EQ(headers.size(), 2u);
  EXPECT_EQ(headers.fields().front().second, "application/json");
  headers.append("x-one", "2");
  EXPECT_EQ(headers.value("X-ONE"), "1, 2");
  EXPECT_TRUE(headers.remove("X-one"));
  EXPECT_FALSE(headers.contains("x-one"));
}

}  // namespace
