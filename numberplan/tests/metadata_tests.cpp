// The metadata document: decoding (strict where a wrong type must reject the document, lenient where it
// falls back quietly), the manager's indexes and quiet failures, and how the resource bundle is found.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>

#include "numberplan/metadata/metadata_manager.hpp"
#include "numberplan/metadata/metadata_types.hpp"
#include "numberplan/values/phone_number_error.hpp"
#include "numberplan/metadata/resource_bundle.hpp"
#include "phone_fixture.hpp"
#include "testing/bounded_task.hpp"

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

std::vector<MetadataPhoneNumberFormat> formatsOf(const json& availableFormats, json extra = json::object()) {
  extra["availableFormats"] = availableFormats;
  return decodeOne(extra).numberFormats;
}

bool rejects(const json& territory) {
  try {
    decodePhoneNumberMetadata(documentOf(json::array({territory})));
    return false;
  } catch (const MetadataDecodingError&) {
    return true;
  }
}

TEST(MetadataDecoding, FlagsAreTrueOnlyForTheStringTrue) {
  EXPECT_TRUE(decodeOne({{"mainCountryForCode", "true"}}).mainCountryForCode);
  for (const json& notTrue : {json(true), json("TRUE"), json("1"), json(1), json(nullptr)}) {
    EXPECT_FALSE(decodeOne({{"mainCountryForCode", notTrue}}).mainCountryForCode) << notTrue.dump();
  }
  const json format = {{"pattern", "(\\d)"}, {"format", "$1"}};
  EXPECT_EQ(formatsOf({{"numberFormat", format}}).at(0).nationalPrefixOptionalWhenFormatting, false);  // absent
  json optional = format;
  optional["nationalPrefixOptionalWhenFormatting"] = "true";
  EXPECT_EQ(formatsOf({{"numberFormat", optional}}).at(0).nationalPrefixOptionalWhenFormatting, true);
  optional["nationalPrefixOptionalWhenFormatting"] = true;
  EXPECT_EQ(formatsOf({{"numberFormat", optional}}).at(0).nationalPrefixOptionalWhenFormatting, false);
}

TEST(MetadataDecoding, NationalPrefixForParsingBorrowsThePrefixAndDoublesBackslashes) {
  EXPECT_EQ(decodeOne({{"nationalPrefix", "0"}}).nationalPrefixForParsing, "0");
  EXPECT_EQ(decodeOne({}).nationalPrefixForParsing, std::nullopt);
  EXPECT_EQ(decodeOne({{"nationalPrefixForParsing", "0(\\d)"}}).nationalPrefixForParsing, "0(\\\\d)");
  // A borrowed prefix is doubled too; null counts as absent.
  const auto borrowed = decodeOne({{"nationalPrefix", "\\1"}, {"nationalPrefixForParsing", nullptr}});
  EXPECT_EQ(borrowed.nationalPrefix, "\\1");
  EXPECT_EQ(borrowed.nationalPrefixForParsing, "\\\\1");
}

TEST(MetadataDecoding, FormatListIsAllOrNothing) {
  const json one = {{"pattern", "(\\d{2})(\\d{4})"}, {"format", "$1 $2"}};
  const json bad = {{"pattern", 5}, {"format", "$1"}};
  EXPECT_EQ(formatsOf({{"numberFormat", one}}).size(), 1U);  // a single object
  EXPECT_EQ(formatsOf({{"numberFormat", {one, one, one}}}).size(), 3U);
  // One bad element empties the whole list, and the document still decodes; so does a list that is not one.
  for (const json& formats : {json{{"numberFormat", {one, bad, one}}}, json{{"numberFormat", bad}},
                              json{{"numberFormat", "text"}}, json{{"numberFormat", {one, 7}}}, json{one, one},
                              json("none"), json::object()}) {
    EXPECT_TRUE(formatsOf(formats).empty()) << formats.dump();
  }
}

