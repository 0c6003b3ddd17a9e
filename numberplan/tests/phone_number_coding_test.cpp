// JSON coding of PhoneNumber: the properties shape, E.164 through an engine, and how the strategy is chosen.
#include <chrono>
#include <future>
#include <thread>

#include <gtest/gtest.h>

#include "numberplan/phone_number_coding.hpp"
#include "numberplan/phone_number_error.hpp"
#include "phone_fixture.hpp"

namespace numberplan {
namespace {

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

TEST_F(PhoneNumberCodingTest, PropertiesHaveSevenKeysWithNulls) {
  const PhoneNumber number("020 7946 0000", 44, false, 2079460000, std::nullopt, PhoneNumberType::fixedLine,
                           std::nullopt);
  const nlohmann::json json = encodePhoneNumber(number);
  EXPECT_EQ(json, nlohmann::json::parse(R"({"numberString": "020 7946 0000", "countryCode": 44,
      "leadingZero": false, "nationalNumber": 2079460000, "numberExtension": null, "type": "fixedLine",
      "regionID": null})"));

  const PhoneNumber decoded = decodePhoneNumber(json);
  EXPECT_EQ(decoded, number);
  EXPECT_EQ(decoded.numberString, number.numberString);
  EXPECT_EQ(decoded.type, PhoneNumberType::fixedLine);
  EXPECT_EQ(decoded.regionID, std::nullopt);
}

TEST_F(PhoneNumberCodingTest, PropertiesDecodingChecksKeysAndTypes) {
  nlohmann::json json = encodePhoneNumber(engine->parse("650 253 0000 x7", "US", false));
  json.erase("numberExtension");
  json.erase("regionID");
  const PhoneNumber withoutOptionals = decodePhoneNumber(json);
  EXPECT_EQ(withoutOptionals.numberExtension, std::nullopt);

  for (const char* key : {"numberString", "countryCode", "leadingZero", "nationalNumber", "type"}) {
    nlohmann::json missing = json;
    missing.erase(key);
    EXPECT_THROW(decodePhoneNumber(missing), PhoneNumberCodingError) << key;
  }
  nlohmann::json wrong = json;
  wrong["countryCode"] = "1";
  EXPECT_THROW(decodePhoneNumber(wrong), PhoneNumberCodingError);
  wrong = json;
  wrong["countryCode"] = -1;
  EXPECT_THROW(decodePhoneNumber(wrong), PhoneNumberCodingError);
  wrong = json;
  wrong["type"] = "landline";
  EXPECT_THROW(decodePhoneNumber(wrong), PhoneNumberCodingError);
  wrong = json;
  wrong["numberExtension"] = 7;
  EXPECT_THROW(decodePhoneNumber(wrong), PhoneNumberCodingError);
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

TEST(PhoneNumberCodingConcurrency, DefaultsAreSafeToShare) {
  const auto engine = testing::fixtureEngine();
  auto writer = std::async(std::launch::async, [&] {
    for (int i = 0; i < 500; ++i) {
      PhoneNumberEncodingUtils::setDefaultStrategy(i % 2 ? PhoneNumberEncodingStrategy::e164
                                                         : PhoneNumberEncodingStrategy::properties);
      PhoneNumberEncodingUtils::setDefaultUtility([engine] { return engine; });
    }
  });
  auto reader = std::async(std::launch::async, [&] {
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
