// MetadataManager's indexes and its quiet failure modes, and how the resource bundle is found.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "numberplan/metadata_manager.hpp"
#include "numberplan/phone_number_error.hpp"
#include "numberplan/resource_bundle.hpp"

namespace numberplan {
namespace {

using nlohmann::json;
namespace fs = std::filesystem;

std::vector<std::uint8_t> bytesOf(const std::string& text) { return {text.begin(), text.end()}; }

json territory(const char* id, const char* code, bool main = false) {
  json t = {{"id", id}, {"countryCode", code}, {"internationalPrefix", "00"}};
  if (main) t["mainCountryForCode"] = "true";
  return t;
}

MetadataCallback documentWith(json territories) {
  const std::string text = json{{"phoneNumberMetadata", {{"territories", {{"territory", territories}}}}}}.dump();
  return [text] { return std::optional<std::vector<std::uint8_t>>(bytesOf(text)); };
}

std::vector<std::string> idsOf(const std::vector<MetadataTerritory>* list) {
  std::vector<std::string> ids;
  if (list != nullptr) {
    for (const auto& t : *list) ids.push_back(t.codeID);
  }
  return ids;
}

using Ids = std::vector<std::string>;

TEST(MetadataManager, IndexOrderWithoutAMainTerritory) {
  const MetadataManager manager(documentWith({territory("GB", "44"), territory("GG", "44")}));
  EXPECT_EQ(idsOf(manager.territories(44)), (Ids{"GB", "GG"}));
  ASSERT_NE(manager.mainTerritory(44), nullptr);
  EXPECT_EQ(manager.mainTerritory(44)->codeID, "GB");
}

TEST(MetadataManager, IndexOrderWithTheSecondMain) {
  const MetadataManager manager(documentWith({territory("GG", "44"), territory("GB", "44", true),
                                              territory("JE", "44")}));
  EXPECT_EQ(idsOf(manager.territories(44)), (Ids{"GB", "GG", "JE"}));
  EXPECT_EQ(manager.mainTerritory(44)->codeID, "GB");
}

TEST(MetadataManager, IndexOrderWithTwoMains) {
  const MetadataManager manager(documentWith({territory("US", "1", true), territory("CA", "1"),
                                              territory("XX", "1", true)}));
  EXPECT_EQ(idsOf(manager.territories(1)), (Ids{"XX", "US", "CA"}));
  EXPECT_EQ(manager.mainTerritory(1)->codeID, "XX");
}

TEST(MetadataManager, RegionLookUpUpperCasesTheQueryOnly) {
  const MetadataManager manager(documentWith({territory("GB", "44"), territory("gg", "44")}));
  ASSERT_NE(manager.territory("gb"), nullptr);
  EXPECT_EQ(manager.territory("gb")->codeID, "GB");
  EXPECT_EQ(manager.territory("Gb")->countryCode, 44U);
  EXPECT_EQ(manager.territory("gg"), nullptr);  // stored as written, so never found
  EXPECT_EQ(manager.territory("GG"), nullptr);
  EXPECT_EQ(manager.territory(""), nullptr);
  EXPECT_EQ(manager.territories(7), nullptr);  // nothing, not an empty list
  EXPECT_EQ(manager.mainTerritory(7), nullptr);
  EXPECT_EQ(manager.territories().size(), 2U);
}

TEST(MetadataManager, FullUnicodeUpperCasing) {
  // "ß" upper-cases to "SS" in full case mapping, so "straße" finds "STRASSE".
  const MetadataManager manager(documentWith({territory("STRASSE", "999")}));
  ASSERT_NE(manager.territory("stra\u00DFe"), nullptr);
}

TEST(MetadataManager, DuplicateIdsKeepTheLaterForLookUp) {
  json first = territory("GB", "44");
  first["leadingDigits"] = "first";
  json second = territory("GB", "44");
  second["leadingDigits"] = "second";
  const MetadataManager manager(documentWith({first, second}));
  EXPECT_EQ(manager.territory("GB")->leadingDigits, "second");
  EXPECT_EQ(manager.territories().size(), 2U);
  EXPECT_EQ(manager.territories(44)->size(), 2U);
  EXPECT_EQ(manager.mainTerritory(44)->leadingDigits, "first");
}

TEST(MetadataManager, ThrowingCallbackPrintsOneQuotedLine) {
  testing::internal::CaptureStdout();
  const MetadataManager manager([]() -> std::optional<std::vector<std::uint8_t>> {
    throw PhoneNumberError::metadataNotFound();
  });
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "\"ERROR: Unable to load PhoneNumberMetadata.json resource: Valid metadata is missing.\"\n");
  EXPECT_TRUE(manager.territories().empty());
  EXPECT_TRUE(manager.territoriesByCode().empty());
  EXPECT_EQ(manager.territory("GB"), nullptr);
}

TEST(MetadataManager, ErrorLineEscapesQuotesBackslashesAndControls) {
  EXPECT_EQ(metadataLoadErrorLine("a \"b\" c\\d\ne\tf\x01"),
            "\"ERROR: Unable to load PhoneNumberMetadata.json resource: a \\\"b\\\" c\\\\d\\ne\\tf\\u{1}\"");
  testing::internal::CaptureStdout();
  const MetadataManager manager([]() -> std::optional<std::vector<std::uint8_t>> { throw 42; });
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "\"ERROR: Unable to load PhoneNumberMetadata.json resource: The operation couldn't be completed.\"\n");
}