TEST(MetadataDecoding, LeadingDigitsAndTheInheritedRule) {
  const json formats = {
      {{"pattern", "(\\d)"}, {"format", "$1"}, {"leadingDigits", "1"}},
      {{"pattern", "(\\d)"}, {"format", "$1"}, {"leadingDigits", {"2", "23"}}, {"nationalPrefixFormattingRule", "($NP$FG)"}},
      {{"pattern", "(\\d)"}, {"format", "$1"}, {"leadingDigits", {"2", 3}}},
      {{"pattern", "(\\d)"}, {"format", "$1"}, {"leadingDigits", 4}}};
  const auto withRule = formatsOf({{"numberFormat", formats}}, {{"nationalPrefixFormattingRule", "$NP $FG"}});
  ASSERT_EQ(withRule.size(), 4U);
  EXPECT_EQ(withRule[0].leadingDigitsPatterns, (std::vector<std::string>{"1"}));
  EXPECT_EQ(withRule[1].leadingDigitsPatterns, (std::vector<std::string>{"2", "23"}));
  EXPECT_EQ(withRule[2].leadingDigitsPatterns, std::vector<std::string>{});  // present but empty, not absent
  EXPECT_EQ(withRule[3].leadingDigitsPatterns, std::vector<std::string>{});
  EXPECT_EQ(withRule[0].nationalPrefixFormattingRule, "$NP $FG");
  EXPECT_EQ(withRule[1].nationalPrefixFormattingRule, "($NP$FG)");
  EXPECT_EQ(formatsOf({{"numberFormat", formats}})[0].nationalPrefixFormattingRule, std::nullopt);
}

TEST(MetadataDecoding, WrongTypesRejectTheDocument) {
  for (const json& extra :
       {json{{"preferredExtnPrefix", 5}}, json{{"internationalPrefix", json::array()}}, json{{"nationalPrefix", 0}},
        json{{"leadingDigits", json::array({"1"})}}, json{{"mobile", "3\\d{9}"}}, json{{"mobile", {{"exampleNumber", 7700900000}}}},
        json{{"mobile", {{"possibleLengths", "10"}}}}, json{{"mobile", {{"possibleLengths", {{"national", json::array({10})}}}}}},
        json{{"id", 44}}}) {
    EXPECT_TRUE(rejects(territoryJson(extra))) << extra.dump();
  }
  EXPECT_TRUE(rejects(json{{"countryCode", "44"}}));  // no id
  EXPECT_FALSE(rejects(territoryJson({{"mobile", nullptr}, {"preferredExtnPrefix", nullptr}})));
}

TEST(MetadataDecoding, CountryCodeIsAStringOfAnUnsigned64BitNumber) {
  EXPECT_EQ(decodeOne({{"countryCode", "+44"}}).countryCode, 44U);
  EXPECT_EQ(decodeOne({{"countryCode", "18446744073709551615"}}).countryCode, 18446744073709551615ULL);
  for (const json& bad : {json(44), json("18446744073709551616"), json("-1"), json("4 4"), json(""), json("+"),
                          json("0x2C"), json(" 44"), json(nullptr)}) {
    EXPECT_TRUE(rejects(territoryJson({{"countryCode", bad}}))) << bad.dump();
  }
}

TEST(MetadataDecoding, DocumentShape) {
  for (const char* text : {R"({"phoneNumberMetadata": {"territories": {"territory": {"id": "GB", "countryCode": "1"}}}})",
                           R"({"phoneNumberMetadata": {}})", "not json", "", "[]",
                           "{\"phoneNumberMetadata\":{\"territories\":{\"territory\":[{\"id\":\"\xff\",\"countryCode\":\"1\"}]}}}"}) {
    EXPECT_THROW(decodePhoneNumberMetadata(std::string_view(text)), MetadataDecodingError) << text;
  }
  EXPECT_TRUE(decodePhoneNumberMetadata(documentOf(json::array())).territories.empty());
  const auto two = decodePhoneNumberMetadata(documentOf({territoryJson({{"id", "GG"}}), territoryJson()}));
  ASSERT_EQ(two.territories.size(), 2U);
  EXPECT_EQ(two.territories[0].codeID, "GG");  // document order
}

namespace fs = std::filesystem;
using Ids = std::vector<std::string>;

json territory(const char* id, const char* code, bool main = false) {
  return territoryJson(main ? json{{"id", id}, {"countryCode", code}, {"mainCountryForCode", "true"}}
                            : json{{"id", id}, {"countryCode", code}});
}

