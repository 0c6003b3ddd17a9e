#include <gtest/gtest.h>

#include <string>
#include <unordered_set>

#include "vadar/coding.hpp"
#include "vadar/json.hpp"

namespace vadar {
namespace {

TEST(JSONValue, NumbersEqualByValueAndHashAlike) {
  const JSON one = JSON::parse("1");
  const JSON oneFloat = JSON::parse("1.0");
  const JSON oneUnsigned = JSON::fromNlohmann(nlohmann::json(std::uint64_t{1}));
  EXPECT_EQ(one, oneFloat);
  EXPECT_EQ(one, oneUnsigned);
  EXPECT_EQ(one.hash(), oneFloat.hash());
  EXPECT_EQ(one.hash(), oneUnsigned.hash());
  EXPECT_EQ(JSON::parse("0").hash(), JSON::parse("-0.0").hash());
  EXPECT_NE(JSON::parse("1"), JSON::parse("1.5"));
  EXPECT_NE(JSON::parse("1"), JSON::parse("true"));
  EXPECT_NE(JSON::parse("\"1\""), JSON::parse("1"));
}

TEST(JSONValue, ObjectsCompareByMembersWhateverTheOrder) {
  const JSON a = JSON::parse(R"({"x": 1, "y": [1, 2, {"z": null}]})");
  const JSON b = JSON::parse(R"({"y": [1.0, 2, {"z": null}], "x": 1.0})");
  EXPECT_EQ(a, b);
  EXPECT_EQ(a.hash(), b.hash());
  std::unordered_set<JSON> set{a};
  EXPECT_TRUE(set.contains(b));
  EXPECT_NE(a, JSON::parse(R"({"x": 1, "y": [2, 1, {"z": null}]})"));
  EXPECT_NE(a, JSON::parse(R"({"x": 1})"));
}

TEST(JSONValue, ReadsAndDumps) {
  const JSON value = JSON::parse(R"({"b": [true, "t"], "a": null})");
  EXPECT_TRUE(value["a"].isNull());
  EXPECT_TRUE(value.contains("a"));
  EXPECT_FALSE(value.contains("missing"));
  EXPECT_TRUE(value["missing"].isNull());
  EXPECT_TRUE(value["b"][0].boolValue());
  EXPECT_EQ(value["b"][1].stringValue(), "t");
  EXPECT_TRUE(value["b"][7].isNull());
  EXPECT_EQ(value.dump(), R"({"a":null,"b":[true,"t"]})");
  EXPECT_THROW(value["b"].stringValue(), DecodingError);
  EXPECT_TRUE(JSON(std::numeric_limits<double>::infinity()).isNull());
}

TEST(JSONValue, BadTextIsADecodingError) {
  for (const std::string text : {"", "{", "[1,]", "{\"a\" 1}", "nul", "1 2", "\"\xff\"", "\"\xc3\"", "1e400",
                                 "-1e400", "{\"a\":1}}", "// comment\n1"}) {
    SCOPED_TRACE(text);
    try {
      JSON::parse(text);
      ADD_FAILURE() << "parsed";
    } catch (const DecodingError& error) {
      EXPECT_EQ(error.kind(), DecodingError::Kind::dataCorrupted);
    }
  }
}

TEST(JSONValue, DeepNestingIsRejectedNotRecursedInto) {
  const std::string deep = std::string(100000, '[') + std::string(100000, ']');
  EXPECT_THROW(JSON::parse(deep), DecodingError);
  const std::string deepObjects = [] {
    std::string text;
    for (int i = 0; i < 50000; ++i) text += "{\"a\":";
    return text + "1" + std::string(50000, '}');
  }();
  EXPECT_THROW(JSON::parse(deepObjects), DecodingError);

  const std::string atLimit = std::string(JSON::maxDepth, '[') + std::string(JSON::maxDepth, ']');
  EXPECT_NO_THROW(JSON::parse(atLimit));
  const std::string overLimit = "[" + atLimit + "]";
  EXPECT_THROW(JSON::parse(overLimit), DecodingError);
  // Brackets inside strings do not count.
  EXPECT_NO_THROW(JSON::parse("\"" + std::string(10000, '[') + "\""));
  EXPECT_NO_THROW(JSON::parse(R"(["\"[[[[", 1])"));
}

TEST(JSONValue, AdoptingAProgrammaticValueChecksItToo) {
  nlohmann::json deep = nlohmann::json::array();
  for (std::size_t i = 0; i < JSON::maxDepth + 5; ++i) deep = nlohmann::json::array({std::move(deep)});
  EXPECT_THROW(JSON::fromNlohmann(deep), DecodingError);
  EXPECT_THROW(JSON::fromNlohmann(nlohmann::json(std::nan(""))), DecodingError);
}

}  // namespace
}  // namespace vadar
