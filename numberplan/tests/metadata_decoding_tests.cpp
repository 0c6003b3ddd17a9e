// Decoding of the metadata document: where it is strict (types of present values reject the document) and where
// it is lenient (flags, formats, leading digits fall back quietly).
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "numberplan/metadata_types.hpp"

namespace numberplan {
namespace {

using nlohmann::json;

json territoryJson(json extra = json::object()) {
  json territory = {{"id", "GB"}, {"countryCode", "44"}, {"internationalPrefix", "00"}};
  if (!extra.is_null()) territory.update(extra);
  return territory;
}

std::string documentOf(const json& territories) {
  return json{{"phoneNumberMetadata", {{"territories", {{"territory", territories}}}}}}.dump();
}

MetadataTerritory decodeOne(const json& extra) {
  auto metadata = decodePhoneNumberMetadata(documentOf(json::array({territoryJson(extra)})));
  EXPECT_EQ(metadata.territories.size(), 1U);
  return metadata.territories.at(0);
}

bool rejects(const json& territory) {
  try {
    decodePhoneNumberMetadata(documentOf(json::array({territory})));
    return false;
  } catch (const MetadataDecodingError&) {
    return true;
  }
}

TEST(MetadataDecoding, ReadsEveryFieldOfATerritory) {
  const json desc = {{"exampleNumber", "1212345678"},
                     {"nationalNumberPattern", "1\\d{9}"},
                     {"possibleNumberPattern", "\\d{10}"},
                     {"possibleLengths", {{"national", "[9-10]"}, {"localOnly", "6"}}}};
  json extra = {{"nationalPrefix", "0"},
                {"nationalPrefixFormattingRule", "$NP$FG"},
                {"nationalPrefixTransformRule", "$1"},
                {"preferredExtnPrefix", " ext "},
                {"leadingDigits", "1481"},
                {"unknownMember", {1, 2, 3}},
                {"source", "a public plan"}};
  for (const char* key : {"emergency", "fixedLine", "generalDesc", "mobile", "pager", "personalNumber",
                          "premiumRate", "sharedCost", "tollFree", "voicemail", "voip", "uan"}) {
    extra[key] = desc;
  }
  const MetadataTerritory t = decodeOne(extra);
  EXPECT_EQ(t.codeID, "GB");
  EXPECT_EQ(t.countryCode, 44U);
  EXPECT_EQ(t.internationalPrefix, "00");
  EXPECT_EQ(t.nationalPrefix, "0");
  EXPECT_EQ(t.nationalPrefixForParsing, "0");
  EXPECT_EQ(t.nationalPrefixTransformRule, "$1");
  EXPECT_EQ(t.preferredExtnPrefix, " ext ");
  EXPECT_EQ(t.leadingDigits, "1481");
  for (const auto* d : {&t.emergency, &t.fixedLine, &t.generalDesc, &t.mobile, &t.pager, &t.personalNumber,
                        &t.premiumRate, &t.sharedCost, &t.tollFree, &t.voicemail, &t.voip, &t.uan}) {
    ASSERT_TRUE(d->has_value());
    EXPECT_EQ((*d)->exampleNumber, "1212345678");
    EXPECT_EQ((*d)->nationalNumberPattern, "1\\d{9}");
    EXPECT_EQ((*d)->possibleNumberPattern, "\\d{10}");
    ASSERT_TRUE((*d)->possibleLengths.has_value());
    EXPECT_EQ((*d)->possibleLengths->national, "[9-10]");
    EXPECT_EQ((*d)->possibleLengths->localOnly, "6");
  }
  EXPECT_TRUE(t.numberFormats.empty());  // no "availableFormats"
}

TEST(MetadataDecoding, FlagsAreTrueOnlyForTheStringTrue) {
  EXPECT_TRUE(decodeOne({{"mainCountryForCode", "true"}}).mainCountryForCode);
  for (const json& notTrue : {json(true), json("TRUE"), json("True"), json("1"), json(1), json(nullptr)}) {
    EXPECT_FALSE(decodeOne({{"mainCountryForCode", notTrue}}).mainCountryForCode) << notTrue.dump();
  }
  EXPECT_FALSE(decodeOne({}).mainCountryForCode);

  auto optionalFlag = [](const json& value) {
    json format = {{"pattern", "(\\d)"}, {"format", "$1"}};
    if (!value.is_discarded()) format["nationalPrefixOptionalWhenFormatting"] = value;
    return decodeOne({{"availableFormats", {{"numberFormat", format}}}})
        .numberFormats.at(0)
        .nationalPrefixOptionalWhenFormatting;
  };
  EXPECT_EQ(optionalFlag("true"), true);
  EXPECT_EQ(optionalFlag(true), false);
  EXPECT_EQ(optionalFlag(json(json::value_t::discarded)), false);  // absent still gives a value
}

TEST(MetadataDecoding, NationalPrefixForParsingBorrowsThePrefixAndDoublesBackslashes) {
  EXPECT_EQ(decodeOne({{"nationalPrefix", "0"}}).nationalPrefixForParsing, "0");
  const auto neither = decodeOne({});
  EXPECT_EQ(neither.nationalPrefix, std::nullopt);
  EXPECT_EQ(neither.nationalPrefixForParsing, std::nullopt);
  EXPECT_EQ(decodeOne({{"nationalPrefixForParsing", "0(\\d)"}}).nationalPrefixForParsing, "0(\\\\d)");
  EXPECT_EQ(decodeOne({{"nationalPrefixForParsing", "0|1"}}).nationalPrefixForParsing, "0|1");
  // A borrowed prefix is doubled too; null counts as absent.
  const auto borrowed = decodeOne({{"nationalPrefix", "\\1"}, {"nationalPrefixForParsing", nullptr}});
  EXPECT_EQ(borrowed.nationalPrefix, "\\1");
  EXPECT_EQ(borrowed.nationalPrefixForParsing, "\\\\1");
}

TEST(MetadataDecoding, FormatListIsAllOrNothing) {
  const json one = {{"pattern", "(\\d{2})(\\d{4})"}, {"format", "$1 $2"}};
  const json bad = {{"pattern", 5}, {"format", "$1"}};
  EXPECT_EQ(decodeOne({{"availableFormats", {{"numberFormat", one}}}}).numberFormats.size(), 1U);
  EXPECT_EQ(decodeOne({{"availableFormats", {{"numberFormat", {one, one, one}}}}}).numberFormats.size(), 3U);
  // One bad element empties the whole list, and the document still decodes.
  EXPECT_TRUE(decodeOne({{"availableFormats", {{"numberFormat", {one, bad, one}}}}}).numberFormats.empty());
  EXPECT_TRUE(decodeOne({{"availableFormats", {{"numberFormat", bad}}}}).numberFormats.empty());
  EXPECT_TRUE(decodeOne({{"availableFormats", {{"numberFormat", "text"}}}}).numberFormats.empty());
  EXPECT_TRUE(decodeOne({{"availableFormats", {{"numberFormat", {one, 7}}}}}).numberFormats.empty());
  EXPECT_TRUE(decodeOne({{"availableFormats", {one, one}}}).numberFormats.empty());  // not an object
  EXPECT_TRUE(decodeOne({{"availableFormats", "none"}}).numberFormats.empty());
  EXPECT_TRUE(decodeOne({{"availableFormats", json::object()}}).numberFormats.empty());
}

TEST(MetadataDecoding, FormatFieldsAndLeadingDigits) {
  const json formats = {
      {{"pattern", "(\\d)(\\d{2})"}, {"format", "$1-$2"}, {"intlFormat", "$1 $2"}, {"leadingDigits", "1"},
       {"carrierCodeFormattingRule", "$CC $FG"}},
      {{"pattern", "(\\d{3})"}, {"format", "$1"}, {"leadingDigits", json::array({"2", "23"})}},
      {{"pattern", "(\\d{4})"}, {"format", "$1"}},
      {{"pattern", "(\\d{5})"}, {"format", "$1"}, {"leadingDigits", json::array({"2", 3})}},
      {{"pattern", "(\\d{6})"}, {"format", "$1"}, {"leadingDigits", 4}}};
  const auto t = decodeOne({{"availableFormats", {{"numberFormat", formats}}}});
  ASSERT_EQ(t.numberFormats.size(), 5U);
  const auto& first = t.numberFormats[0];
  EXPECT_EQ(first.pattern, "(\\d)(\\d{2})");
  EXPECT_EQ(first.format, "$1-$2");
  EXPECT_EQ(first.intlFormat, "$1 $2");
  EXPECT_EQ(first.domesticCarrierCodeFormattingRule, "$CC $FG");
  EXPECT_EQ(first.leadingDigitsPatterns, (std::vector<std::string>{"1"}));
  EXPECT_EQ(t.numberFormats[1].leadingDigitsPatterns, (std::vector<std::string>{"2", "23"}));
  EXPECT_EQ(t.numberFormats[1].intlFormat, std::nullopt);
  for (std::size_t i = 2; i < 5; ++i) {
    ASSERT_TRUE(t.numberFormats[i].leadingDigitsPatterns.has_value()) << i;  // present, not absent
    EXPECT_TRUE(t.numberFormats[i].leadingDigitsPatterns->empty()) << i;
  }
}

TEST(MetadataDecoding, FormatsInheritTheTerritoryRule) {
  const json formats = {{{"pattern", "(\\d)"}, {"format", "$1"}},
                        {{"pattern", "(\\d)"}, {"format", "$1"}, {"nationalPrefixFormattingRule", "($NP$FG)"}}};
  const auto withRule = decodeOne({{"nationalPrefixFormattingRule", "$NP $FG"},
                                   {"availableFormats", {{"numberFormat", formats}}}});
  EXPECT_EQ(withRule.numberFormats[0].nationalPrefixFormattingRule, "$NP $FG");
  EXPECT_EQ(withRule.numberFormats[1].nationalPrefixFormattingRule, "($NP$FG)");
  const auto withoutRule = decodeOne({{"availableFormats", {{"numberFormat", formats}}}});
  EXPECT_EQ(withoutRule.numberFormats[0].nationalPrefixFormattingRule, std::nullopt);
  EXPECT_EQ(withoutRule.numberFormats[1].nationalPrefixFormattingRule, "($NP$FG)");
}

TEST(MetadataDecoding, WrongTypesRejectTheDocument) {
  EXPECT_TRUE(rejects(territoryJson({{"preferredExtnPrefix", 5}})));
  EXPECT_TRUE(rejects(territoryJson({{"internationalPrefix", json::array()}})));
  EXPECT_TRUE(rejects(territoryJson({{"nationalPrefix", 0}})));
  EXPECT_TRUE(rejects(territoryJson({{"nationalPrefixForParsing", true}})));
  EXPECT_TRUE(rejects(territoryJson({{"nationalPrefixFormattingRule", 1}})));
  EXPECT_TRUE(rejects(territoryJson({{"leadingDigits", json::array({"1"})}})));
  EXPECT_TRUE(rejects(territoryJson({{"mobile", "3\\d{9}"}})));
  EXPECT_TRUE(rejects(territoryJson({{"mobile", {{"exampleNumber", 7700900000}}}})));
  EXPECT_TRUE(rejects(territoryJson({{"mobile", {{"possibleLengths", "10"}}}})));
  EXPECT_TRUE(rejects(territoryJson({{"mobile", {{"possibleLengths", {{"national", json::array({10})}}}}}})));
  EXPECT_TRUE(rejects(territoryJson({{"id", 44}})));
  EXPECT_TRUE(rejects(json{{"countryCode", "44"}}));  // no id
  EXPECT_TRUE(rejects(json("GB")));
  EXPECT_FALSE(rejects(territoryJson({{"mobile", nullptr}, {"preferredExtnPrefix", nullptr}})));
}

TEST(MetadataDecoding, CountryCodeIsAStringOfAnUnsigned64BitNumber) {
  EXPECT_EQ(decodeOne({{"countryCode", "+44"}}).countryCode, 44U);
  EXPECT_EQ(decodeOne({{"countryCode", "18446744073709551615"}}).countryCode, 18446744073709551615ULL);
  for (const json& bad : {json(44), json("18446744073709551616"), json("-1"), json("4 4"), json(""), json("+"),
                          json("0x2C"), json(" 44"), json("44a"), json(nullptr)}) {
    EXPECT_TRUE(rejects(territoryJson({{"countryCode", bad}}))) << bad.dump();
  }
  json missing = territoryJson();
  missing.erase("countryCode");
  EXPECT_TRUE(rejects(missing));
}

TEST(MetadataDecoding, DocumentShape) {
  const json territory = territoryJson();
  EXPECT_THROW(decodePhoneNumberMetadata(json{{"phoneNumberMetadata", {{"territories", {{"territory", territory}}}}}}.dump()),
               MetadataDecodingError);  // one object instead of an array
  EXPECT_THROW(decodePhoneNumberMetadata(std::string_view("{\"phoneNumberMetadata\": {}}")), MetadataDecodingError);
  EXPECT_THROW(decodePhoneNumberMetadata(std::string_view("not json")), MetadataDecodingError);
  EXPECT_THROW(decodePhoneNumberMetadata(std::string_view("")), MetadataDecodingError);
  EXPECT_THROW(decodePhoneNumberMetadata(std::string_view("[]")), MetadataDecodingError);
  EXPECT_THROW(decodePhoneNumberMetadata(std::string_view("{\"phoneNumberMetadata\":{\"territories\":"
                                                          "{\"territory\":[{\"id\":\"\xff\",\"countryCode\":\"1\"}]}}}")),
               MetadataDecodingError);  // invalid UTF-8
  EXPECT_TRUE(decodePhoneNumberMetadata(documentOf(json::array())).territories.empty());

  const auto two = decodePhoneNumberMetadata(documentOf({territoryJson({{"id", "GG"}}), territoryJson()}));
  ASSERT_EQ(two.territories.size(), 2U);
  EXPECT_EQ(two.territories[0].codeID, "GG");  // document order
  EXPECT_EQ(two.territories[1].codeID, "GB");
}

TEST(MetadataDecoding, ValuesDecodeOnTheirOwn) {
  const auto format = json{{"pattern", "(\\d)"}, {"leadingDigits", "1"}}.get<MetadataPhoneNumberFormat>();
  EXPECT_EQ(format.pattern, "(\\d)");
  EXPECT_EQ(format.nationalPrefixOptionalWhenFormatting, false);
  const auto lengths = json{{"national", "7"}}.get<MetadataPossibleLengths>();
  EXPECT_EQ(lengths.national, "7");
  EXPECT_EQ(lengths.localOnly, std::nullopt);
  EXPECT_THROW((json{{"exampleNumber", 1}}.get<MetadataPhoneNumberDesc>()), MetadataDecodingError);
  EXPECT_EQ(territoryJson().get<MetadataTerritory>().countryCode, 44U);
}

}  // namespace
}  // namespace numberplan
