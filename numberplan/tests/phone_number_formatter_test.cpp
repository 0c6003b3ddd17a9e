// The text-field formatter: display text, finished text to values, and edits with the caret kept in place.
#include <gtest/gtest.h>

#include "numberplan/phone_number_formatter.hpp"
#include "phone_fixture.hpp"

namespace numberplan {
namespace {

class PhoneNumberFormatterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    PhoneNumberEngine::setLocaleRegionProvider([] { return PhoneNumberEngine::LocaleRegion{"US", "US"}; });
  }
  void TearDown() override { PhoneNumberEngine::setLocaleRegionProvider(nullptr); }

  std::shared_ptr<PhoneNumberEngine> engine = testing::fixtureEngine();

  struct Edit {
    bool accepted;
    std::string text;
    TextRange selection;
  };
  static Edit edit(PhoneNumberFormatter& formatter, std::string text, TextRange selection, const std::string& original,
                   TextRange originalSelection) {
    const bool accepted = formatter.isPartialStringValid(&text, &selection, original, originalSelection, nullptr);
    return {accepted, text, selection};
  }
};

TEST_F(PhoneNumberFormatterTest, ConstructionUsesItsArguments) {
  PhoneNumberFormatter formatter(engine, "GB", false);
  EXPECT_EQ(formatter.defaultRegion(), "GB");
  EXPECT_FALSE(formatter.withPrefix());
  EXPECT_FALSE(formatter.generatesPhoneNumber());
  const PhoneNumber number = engine->parse("+44 20 7946 0000", "US", false);
  EXPECT_EQ(formatter.string(number), "020 7946 0000");
  EXPECT_EQ(formatter.string(std::string("02079460000")), "20 7946 0000");
  EXPECT_EQ(formatter.string(PhoneNumberFormatter::ObjectValue{}), std::nullopt);

  formatter.setWithPrefix(true);
  EXPECT_EQ(formatter.string(number), "+44 20 7946 0000");
  EXPECT_EQ(formatter.string(std::string("02079460000")), "020 7946 0000");
  formatter.setDefaultRegion("US");
  EXPECT_EQ(formatter.string(std::string("6502530000")), "(650) 253-0000");
  EXPECT_EQ(formatter.currentRegion(), "US");
}

TEST_F(PhoneNumberFormatterTest, ObjectValue) {
  PhoneNumberFormatter formatter(engine, "GB");
  PhoneNumberFormatter::ObjectValue value;
  std::string error;
  EXPECT_TRUE(formatter.getObjectValue(&value, "anything", &error));
  EXPECT_EQ(std::get<std::string>(value), "anything");

  formatter.setGeneratesPhoneNumber(true);
  EXPECT_TRUE(formatter.getObjectValue(nullptr, "anything", &error));
  // Parsed for the device's region (US here), not the formatter's GB.
  ASSERT_TRUE(formatter.getObjectValue(&value, "650 253 0000", &error));
  EXPECT_EQ(std::get<PhoneNumber>(value).countryCode, 1u);
  EXPECT_FALSE(formatter.getObjectValue(&value, "020 7946 0000", &error));
  EXPECT_EQ(error, "The number provided is invalid.");
}

TEST_F(PhoneNumberFormatterTest, EditsAreReformattedAndTheCaretFollowsItsDigit) {
  PhoneNumberFormatter formatter(engine, "US");
  // Typing at the end: the caret goes to the end.
  auto result = edit(formatter, "6502", {4, 0}, "650", {3, 0});
  EXPECT_FALSE(result.accepted);
  EXPECT_EQ(result.text, "650-2");
  EXPECT_EQ(result.selection, (TextRange{5, 0}));

  // Typing a 2 in the middle of "650253" before its 2: the caret stays before the old 2, the last "2" of
  // "650-2253", found by counting equal digits from the end.
  result = edit(formatter, "6502253", {4, 0}, "650253", {3, 0});
  EXPECT_EQ(result.text, "650-2253");
  EXPECT_EQ(result.selection, (TextRange{5, 0}));

  // Repeated digits: "5555" -> typed 5 after the first: anchor is the 5 with two 5s after it.
  result = edit(formatter, "55555", {2, 0}, "5555", {1, 0});
  EXPECT_EQ(result.text, "555-55");
  EXPECT_EQ(result.selection, (TextRange{2, 0}));

  // Text already formatted is accepted as it is.
  result = edit(formatter, "650-2", {5, 0}, "650-", {4, 0});
  EXPECT_TRUE(result.accepted);
}

TEST_F(PhoneNumberFormatterTest, WhitespaceEditsAreLeftAlone) {
  PhoneNumberFormatter formatter(engine, "US");
  EXPECT_TRUE(edit(formatter, "650 ", {4, 0}, "650", {3, 0}).accepted);
  EXPECT_TRUE(edit(formatter, "650\n2", {4, 0}, "6502", {3, 0}).accepted);
  // A selection of spaces deleted.
  EXPECT_TRUE(edit(formatter, "6502", {3, 0}, "650  2", {3, 2}).accepted);
  // Backspace over a space with no selection (the inserted length is -1).
  EXPECT_TRUE(edit(formatter, "6502", {3, 0}, "650 2", {4, 0}).accepted);
  // Backspace over a digit with no selection is an ordinary edit.
  const auto result = edit(formatter, "650253", {5, 0}, "6502530", {7, 0});
  EXPECT_FALSE(result.accepted);
  EXPECT_EQ(result.text, "650-253");
}

TEST_F(PhoneNumberFormatterTest, OutOfRangeSelectionsAreClamped) {
  PhoneNumberFormatter formatter(engine, "US");
  auto result = edit(formatter, "6502", {40, 7}, "650", {-5, 99});
  EXPECT_EQ(result.text, "650-2");
  EXPECT_EQ(result.selection, (TextRange{5, 0}));
  std::string text = "6502";
  EXPECT_TRUE(formatter.isPartialStringValid(&text, nullptr, "650", {3, 0}, nullptr));
  EXPECT_EQ(text, "6502");
}

}  // namespace
}  // namespace numberplan
