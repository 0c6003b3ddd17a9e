// The engine's own answers: regions and calling codes, example numbers, possible lengths, the default region.
#include <chrono>
#include <future>

#include <gtest/gtest.h>

#include "numberplan/phone_number_error.hpp"
#include "phone_fixture.hpp"

namespace numberplan {
namespace {

TEST(Engine, TerritoryAnswers) {
  const auto engine = testing::fixtureEngine();
  const auto all = engine->allCountries();
  ASSERT_GE(all.size(), 3u);
  EXPECT_EQ(all[0], "US");
  EXPECT_EQ(all[1], "CA");
  EXPECT_EQ(engine->countries(1), (std::vector<std::string>{"US", "CA"}));
  EXPECT_EQ(engine->countries(7), std::nullopt);
  EXPECT_EQ(engine->mainCountry(599), "AA");
  EXPECT_EQ(engine->mainCountry(7), std::nullopt);
  EXPECT_EQ(engine->countryCode("gb"), 44u);
  EXPECT_EQ(engine->countryCode("XX"), std::nullopt);
  EXPECT_EQ(engine->leadingDigits("CA"), "204|416|604");
  EXPECT_EQ(engine->leadingDigits("US"), std::nullopt);
  ASSERT_NE(engine->metadata("it"), nullptr);
  EXPECT_EQ(engine->metadata("it")->countryCode, 39u);
  ASSERT_NE(engine->metadata(std::uint64_t{599}), nullptr);
  EXPECT_EQ(engine->metadata(std::uint64_t{599})->size(), 3u);

  const PhoneNumber canadian("", 1, false, 4165550100, std::nullopt, PhoneNumberType::unknown, std::nullopt);
  EXPECT_EQ(engine->getRegionCode(canadian), "CA");
  EXPECT_TRUE(engine->isValidPhoneNumber("650 253 0000", "US"));
  EXPECT_FALSE(engine->isValidPhoneNumber("650 253 000", "US"));
}

TEST(Engine, ExampleNumbers) {
  const auto engine = testing::fixtureEngine();
  const auto mobile = engine->getExampleNumber("US", PhoneNumberType::fixedOrMobile);
  ASSERT_TRUE(mobile);
  EXPECT_EQ(mobile->nationalNumber, 6502530001u);  // the mobile example
  EXPECT_EQ(engine->getExampleNumber("US", PhoneNumberType::unknown), std::nullopt);
  EXPECT_EQ(engine->getExampleNumber("US", PhoneNumberType::notParsed), std::nullopt);
  EXPECT_EQ(engine->getExampleNumber("US", PhoneNumberType::voip), std::nullopt);
  EXPECT_EQ(engine->getExampleNumber("XX", PhoneNumberType::mobile), std::nullopt);
  EXPECT_EQ(engine->getFormattedExampleNumber("GB", PhoneNumberType::fixedLine), "+44 20 7946 0000");
  EXPECT_EQ(engine->getFormattedExampleNumber("GB", PhoneNumberType::fixedLine, PhoneNumberFormat::national),
            "020 7946 0000");

  // NI's example has seven digits where eight are valid.
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(engine->getExampleNumber("NI", PhoneNumberType::fixedLine), std::nullopt);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "[NumberPlan] Failed to parse example number for NI region\n");
}

TEST(Engine, PossibleLengths) {
  const auto engine = testing::fixtureEngine();
  EXPECT_EQ(engine->possiblePhoneNumberLengths("US", PhoneNumberType::fixedLine, PossibleLengthType::national),
            std::vector<int>{10});
  EXPECT_EQ(engine->possiblePhoneNumberLengths("US", PhoneNumberType::fixedLine, PossibleLengthType::localOnly),
            std::vector<int>{7});
  EXPECT_TRUE(engine->possiblePhoneNumberLengths("US", PhoneNumberType::mobile, PossibleLengthType::localOnly).empty());
  EXPECT_TRUE(
      engine->possiblePhoneNumberLengths("US", PhoneNumberType::fixedOrMobile, PossibleLengthType::national).empty());
  EXPECT_TRUE(engine->possiblePhoneNumberLengths("XX", PhoneNumberType::mobile, PossibleLengthType::national).empty());
  // Broken ranges in the data: descending, and absurdly wide.
  EXPECT_TRUE(engine->possiblePhoneNumberLengths("US", PhoneNumberType::tollFree, PossibleLengthType::national).empty());
  EXPECT_TRUE(
      engine->possiblePhoneNumberLengths("US", PhoneNumberType::premiumRate, PossibleLengthType::national).empty());
}

TEST(Engine, LengthList) {
  EXPECT_EQ(PhoneNumberEngine::lengthList("7"), std::vector<int>{7});
  EXPECT_EQ(PhoneNumberEngine::lengthList("[4-6]"), (std::vector<int>{4, 5, 6}));
  EXPECT_EQ(PhoneNumberEngine::lengthList("[4-6],8,[10-11]"), (std::vector<int>{4, 5, 6, 8, 10, 11}));
  EXPECT_TRUE(PhoneNumberEngine::lengthList("[x-6]").empty());
  EXPECT_TRUE(PhoneNumberEngine::lengthList("[6-4]").empty());
  EXPECT_TRUE(PhoneNumberEngine::lengthList("[0-2147483647]").empty());
  EXPECT_EQ(PhoneNumberEngine::lengthList("[1-64]").size(), 64u);
  EXPECT_TRUE(PhoneNumberEngine::lengthList("[1-65]").empty());
  EXPECT_EQ(PhoneNumberEngine::lengthList("[6-4],9"), std::vector<int>{9});
}

class DefaultRegion : public ::testing::Test {
 protected:
  void TearDown() override { PhoneNumberEngine::setLocaleRegionProvider(nullptr); }
  static void useLocale(std::optional<std::string> region, std::optional<std::string> country) {
    PhoneNumberEngine::setLocaleRegionProvider([=] { return PhoneNumberEngine::LocaleRegion{region, country}; });
  }
};

TEST_F(DefaultRegion, CandidatesInOrder) {
  useLocale("FR", "DE");
  EXPECT_EQ(PhoneNumberEngine::defaultRegionCode(), "FR");
  useLocale("419", "gb");  // a numeric region is skipped; lower case passes and is upper-cased
  EXPECT_EQ(PhoneNumberEngine::defaultRegionCode(), "GB");
  useLocale(std::nullopt, "USA");
  EXPECT_EQ(PhoneNumberEngine::defaultRegionCode(), "US");
  useLocale(std::nullopt, std::nullopt);
  EXPECT_EQ(PhoneNumberEngine::defaultRegionCode(), "US");
}

TEST_F(DefaultRegion, ProcessLocaleGivesTwoLetters) {
  const std::string region = PhoneNumberEngine::defaultRegionCode();
  ASSERT_EQ(region.size(), 2u);
  EXPECT_TRUE(std::isupper(static_cast<unsigned char>(region[0])) && std::isupper(static_cast<unsigned char>(region[1])));
}

TEST(Engine, MissingMetadataMakesAnEmptyEngine) {
  ::testing::internal::CaptureStdout();
  const PhoneNumberEngine engine([]() -> std::optional<std::vector<std::uint8_t>> {
    throw PhoneNumberError::metadataNotFound();
  });
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "\"ERROR: Unable to load PhoneNumberMetadata.json resource: Valid metadata is missing.\"\n");
  EXPECT_TRUE(engine.allCountries().empty());
  EXPECT_THROW(engine.parse("650 253 0000", "US"), PhoneNumberError);
}

TEST(Engine, DefaultMetadataComesFromTheBundle) {
  const auto bytes = PhoneNumberEngine::defaultMetadataCallback();
  ASSERT_TRUE(bytes);
  EXPECT_GT(bytes->size(), 1000u);
}

}  // namespace
}  // namespace numberplan

namespace numberplan {
namespace {

// One engine shared by threads: the expression pool fills up while they parse and format.
TEST(PhoneNumberEngineConcurrency, ParsesAndFormatsFromSeveralThreads) {
  const auto engine = testing::fixtureEngine();
  std::vector<std::future<void>> workers;
  for (int worker = 0; worker < 4; ++worker) {
    workers.push_back(std::async(std::launch::async, [engine, worker] {
      for (int i = 0; i < 200; ++i) {
        const PhoneNumber number = engine->parse(worker % 2 ? "+44 20 7946 0000" : "650 253 0000", "US", false);
        EXPECT_EQ(engine->format(number, PhoneNumberFormat::international),
                  worker % 2 ? "+44 20 7946 0000" : "+1 650-253-0000");
      }
    }));
  }
  for (auto& worker : workers) ASSERT_EQ(worker.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  for (auto& worker : workers) worker.get();
}

}  // namespace
}  // namespace numberplan