MetadataCallback documentWith(const json& territories) {
  return [text = documentOf(territories)] { return std::optional<std::vector<std::uint8_t>>(testing::bytesOf(text)); };
}

Ids idsOf(const std::vector<MetadataTerritory>* list) {
  Ids ids;
  for (const auto& t : list ? *list : std::vector<MetadataTerritory>{}) ids.push_back(t.codeID);
  return ids;
}

// The main territory comes first, the others keep document order; without a main one the first is main.
TEST(MetadataManager, IndexOrderUnderEachMainFlagCase) {
  const struct {
    json territories;
    std::uint64_t code;
    Ids order;
  } cases[] = {
      {{territory("GB", "44"), territory("GG", "44")}, 44, {"GB", "GG"}},
      {{territory("GG", "44"), territory("GB", "44", true), territory("JE", "44")}, 44, {"GB", "GG", "JE"}},
      {{territory("US", "1", true), territory("CA", "1"), territory("XX", "1", true)}, 1, {"XX", "US", "CA"}},
  };
  for (const auto& c : cases) {
    const MetadataManager manager(documentWith(c.territories));
    EXPECT_EQ(idsOf(manager.territories(c.code)), c.order);
    ASSERT_NE(manager.mainTerritory(c.code), nullptr);
    EXPECT_EQ(manager.mainTerritory(c.code)->codeID, c.order[0]);
  }
}

TEST(MetadataManager, RegionLookUpUpperCasesTheQueryOnly) {
  const MetadataManager manager(documentWith({territory("GB", "44"), territory("gg", "44"), territory("STRASSE", "9")}));
  ASSERT_NE(manager.territory("gb"), nullptr);
  EXPECT_EQ(manager.territory("gb")->codeID, "GB");
  EXPECT_EQ(manager.territory("gg"), nullptr);  // stored as written, so never found
  EXPECT_EQ(manager.territory("GG"), nullptr);
  EXPECT_NE(manager.territory("stra\u00DFe"), nullptr);  // full case mapping: "\u00DF" is "SS"
  EXPECT_EQ(manager.territories(7), nullptr);  // nothing, not an empty list
}

TEST(MetadataManager, DuplicateIdsKeepTheLaterForLookUp) {
  json first = territory("GB", "44"), second = territory("GB", "44");
  first["leadingDigits"] = "first";
  second["leadingDigits"] = "second";
  const MetadataManager manager(documentWith({first, second}));
  EXPECT_EQ(manager.territory("GB")->leadingDigits, "second");
  EXPECT_EQ(manager.territories(44)->size(), 2U);
  EXPECT_EQ(manager.mainTerritory(44)->leadingDigits, "first");
}

TEST(MetadataManager, ThrowingCallbackPrintsOneQuotedLine) {
  ::testing::internal::CaptureStdout();
  const MetadataManager manager([]() -> std::optional<std::vector<std::uint8_t>> {
    throw PhoneNumberError::metadataNotFound();
  });
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "\"ERROR: Unable to load PhoneNumberMetadata.json resource: Valid metadata is missing.\"\n");
  EXPECT_TRUE(manager.territories().empty());
  EXPECT_EQ(metadataLoadErrorLine("a \"b\" c\\d\ne\tf\x01"),
            "\"ERROR: Unable to load PhoneNumberMetadata.json resource: a \\\"b\\\" c\\\\d\\ne\\tf\\u{1}\"");
  ::testing::internal::CaptureStdout();
  const MetadataManager other([]() -> std::optional<std::vector<std::uint8_t>> { throw 42; });
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "\"ERROR: Unable to load PhoneNumberMetadata.json resource: The operation couldn't be completed.\"\n");
}