TEST(MetadataManager, NothingOrUndecodableBytesLeaveItEmptyWithoutAWord) {
  const std::vector<MetadataCallback> callbacks = {
      [] { return std::optional<std::vector<std::uint8_t>>(); },
      [] { return std::optional<std::vector<std::uint8_t>>(bytesOf("this is not JSON")); },
      [] { return std::optional<std::vector<std::uint8_t>>(std::vector<std::uint8_t>{}); },
      documentWith({territory("GB", "44"), {{"id", "GG"}, {"countryCode", 44}}}),  // a JSON number
      documentWith({{{"id", "GB"}, {"countryCode", "44"}, {"mobile", {{"possibleLengths", {10, 11}}}}}}),
      MetadataCallback{},
  };
  for (std::size_t i = 0; i < callbacks.size(); ++i) {
    testing::internal::CaptureStdout();
    const MetadataManager manager(callbacks[i]);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << i;
    EXPECT_TRUE(manager.territories().empty()) << i;
    EXPECT_EQ(manager.mainTerritory(44), nullptr) << i;
  }
}

// A scratch directory removed at the end of the test.
struct ScratchDirectory {
  fs::path path;
  ScratchDirectory() {
    path = fs::temp_directory_path() / ("numberplan-bundle-" + std::to_string(::getpid()) + "-" +
                                        testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(path);
    fs::create_directories(path);
  }
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
  EXPECT_EQ(bundle->pathForResource("PhoneNumberMetadata", "json"),
            b / "NumberPlan_NumberPlan.bundle" / "PhoneNumberMetadata.json");
  EXPECT_EQ(bundle->pathForResource("PhoneNumberMetadata", "xml"), std::nullopt);
  EXPECT_FALSE(ResourceBundle::locate({a, scratch.path / "missing"}).has_value());
}

TEST(ResourceBundle, CandidatesFollowTheExecutable) {
  const fs::path executable = fs::read_symlink("/proc/self/exe");
  const auto candidates = ResourceBundle::candidateLocations();
  ASSERT_EQ(candidates.size(), 3U);
  EXPECT_EQ(candidates[0], (executable.parent_path() / ".." / "share" / "numberplan").lexically_normal());
  // The library is linked statically into the test binary, so its code lives in the executable too.
  EXPECT_EQ(fs::weakly_canonical(candidates[1]), fs::weakly_canonical(candidates[0]));
  EXPECT_EQ(candidates[2], executable.parent_path());
}

TEST(ResourceBundle, TheBuildPutsTheBundleBesideTheTests) {
  const fs::path beside = fs::read_symlink("/proc/self/exe").parent_path() / "NumberPlan_NumberPlan.bundle";
  if (!fs::is_directory(beside)) GTEST_SKIP() << "no metadata bundle in the source tree yet";
  EXPECT_EQ(fs::weakly_canonical(resourceBundle().path()), fs::weakly_canonical(beside));
  EXPECT_EQ(&resourceBundle(), &resourceBundle());  // found once
}

TEST(ResourceBundleDeathTest, NoBundleStopsTheProcess) {
  ScratchDirectory scratch;
  EXPECT_DEATH(ResourceBundle::locateOrStop({scratch.path, scratch.path / "missing"}),
               "unable to find bundle named NumberPlan_NumberPlan");
}

}  // namespace
}  // namespace numberplan
