// How a `Request` becomes the URL and head of what goes on the wire, checked without sending anything.
#include <gtest/gtest.h>

#include "test_support.hpp"
#include "url_builder.hpp"

namespace {

using httpkit::buildURL;
using httpkit::URLError;

TEST(URLBuilding, PathsJoinTheBaseAndAreNeverEncodedAgain) {
  const std::string h = "https://h.example";
  const struct {
    std::optional<std::string> base;
    std::string path;
    std::vector<httpkit::QueryItem> query;
    std::string url;
  } cases[] = {
      {h, "", {}, h + "/"},
      {h + "/", "v1/client", {}, h + "/v1/client"},
      {h + "/base/", "/v1/me", {}, h + "/base/v1/me"},
      {"http://127.0.0.1:8080/base", "v1/me/", {}, "http://127.0.0.1:8080/base/v1/me/"},
      {h, "/v1/users/a%2Fb%20c", {}, h + "/v1/users/a%2Fb%20c"},  // an encoded slash is no separator
      {h, "https://other.example/x?y=1", {}, "https://other.example/x?y=1"},
      {std::nullopt, "https://other.example/x", {}, "https://other.example/x"},
      {h, "/s", {{"force", std::nullopt}, {"a", "1"}}, h + "/s?force&a=1"},
      {h, "/s", {{"q", "a b&c=d+e#f"}, {"name", "Zoë"}}, h + "/s?q=a%20b%26c%3Dd%2Be%23f&name=Zo%C3%AB"},
      {h, "/s", {{"email", "ann@example.com"}, {"empty", ""}}, h + "/s?email=ann@example.com&empty="},
      // A query in the path comes first; the base URL's own query and fragment do not leak in.
      {h + "/?k=v#top", "/s?x=1", {{"_is_native", "true"}}, h + "/s?x=1&_is_native=true"},
  };
  for (const auto& c : cases) EXPECT_EQ(buildURL(c.base, c.path, c.query), c.url) << c.path;
  EXPECT_EQ(httpkit::AnyRequest("").path, "/");
}

TEST(URLBuilding, InvalidBaseOrPathIsABadURLError) {
  const std::pair<std::optional<std::string>, std::string> cases[] = {
      {"not a url", "/x"}, {"ftp://files.example", "/x"}, {"https://", "/x"}, {std::nullopt, "/x"},
      {"https://h.example", "/with space"}, {"https://h.example", "//evil.example/x"}, {"https://h.example", "/bad%zz"}};
  for (const auto& [base, path] : cases) {
    try {
      buildURL(base, path, {});
      ADD_FAILURE() << base.value_or("no base") << " " << path << " built";
    } catch (const URLError& e) {
      EXPECT_EQ(e.code(), URLError::Code::badURL) << path;
      EXPECT_TRUE(base || std::string(e.what()).find("no base URL") != std::string::npos) << e.what();
    }
  }
}

TEST(URLRequestBuilding, ASessionContentTypeIsNotOverriddenPerRequest) {
  httpkit::AnyRequest request("/v1/sign_ins", httpkit::HTTPMethod::post, {}, nlohmann::json{{"identifier", "ann"}});
  EXPECT_EQ(httpkit_tests::makeClient("https://h.example")->makeURLRequest(request).headers.value("content-type"),
            "application/json");
  auto formClient = httpkit_tests::makeClient("https://h.example", nullptr, [](auto& c) {
    c.sessionConfiguration.additionalHTTPHeaders.set("Content-Type", "application/x-www-form-urlencoded");
  });
  EXPECT_FALSE(formClient->makeURLRequest(request).headers.contains("Content-Type"));
}

}  // namespace