TEST(MetadataManager, NothingOrUndecodableBytesLeaveItEmptyWithoutAWord) {
  const std::vector<MetadataCallback> callbacks = {
      [] { return std::optional<std::vector<std::uint8_t>>(); },
      [] { return std::optional<std::vector<std::uint8_t>>(testing::bytesOf("this is not JSON")); },
      [] { return std::optional<std::vector<std::uint8_t>>(std::vector<std::uint8_t>{}); },
      documentWith({territory("GB", "44"), {{"id", "GG"}, {"countryCode", 44}}}),  // a JSON number
      documentWith({{{"id", "GB"}, {"countryCode", "44"}, {"mobile", {{"possibleLengths", {10, 11}}}}}}),
      MetadataCallback{},
  };
  for (std::size_t i = 0; i < callbacks.size(); ++i) {
    ::testing::internal::CaptureStdout();
    const MetadataManager manager(callbacks[i]);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "") << i;
    EXPECT_TRUE(manager.territories().empty()) << i;
    EXPECT_EQ(manager.mainTerritory(44), nullptr) << i;
  }
}

// A scratch directory removed at the end of the test.
struct ScratchDirectory {
  fs::path path = fs::temp_directory_path() / ("numberplan-bundle-" + std::to_string(::getpid()) + "-" +
                                               ::testing::UnitTest::GetInstance()->current_test_info()->name());
  ScratchDirectory() { fs::create_directories(path); }
  ~ScratchDirectory() {
    std::error_code ignored;
    fs::remove_all(path, ignored);
  }
};

TEST(ResourceBundle, FirstCandidateHoldingTheBundleWins) {
  ScratchDirectory scratch;
  const fs::path a = scratch.path / "a", b = scratch.path / "b", c = scratch.path / "c";
  fs::create_directories(b / "NumberPlan_NumberPlan.bundle");
  fs::create_directories(c / "NumberPlan_NumberPlan.bundle");
  fs::create_directories(a);
  std::ofstream(a / "NumberPlan_NumberPlan.bundle") << "a file, not a bundle";
  std::ofstream(b / "NumberPlan_NumberPlan.bundle" / "PhoneNumberMetadata.json") << "{}";
  const auto bundle = ResourceBundle::locate({scratch.path / "missing", a, b, c});
  ASSERT_TRUE(bundle.has_value());
  EXPECT_EQ(bundle->path(), b / "NumberPlan_NumberPlan.bundle");
  EXPECT_EQ(bundle->pathForResource("PhoneNumberMetadata", "xml"), std::nullopt);
  EXPECT_FALSE(ResourceBundle::locate({a, scratch.path / "missing"}).has_value());
}

// The metadata file may be replaced under a running program by anything: a FIFO (swapped in between a look at
// the file and its opening, which must not block the program for good), a link to an endless device, a file of
// any size. Only a regular file of a sensible size is read.
TEST(ResourceBundle, OnlyARegularFileOfABoundedSizeIsRead) {
  ScratchDirectory scratch;
  const fs::path bundlePath = scratch.path / "NumberPlan_NumberPlan.bundle";
  fs::create_directories(bundlePath);
  const ResourceBundle bundle(bundlePath);
  const fs::path file = bundlePath / "PhoneNumberMetadata.json";
  const auto contents = [&] { return bundle.contentsOfResource("PhoneNumberMetadata", "json"); };

  std::ofstream(file) << "{}";
  EXPECT_EQ(contents(), testing::bytesOf("{}"));

  fs::remove(file);
  fs::create_symlink("/dev/zero", file);
  EXPECT_EQ(contents(), std::nullopt);

  fs::remove(file);
  {
    std::ofstream grown(file);
    grown << "{}";
  }
  fs::resize_file(file, ResourceBundle::maxResourceBytes + 1);  // sparse: costs no disk
  EXPECT_EQ(contents(), std::nullopt);
  fs::resize_file(file, ResourceBundle::maxResourceBytes);
  const auto atTheLimit = contents();
  ASSERT_TRUE(atTheLimit.has_value());
  EXPECT_EQ(atTheLimit->size(), ResourceBundle::maxResourceBytes);

  // A FIFO and a regular file take turns under the same name while the bundle reads it.
  const fs::path regular = scratch.path / "regular.json";
  std::ofstream(regular) << "{}";
  fs::remove(file);
  std::jthread swapper([&](std::stop_token stop) {
    const std::string staged = (scratch.path / "staged").string();
    while (!stop.stop_requested()) {
      ::mkfifo(staged.c_str(), 0600);
      ::rename(staged.c_str(), file.c_str());
      ::link(regular.c_str(), staged.c_str());
      ::rename(staged.c_str(), file.c_str());
    }
  });
  const auto read = testing_support::runWithin(std::chrono::seconds(30), [&] {
    int whole = 0;
    for (int attempt = 0; attempt < 2000; ++attempt) {
      const auto bytes = contents();
      if (bytes && *bytes == testing::bytesOf("{}")) ++whole;
    }
    return whole;
  });
  swapper.request_stop();
  ASSERT_TRUE(read.has_value()) << "reading blocked on the FIFO";
}

