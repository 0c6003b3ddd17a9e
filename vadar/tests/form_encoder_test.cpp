#include <gtest/gtest.h>

#include "vadar/infra/url_encoded_form_encoder.hpp"

namespace vadar {
namespace {

std::string form(std::string_view json) { return URLEncodedFormEncoder().encodeToString(JSON::parse(json)); }

TEST(URLEncodedForm, SortsKeysAndEscapesValues) {
  EXPECT_EQ(form(R"({"last_name": "Li", "first_name": "Ann Marie", "note": "a:b"})"),
            "first_name=Ann%20Marie&last_name=Li&note=a%3Ab");
  EXPECT_EQ(form(R"({"q": "/path?x=1&y=#z[]@!$'()*+,;"})"),
            "q=/path?x%3D1%26y%3D%23z%5B%5D%40%21%24%27%28%29%2A%2B%2C%3B");
  EXPECT_EQ(form(R"({"unreserved": "-._~AZaz09", "utf8": "é"})"), "unreserved=-._~AZaz09&utf8=%C3%A9");
  EXPECT_EQ(form(R"({"yes": true, "no": false, "gone": null, "n": 1, "f": 2.5, "big": 12345678901234})"),
            "big=12345678901234&f=2.5&n=1&no=0&yes=1");
  EXPECT_EQ(form(R"({"firstName": "A", "already_snake": "B"})"), "already_snake=B&first_name=A");
  EXPECT_EQ(URLEncodedFormEncoder::convertToSnakeCase("myURLProperty"), "my_url_property");
}

TEST(URLEncodedForm, NestedKeysAreBracketedThenEscaped) {
  EXPECT_EQ(form(R"({"outer": {"inner": "value"}})"), "outer%5Binner%5D=value");
  EXPECT_EQ(form(R"({"ids": [2, 1], "a": {"b": {"c": true}}})"), "a%5Bb%5D%5Bc%5D=1&ids%5B%5D=2&ids%5B%5D=1");
  EXPECT_EQ(form(R"({"list": [{"k": "v"}, null, []], "empty": {}})"), "list%5B%5D%5Bk%5D=v");
}

TEST(URLEncodedForm, RootMustBeAnObject) {
  const URLEncodedFormEncoder encoder;
  for (const char* root : {"[]", "\"text\"", "1", "null"}) {
    try {
      encoder.encode(JSON::parse(root));
      ADD_FAILURE() << "encoded " << root;
    } catch (const URLEncodedFormEncoder::Error& error) {
      EXPECT_EQ(error.kind(), URLEncodedFormEncoder::Error::Kind::invalidRootObject);
    }
  }
  EXPECT_THROW(encoder.encode(std::nullopt), URLEncodedFormEncoder::Error);
}

TEST(URLEncodedForm, OtherOptionsApply) {
  URLEncodedFormEncoder::Options options;
  options.spaceEncoding = URLEncodedFormEncoder::SpaceEncoding::plusReplaced;
  options.boolEncoding = URLEncodedFormEncoder::BoolEncoding::literal;
  options.keyPathEncoding = URLEncodedFormEncoder::KeyPathEncoding::dots;
  options.nilEncoding = URLEncodedFormEncoder::NilEncoding::dropValue;
  options.alphabetizeKeyValuePairs = false;
  EXPECT_EQ(URLEncodedFormEncoder(options).encodeToString(JSON::parse(R"({"a": {"b": "x y"}, "c": true, "d": null})")),
            "a.b=x+y&c=true&d=");
}

}  // namespace
}  // namespace vadar
