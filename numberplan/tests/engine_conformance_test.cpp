// The shipped metadata against the whole library: every example number of every region parses to its type and
// region, survives the three layouts, and types back into its national layout keystroke by keystroke.
#include <gtest/gtest.h>

#include "numberplan/partial_formatter.hpp"
#include "numberplan/phone_number_engine.hpp"
#include "numberplan/phone_number_error.hpp"
#include "phone_fixture.hpp"

namespace numberplan {
namespace {

struct Example {
  std::string region;
  PhoneNumberType type;
  std::string number;
};

std::vector<Example> shippedExamples(const PhoneNumberEngine& engine) {
  std::vector<Example> examples;
  for (const MetadataTerritory& territory : engine.metadataManager()->territories()) {
    const std::pair<const std::optional<MetadataPhoneNumberDesc>*, PhoneNumberType> descriptions[] = {
        {&territory.fixedLine, PhoneNumberType::fixedLine},   {&territory.mobile, PhoneNumberType::mobile},
        {&territory.pager, PhoneNumberType::pager},           {&territory.personalNumber, PhoneNumberType::personalNumber},
        {&territory.premiumRate, PhoneNumberType::premiumRate}, {&territory.sharedCost, PhoneNumberType::sharedCost},
        {&territory.tollFree, PhoneNumberType::tollFree},     {&territory.voicemail, PhoneNumberType::voicemail},
        {&territory.voip, PhoneNumberType::voip},             {&territory.uan, PhoneNumberType::uan},
    };
    for (const auto& [description, type] : descriptions) {
      if (*description && (*description)->exampleNumber) {
        examples.push_back({territory.codeID, type, *(*description)->exampleNumber});
      }
    }
  }
  return examples;
}

// Where the fixed-line and mobile patterns both take a number, the library cannot tell them apart.
PhoneNumberType expectedType(const PhoneNumberEngine& engine, const Example& example) {
  if (example.type != PhoneNumberType::fixedLine && example.type != PhoneNumberType::mobile) return example.type;
  const MetadataTerritory* territory = engine.metadata(example.region);
  const auto& parser = *engine.parseManager()->parser();
  if (parser.matchesDescription(example.number, territory->fixedLine) &&
      parser.matchesDescription(example.number, territory->mobile)) {
    return PhoneNumberType::fixedOrMobile;
  }
  return example.type;
}

TEST(EngineConformance, ShippedMetadataHasTheFirstRegions) {
  const auto engine = testing::shippedEngine();
  const auto regions = engine->allCountries();
  for (const char* region : {"US", "CA", "GB", "GG", "JE", "IM", "DE", "FR", "IT", "AU", "JP", "IN", "001"}) {
    EXPECT_NE(std::find(regions.begin(), regions.end(), region), regions.end()) << region;
  }
  EXPECT_GT(shippedExamples(*engine).size(), 30u);
}

TEST(EngineConformance, EveryExampleParsesFormatsAndTypesBack) {
  const auto engine = testing::shippedEngine();
  for (const Example& example : shippedExamples(*engine)) {
    SCOPED_TRACE(example.region + " " + std::string(rawValue(example.type)) + " " + example.number);
    PhoneNumber number;
    try {
      number = engine->parse(example.number, example.region, false);
    } catch (const PhoneNumberError& error) {
      ADD_FAILURE() << "does not parse: " << error.errorDescription();
      continue;
    }
    EXPECT_EQ(number.type, expectedType(*engine, example));
    EXPECT_EQ(number.regionID, example.region);

    for (const PhoneNumberFormat layout :
         {PhoneNumberFormat::e164, PhoneNumberFormat::international, PhoneNumberFormat::national}) {
      const std::string text = engine->format(number, layout, true);
      SCOPED_TRACE(std::string(rawValue(layout)) + " \"" + text + "\"");
      try {
        const PhoneNumber again = engine->parse(text, example.region, false);
        EXPECT_EQ(again, number);
        EXPECT_EQ(again.regionID, number.regionID);
        EXPECT_EQ(again.type, number.type);
      } catch (const PhoneNumberError& error) {
        ADD_FAILURE() << "formatted text does not parse: " << error.errorDescription();
      }
    }

    const std::string national = engine->format(number, PhoneNumberFormat::national, true);
    const std::string digits = engine->parseManager()->parser()->normalizeNumber(national);
    PartialFormatter typing(engine, example.region);
    std::string shown;
    for (std::size_t typed = 1; typed <= digits.size(); ++typed) shown = typing.formatPartial(digits.substr(0, typed));
    EXPECT_EQ(shown, national) << "typed " << digits;
  }
}

}  // namespace
}  // namespace numberplan
