// The library's values (errors, enumerations, the digit map, PhoneNumber) and the JSON coding of PhoneNumber.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <nlohmann/json.hpp>
#include <thread>
#include <unordered_set>

#include "testing/bounded_task.hpp"
#include "numberplan/values/constants.hpp"
#include "numberplan/values/phone_number.hpp"
#include "numberplan/coding/phone_number_coding.hpp"
#include "numberplan/values/phone_number_error.hpp"
#include "numberplan/values/phone_number_type.hpp"
#include "numberplan/values/possible_length_type.hpp"
#include "phone_fixture.hpp"

namespace numberplan {
namespace {

PhoneNumber number(std::string text, std::uint64_t code, bool zero, std::uint64_t national,
                   std::optional<std::string> extension = std::nullopt,
                   PhoneNumberType type = PhoneNumberType::fixedLine, std::optional<std::string> region = "GB") {
  return PhoneNumber(std::move(text), code, zero, national, std::move(extension), type, std::move(region));
}

TEST(PhoneNumberError, MessagesAndAmbiguousNumbersCompareAsSets) {
  EXPECT_STREQ(PhoneNumberError::tooShort().what(), "The number provided is too short.");
  EXPECT_EQ(PhoneNumberError::metadataNotFound().errorDescription(), "Valid metadata is missing.");
  const PhoneNumber a = number("", 44, false, 1481000000), b = number("", 44, false, 1534000000);
  const auto both = PhoneNumberError::ambiguousNumber({a, b});
  EXPECT_EQ(both, PhoneNumberError::ambiguousNumber({b, a}));
  EXPECT_FALSE(both == PhoneNumberError::ambiguousNumber({a}));
  EXPECT_FALSE(both == PhoneNumberError::invalidNumber());
}

TEST(Enumerations, RawValuesMatchExactly) {
  EXPECT_EQ(fromRawValue<PhoneNumberType>("fixedOrMobile"), PhoneNumberType::fixedOrMobile);
  EXPECT_EQ(fromRawValue<PhoneNumberType>("FixedLine"), std::nullopt);
  EXPECT_EQ(nlohmann::json(PhoneNumberType::tollFree).dump(), "\"tollFree\"");
  EXPECT_THROW(nlohmann::json("local").get<PossibleLengthType>(), nlohmann::json::exception);
}

TEST(DigitMap, HoldsExactlyTheThirtyFourEntries) {
  const auto& map = digitNormalizationMap();
  EXPECT_EQ(map.size(), 34U);
  EXPECT_EQ(map.at("\u0660"), "0");  // Arabic-Indic zero
  EXPECT_EQ(map.at("\u06F4"), "4");  // Extended Arabic-Indic four
  for (const char* same : {"*", "#", ",", ";"}) EXPECT_EQ(map.at(same), same);
  for (const char* absent : {"+", "a", "\uFF10", " "}) EXPECT_FALSE(map.contains(absent)) << absent;
}

TEST(PhoneNumberValue, EqualByNumberNotByText) {
  const PhoneNumber written = number("+44 20 7946 0000", 44, false, 2079460000);
  const PhoneNumber plain = number("02079460000", 44, false, 2079460000, std::nullopt, PhoneNumberType::unknown, {});
  EXPECT_EQ(written, plain);
  EXPECT_EQ((std::unordered_set<PhoneNumber>{written, plain}.size()), 1U);
  EXPECT_NE(written, number("x", 44, true, 2079460000));       // leading zero differs
  EXPECT_NE(written, number("x", 44, false, 2079460000, ""));  // absent versus empty extension
  EXPECT_NE(written, number("x", 1, false, 2079460000));
  EXPECT_EQ(PhoneNumber::notPhoneNumber(), number("anything", 0, false, 0, std::nullopt, PhoneNumberType::mobile));
  EXPECT_FALSE(number("1", 1, false, 1).isNotParsed());
}

TEST(PhoneNumberValue, AdjustedNationalNumberAndUrl) {
  EXPECT_EQ(number("", 39, true, 61).adjustedNationalNumber(), "061");
  EXPECT_EQ(number("+1-650-253-0000;ext=12", 1, false, 1).url(), "tel://+1-650-253-0000;ext=12");
  EXPECT_EQ(number("+1 650 253 0000", 1, false, 1).url(), std::nullopt);
  EXPECT_EQ(number("12%zz", 1, false, 1).url(), std::nullopt);
  EXPECT_EQ(number("12%20", 1, false, 1).url(), "tel://12%20");
}

class PhoneNumberCodingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    PhoneNumberEngine::setLocaleRegionProvider([] { return PhoneNumberEngine::LocaleRegion{"GB", "GB"}; });
  }
  void TearDown() override {
    PhoneNumberEngine::setLocaleRegionProvider(nullptr);
    PhoneNumberDecodingUtils::setDefaultStrategy(PhoneNumberDecodingStrategy::properties);
    PhoneNumberEncodingUtils::setDefaultStrategy(PhoneNumberEncodingStrategy::properties);
    PhoneNumberDecodingUtils::setDefaultUtility(nullptr);
    PhoneNumberEncodingUtils::setDefaultUtility(nullptr);
  }