// Sets (or, given nothing, unsets) the bundle-folder variable for one test, and puts back what was there.
class BundleDirVariable {
 public:
  explicit BundleDirVariable(const std::optional<std::string>& value) {
    if (const char* was = std::getenv(name().c_str())) previous_ = was;
    value ? ::setenv(name().c_str(), value->c_str(), 1) : ::unsetenv(name().c_str());
  }
  ~BundleDirVariable() { previous_ ? ::setenv(name().c_str(), previous_->c_str(), 1) : ::unsetenv(name().c_str()); }
  BundleDirVariable(const BundleDirVariable&) = delete;
  BundleDirVariable& operator=(const BundleDirVariable&) = delete;

 private:
  static std::string name() { return std::string(ResourceBundle::directoryVariable); }
  std::optional<std::string> previous_;
};

// The library is linked statically into the test binary, so its code lives in the executable: the code's
// folder is the executable's, searched (and named) once.
TEST(ResourceBundle, CandidatesFollowTheExecutableEachFolderOnce) {
  const BundleDirVariable unset(std::nullopt);
  const fs::path executable = fs::read_symlink("/proc/self/exe");
  const std::vector<fs::path> expected{(executable.parent_path() / ".." / "share" / "numberplan").lexically_normal(),
                                       executable.parent_path()};
  EXPECT_EQ(ResourceBundle::candidateLocations(), expected);
  const BundleDirVariable empty("");
  EXPECT_EQ(ResourceBundle::candidateLocations(), expected);
}

// A program run from a build folder is pointed at an installed bundle by the variable, which wins over a bundle
// beside the program; naming a folder already searched adds nothing.
TEST(ResourceBundle, TheNamedFolderIsSearchedFirst) {
  ScratchDirectory scratch;
  const fs::path executableFolder = fs::read_symlink("/proc/self/exe").parent_path();
  fs::create_directories(scratch.path / "installed" / "NumberPlan_NumberPlan.bundle");
  {
    const BundleDirVariable named((scratch.path / "installed" / "..").string() + "/./installed/");
    const auto candidates = ResourceBundle::candidateLocations();
    ASSERT_EQ(candidates.size(), 3U);
    EXPECT_EQ(fs::weakly_canonical(candidates[0]), fs::weakly_canonical(scratch.path / "installed"));
    EXPECT_EQ(candidates[2], executableFolder);
    const auto bundle = ResourceBundle::locate(candidates);
    ASSERT_TRUE(bundle.has_value());  // though one lies beside this test binary too
    EXPECT_EQ(fs::weakly_canonical(bundle->path()),
              fs::weakly_canonical(scratch.path / "installed" / "NumberPlan_NumberPlan.bundle"));
  }
  {
    const BundleDirVariable named(executableFolder.string());
    const auto candidates = ResourceBundle::candidateLocations();
    ASSERT_EQ(candidates.size(), 2U);
    EXPECT_EQ(candidates[0], executableFolder);
  }
}

TEST(ResourceBundleDeathTest, NoBundleStopsTheProcessNamingThePlacesSearched) {
  ScratchDirectory scratch;
  const std::string searched = "unable to find bundle named NumberPlan_NumberPlan; searched: " + scratch.path.string() +
                               "/NumberPlan_NumberPlan.bundle, " + scratch.path.string() +
                               "/missing/NumberPlan_NumberPlan.bundle; set NUMBERPLAN_BUNDLE_DIR to the folder "
                               "holding NumberPlan_NumberPlan.bundle\n";
  EXPECT_DEATH(ResourceBundle::locateOrStop({scratch.path, scratch.path / "missing"}), searched);
}

}  // namespace
}  // namespace numberplan
