#include <gtest/gtest.h>

#include <string>
#include <unordered_set>

#include "vadar/infra/coding.hpp"
#include "vadar/infra/json.hpp"

namespace vadar {
namespace {

TEST(JSONValue, EqualValuesHashAlike) {
  const JSON one = JSON::parse("1");
  for (const JSON& same : {JSON::parse("1.0"), JSON::fromNlohmann(nlohmann::json(std::uint64_t{1}))}) {
    EXPECT_EQ(one, same);
    EXPECT_EQ(one.hash(), same.hash());
  }
  EXPECT_EQ(JSON::parse("0").hash(), JSON::parse("-0.0").hash());
  EXPECT_NE(one, JSON::parse("true"));
  EXPECT_NE(JSON::parse("\"1\""), one);

  const JSON a = JSON::parse(R"({"x": 1, "y": [1, 2, {"z": null}]})");
  const JSON b = JSON::parse(R"({"y": [1.0, 2, {"z": null}], "x": 1.0})");
  EXPECT_TRUE(std::unordered_set<JSON>{a}.contains(b));
  EXPECT_NE(a, JSON::parse(R"({"x": 1, "y": [2, 1, {"z": null}]})"));
}

TEST(JSONValue, BadTextIsADecodingError) {
  for (const std::string text : {"", "{", "[1,]", "nul", "1 2", "\"\xff\"", "\"\xc3\"", "1e400", "// comment\n1"}) {
    try {
      JSON::parse(text);
      ADD_FAILURE() << "parsed " << text;
    } catch (const DecodingError& error) {
      EXPECT_EQ(error.kind(), DecodingError::Kind::dataCorrupted) << text;
    }
  }
  EXPECT_THROW(JSON::parse(R"({"b": 1})")["b"].stringValue(), DecodingError);
}

TEST(JSONValue, DeepNestingIsRejectedNotRecursedInto) {
  EXPECT_THROW(JSON::parse(std::string(100000, '[') + std::string(100000, ']')), DecodingError);
  const std::string atLimit = std::string(JSON::maxDepth, '[') + std::string(JSON::maxDepth, ']');
  EXPECT_NO_THROW(JSON::parse(atLimit));
  EXPECT_THROW(JSON::parse("[" + atLimit + "]"), DecodingError);
  EXPECT_NO_THROW(JSON::parse("\"" + std::string(10000, '[') + "\""));  // brackets inside strings do not count

  // Objects count as arrays do, closed levels are given back, and the cap is met before an error further on.
  const auto failure = [](const std::string& text) {
    try {
      JSON::parse(text);
    } catch (const DecodingError& error) {
      EXPECT_EQ(error.kind(), DecodingError::Kind::dataCorrupted) << text.substr(0, 40);
      return std::string(error.what());
    }
    return std::string("parsed");
  };
  std::string objects;
  for (std::size_t i = 0; i < JSON::maxDepth; ++i) objects += R"({"a":)";
  objects += "1" + std::string(JSON::maxDepth, '}');
  EXPECT_EQ(failure(objects), "parsed");
  EXPECT_EQ(failure("[" + objects + "]"), "The given data nests deeper than 256 levels.");
  const std::string belowLimit = std::string(JSON::maxDepth - 1, '[') + std::string(JSON::maxDepth - 1, ']');
  EXPECT_EQ(failure("[" + belowLimit + "," + belowLimit + "]"), "parsed");
  EXPECT_EQ(failure(atLimit + " " + atLimit).substr(0, 35), "The given data was not valid JSON. ");  // two texts
  EXPECT_EQ(failure(std::string(100000, '[') + "x"), "The given data nests deeper than 256 levels.");
  EXPECT_EQ(failure("[" + atLimit.substr(0, JSON::maxDepth) + "\"x"), "The given data nests deeper than 256 levels.");
  EXPECT_EQ(failure(atLimit + "]").substr(0, 35), "The given data was not valid JSON. ");

  nlohmann::json deep = nlohmann::json::array();
  for (std::size_t i = 0; i < JSON::maxDepth + 5; ++i) deep = nlohmann::json::array({std::move(deep)});
  EXPECT_THROW(JSON::fromNlohmann(deep), DecodingError);
  EXPECT_THROW(JSON::fromNlohmann(nlohmann::json(std::nan(""))), DecodingError);
}

}  // namespace
}  // namespace vadar