  std::shared_ptr<PhoneNumberEngine> engine = testing::fixtureEngine();
  PhoneNumberEngineProvider provider() const {
    return [engine = engine] { return engine; };
  }
};

TEST_F(PhoneNumberCodingTest, PropertiesHaveSevenKeysWithNullsAndDecodingChecksKeysAndTypes) {
  const PhoneNumber number("020 7946 0000", 44, false, 2079460000, std::nullopt, PhoneNumberType::fixedLine,
                           std::nullopt);
  nlohmann::json json = encodePhoneNumber(number);
  EXPECT_EQ(json, nlohmann::json::parse(R"({"numberString": "020 7946 0000", "countryCode": 44,
      "leadingZero": false, "nationalNumber": 2079460000, "numberExtension": null, "type": "fixedLine",
      "regionID": null})"));

  EXPECT_EQ(encodePhoneNumber(decodePhoneNumber(json)), json);

  json = encodePhoneNumber(engine->parse("650 253 0000 x7", "US", false));
  json.erase("numberExtension");
  json.erase("regionID");
  EXPECT_EQ(decodePhoneNumber(json).numberExtension, std::nullopt);
  for (const char* key : {"numberString", "countryCode", "leadingZero", "nationalNumber", "type"}) {
    nlohmann::json missing = json;
    missing.erase(key);
    EXPECT_THROW(decodePhoneNumber(missing), PhoneNumberCodingError) << key;
  }
  for (const auto& [key, value] : {std::pair<const char*, nlohmann::json>{"countryCode", "1"}, {"countryCode", -1},
                                   {"type", "landline"}, {"numberExtension", 7}}) {
    nlohmann::json wrong = json;
    wrong[key] = value;
    EXPECT_THROW(decodePhoneNumber(wrong), PhoneNumberCodingError) << key;
  }
  EXPECT_THROW(decodePhoneNumber(nlohmann::json::array()), PhoneNumberCodingError);
}

TEST_F(PhoneNumberCodingTest, E164ThroughTheContextsEngine) {
  PhoneNumberCoderContext context;
  context.setPhoneNumberEncodingStrategy(PhoneNumberEncodingStrategy::e164);
  context.setPhoneNumberDecodingStrategy(PhoneNumberDecodingStrategy::e164);
  context.setPhoneNumberEngine(provider());

  const PhoneNumber number = engine->parse("650 253 0000 x7", "US", false);
  const nlohmann::json json = encodePhoneNumber(number, context);
  EXPECT_EQ(json, "+16502530000");  // E.164 has no extension

  // Parsed with the type check skipped: the type is unknown.
  const PhoneNumber decoded = decodePhoneNumber(json, context);
  EXPECT_EQ(decoded.nationalNumber, 6502530000u);
  EXPECT_EQ(decoded.type, PhoneNumberType::unknown);

  try {
    decodePhoneNumber("+12", context);
    ADD_FAILURE() << "decoded";
  } catch (const PhoneNumberError& error) {
    EXPECT_EQ(error.errorCase(), PhoneNumberError::Case::invalidNumber);
  }
}

TEST_F(PhoneNumberCodingTest, ValuesOfTheWrongTypeFallBackToTheDefaults) {
  PhoneNumberCoderContext context;
  context.userInfo[std::string(PhoneNumberCodingKeys::decodingStrategy)] = std::string("e164");
  context.userInfo[std::string(PhoneNumberCodingKeys::encodingStrategy)] = 1;
  context.userInfo[std::string(PhoneNumberCodingKeys::instance)] = engine;  // an engine, not a provider
  EXPECT_EQ(context.phoneNumberDecodingStrategy(), PhoneNumberDecodingStrategy::properties);
  EXPECT_EQ(context.phoneNumberEncodingStrategy(), PhoneNumberEncodingStrategy::properties);

  // Process-wide defaults apply to such a context.
  int calls = 0;
  PhoneNumberDecodingUtils::setDefaultStrategy(PhoneNumberDecodingStrategy::e164);
  PhoneNumberDecodingUtils::setDefaultUtility([&] {
    ++calls;
    return engine;
  });
  EXPECT_EQ(decodePhoneNumber("+442079460000", context).countryCode, 44u);
  EXPECT_EQ(calls, 1);
}

// A provider that hands out no engine fails the one coding that asked it, as a parse without metadata would.
TEST_F(PhoneNumberCodingTest, AProviderWithoutAnEngineFailsTheCoding) {
  const PhoneNumber number("", 44, false, 2079460000, std::nullopt, PhoneNumberType::fixedLine, "GB");
  const auto expectGeneralError = [](const auto& code, const char* what) {
    try {
      code();
      ADD_FAILURE() << what << " went through without an engine";
    } catch (const PhoneNumberError& error) {
      EXPECT_EQ(error.errorCase(), PhoneNumberError::Case::generalError) << what;
    }
  };
  PhoneNumberCoderContext context;
  context.setPhoneNumberEncodingStrategy(PhoneNumberEncodingStrategy::e164);
  context.setPhoneNumberDecodingStrategy(PhoneNumberDecodingStrategy::e164);
  context.setPhoneNumberEngine([] { return std::shared_ptr<PhoneNumberEngine>(); });
  expectGeneralError([&] { encodePhoneNumber(number, context); }, "encoding");
  expectGeneralError([&] { decodePhoneNumber("+442079460000", context); }, "decoding");

  PhoneNumberDecodingUtils::setDefaultStrategy(PhoneNumberDecodingStrategy::e164);
  PhoneNumberDecodingUtils::setDefaultUtility([] { return std::shared_ptr<PhoneNumberEngine>(); });
  expectGeneralError([&] { decodePhoneNumber("+442079460000"); }, "decoding by the default provider");
  // The properties form needs no engine.
  EXPECT_EQ(encodePhoneNumber(number)["nationalNumber"], 2079460000u);
}

TEST(PhoneNumberCodingConcurrency, DefaultsAreSafeToShare) {
  const auto engine = testing::fixtureEngine();
  auto writer = testing_support::launch([&] {
    for (int i = 0; i < 500; ++i) {
      PhoneNumberEncodingUtils::setDefaultStrategy(i % 2 ? PhoneNumberEncodingStrategy::e164
                                                         : PhoneNumberEncodingStrategy::properties);
      PhoneNumberEncodingUtils::setDefaultUtility([engine] { return engine; });
    }
  });
  auto reader = testing_support::launch([&] {
    const PhoneNumber number("", 44, false, 2079460000, std::nullopt, PhoneNumberType::fixedLine, "GB");
    for (int i = 0; i < 500; ++i) {
      const nlohmann::json json = encodePhoneNumber(number);
      EXPECT_TRUE(json.is_object() || json == "+442079460000");
    }
  });
  ASSERT_EQ(writer.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  ASSERT_EQ(reader.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  writer.get();
  reader.get();
  PhoneNumberEncodingUtils::setDefaultStrategy(PhoneNumberEncodingStrategy::properties);
  PhoneNumberEncodingUtils::setDefaultUtility(nullptr);
}

}  // namespace
}  // namespace numberplan
