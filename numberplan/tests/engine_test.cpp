// The engine: the shipped metadata against the whole library, and the engine's own answers (regions and
// calling codes, example numbers, possible lengths, the default region).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>

#include <chrono>
#include <future>
#include <stdexcept>
#include <variant>
#include <nlohmann/json.hpp>

#include "testing/bounded_task.hpp"
#include "numberplan/values/constants.hpp"
#include "numberplan/coding/phone_number_coding.hpp"
#include "numberplan/formatting/partial_formatter.hpp"
#include "numberplan/formatting/phone_number_formatter.hpp"
#include "numberplan/values/phone_number_error.hpp"
#include "numberplan/regex/regex_manager.hpp"
#include "phone_fixture.hpp"

extern char** environ;

namespace numberplan {
namespace {

struct Example {
  std::string region;
  PhoneNumberType type;
  const MetadataPhoneNumberDesc* description;
  const MetadataTerritory* territory;
};

std::vector<const std::optional<MetadataPhoneNumberDesc>*> descriptionsOf(const MetadataTerritory& t) {
  return {&t.fixedLine, &t.mobile, &t.pager, &t.personalNumber, &t.premiumRate, &t.sharedCost,
          &t.tollFree,  &t.voicemail, &t.voip, &t.uan, &t.emergency, &t.generalDesc};
}

std::vector<Example> shippedExamples(const PhoneNumberEngine& engine) {
  const PhoneNumberType types[] = {PhoneNumberType::fixedLine,   PhoneNumberType::mobile,   PhoneNumberType::pager,
                                   PhoneNumberType::personalNumber, PhoneNumberType::premiumRate,
                                   PhoneNumberType::sharedCost,  PhoneNumberType::tollFree, PhoneNumberType::voicemail,
                                   PhoneNumberType::voip,        PhoneNumberType::uan};
  std::vector<Example> examples;
  for (const MetadataTerritory& territory : engine.metadataManager()->territories()) {
    const auto descriptions = descriptionsOf(territory);
    for (std::size_t i = 0; i < std::size(types); ++i) {
      if (*descriptions[i] && (*descriptions[i])->exampleNumber) {
        examples.push_back({territory.codeID, types[i], &**descriptions[i], &territory});
      }
    }
  }
  return examples;
}

TEST(EngineConformance, ShippedMetadataIsCompleteAndEveryPatternCompiles) {
  const auto engine = testing::shippedEngine();
  const auto regions = engine->allCountries();
  for (const char* region : {"US", "CA", "GB", "GG", "JE", "IM", "DE", "FR", "IT", "AU", "JP", "IN", "001"}) {
    EXPECT_NE(std::find(regions.begin(), regions.end(), region), regions.end()) << region;
  }
  RegexManager regex;
  auto compiles = [&](const std::optional<std::string>& pattern) {
    if (!pattern) return;
    EXPECT_NO_THROW(regex.compiledExpression("^(" + *pattern + ")$")) << *pattern;
  };
  for (const MetadataTerritory& t : engine->metadataManager()->territories()) {
    SCOPED_TRACE(t.codeID);
    ASSERT_TRUE(t.internationalPrefix.has_value());  // without it a leading "+" is ignored
    ASSERT_TRUE(t.generalDesc && t.generalDesc->nationalNumberPattern && t.generalDesc->possibleNumberPattern);
    for (const auto& pattern : {t.internationalPrefix, t.nationalPrefixForParsing, t.leadingDigits}) compiles(pattern);
    for (const auto* d : descriptionsOf(t)) {
      if (!*d) continue;
      compiles((*d)->nationalNumberPattern);
      compiles((*d)->possibleNumberPattern);
    }
    for (const MetadataPhoneNumberFormat& f : t.numberFormats) {
      compiles(f.pattern);
      for (const std::string& leading : f.leadingDigitsPatterns.value_or(std::vector<std::string>{})) compiles(leading);
      ASSERT_TRUE(f.format.has_value());
      // Typed digits are poured into the national layout, or into the international one where the national
      // layout writes digits of its own (Argentina's mobile 15): one of them holds only groups and separators.
      const std::string groupsOnly(partialFormatStringPattern);
      EXPECT_TRUE(regex.hasMatchAtStart(groupsOnly, *f.format) ||
                  (f.intlFormat && regex.hasMatchAtStart(groupsOnly, *f.intlFormat)))
          << *f.format;
    }
  }
  // Every territory names the public plan it follows; "nationalPrefixForParsing" holds no backslash, since the
  // decoder doubles them.
  const auto bytes = PhoneNumberEngine::defaultMetadataCallback();
  ASSERT_TRUE(bytes);
  const auto document = nlohmann::json::parse(*bytes);
  for (const auto& territory : document["phoneNumberMetadata"]["territories"]["territory"]) {
    const std::string id = territory.value("id", "?");
    EXPECT_TRUE(territory.contains("source") && territory["source"].is_string()) << id;
    EXPECT_EQ(territory.value("nationalPrefixForParsing", "").find('\\'), std::string::npos) << id;
  }
}

TEST(EngineConformance, EveryExampleFitsParsesFormatsAndTypesBack) {
  const auto engine = testing::shippedEngine();
  const auto& parser = *engine->parseManager()->parser();
  const auto examples = shippedExamples(*engine);
  EXPECT_GT(examples.size(), 30u);
  for (const Example& example : examples) {
    const std::string& digits = *example.description->exampleNumber;
    SCOPED_TRACE(example.region + " " + std::string(rawValue(example.type)) + " " + digits);
    ASSERT_TRUE(example.description->possibleLengths && example.description->possibleLengths->national);
    const auto lengths = PhoneNumberEngine::lengthList(*example.description->possibleLengths->national);
    EXPECT_NE(std::find(lengths.begin(), lengths.end(), static_cast<int>(digits.size())), lengths.end());
    // Non-geographic entries of several calling codes share the region "001": only "+<code>" names one of them.
    const bool nonGeographic = example.region == "001";
    const std::string written = nonGeographic ? "+" + std::to_string(example.territory->countryCode) + digits : digits;
    PhoneNumber number;
    try {
      number = engine->parse(written, example.region, false);
    } catch (const PhoneNumberError& error) {
      ADD_FAILURE() << "does not parse: " << error.errorDescription();
      continue;
    }
    // Where the fixed-line and mobile patterns both take a number, the library cannot tell them apart.
    const MetadataTerritory* territory = example.territory;
    const bool both = parser.matchesDescription(digits, territory->fixedLine) &&
                      parser.matchesDescription(digits, territory->mobile);
    const bool fixedOrMobile = example.type == PhoneNumberType::fixedLine || example.type == PhoneNumberType::mobile;
    EXPECT_EQ(number.type, both && fixedOrMobile ? PhoneNumberType::fixedOrMobile : example.type);
    EXPECT_EQ(number.regionID, example.region);

    for (const PhoneNumberFormat layout :
         {PhoneNumberFormat::e164, PhoneNumberFormat::international, PhoneNumberFormat::national}) {
      if (nonGeographic && layout == PhoneNumberFormat::national) continue;
      const std::string text = engine->format(number, layout, true);
      try {
        const PhoneNumber again = engine->parse(text, example.region, false);
        EXPECT_EQ(again, number) << text;
        EXPECT_EQ(again.regionID, number.regionID) << text;
        EXPECT_EQ(again.type, number.type) << text;
      } catch (const PhoneNumberError& error) {
        ADD_FAILURE() << "\"" << text << "\" does not parse: " << error.errorDescription();
      }
    }
    const std::string layout = engine->format(
        number, nonGeographic ? PhoneNumberFormat::international : PhoneNumberFormat::national, true);
    const std::string typed = (nonGeographic ? "+" : "") + parser.normalizeNumber(layout);
    PartialFormatter typing(engine, example.region);
    std::string shown;
    for (std::size_t length = 1; length <= typed.size(); ++length) shown = typing.formatPartial(typed.substr(0, length));
    EXPECT_EQ(shown, layout) << "typed " << typed;
  }
}

// The real-world table accepts fixedOrMobile for a fixed line; where the Indian plan tells the two apart (the
// STD code and a subscriber number starting 2 to 6), the answer must be exact. Mobiles beginning 7 or 8 outside
// the known codes stay "either", never a fixed line.
TEST(EngineConformance, IndianFixedLinesAreToldFromMobiles) {
  const auto engine = testing::shippedEngine();
  for (const char* text : {"080 2345 6789", "079 2658 1234", "0712 234 5678", "0755 255 1234", "011 2345 6789"}) {
    EXPECT_EQ(engine->parse(text, "IN").type, PhoneNumberType::fixedLine) << text;
  }
  EXPECT_EQ(engine->parse("98123 45678", "IN").type, PhoneNumberType::mobile);
  for (const char* text : {"80123 45678", "+91 70123 45678"}) {
    EXPECT_NE(engine->parse(text, "IN").type, PhoneNumberType::fixedLine) << text;
  }
}

// Where a plan tells fixed lines from mobiles the answer is exact, never "either" (the tables accept that where
// the metadata has one class for both). Curacao's fixed 9 4xx/9 7xx and mobile 9 5xx/9 6xx, Saint-Pierre-et-
// Miquelon's fixed 42, Ukraine's mobile 063, Uzbekistan's mobile 77.
TEST(EngineConformance, FixedLinesAndMobilesAreToldApartWhereThePlanDoes) {
  const auto engine = testing::shippedEngine();
  const std::tuple<const char*, const char*, PhoneNumberType> rows[] = {
      {"+599 9 461 2345", "CW", PhoneNumberType::fixedLine}, {"9 736 1234", "CW", PhoneNumberType::fixedLine},
      {"9 561 2345", "CW", PhoneNumberType::mobile},         {"9 690 1234", "CW", PhoneNumberType::mobile},
      {"42 12 34", "PM", PhoneNumberType::fixedLine},        {"063 123 45 67", "UA", PhoneNumberType::mobile},
      {"77 123 45 67", "UZ", PhoneNumberType::mobile},
  };
  for (const auto& [input, region, type] : rows) {
    try {
      EXPECT_EQ(rawValue(engine->parse(input, region).type), rawValue(type)) << input;
    } catch (const PhoneNumberError& error) {
      ADD_FAILURE() << input << ": " << error.errorDescription();
    }
  }
}

// A calling code shared by several territories: a number belongs to the one whose range holds it, whatever the
// default region it is parsed for. Blocks from the public plans (ARCEP for +590 and +262, Ofcom for +44, Nkom for
// +47, AGCOM for +39, ACMA for +61, ANRT for +212, Traficom for +358, the Curacao and Caribbean Netherlands plans
// for +599, St Helena for +290, NANPA for +1; Kazakhstan's plan for its freephone block 800 080 within Russia's
// 8-800); subscriber digits made up.
TEST(EngineConformance, ANumberOfASharedCallingCodeBelongsToTheRegionWhoseRangeHoldsIt) {
  const auto engine = testing::shippedEngine();
  // The number as written, the default region it is parsed for, the region it belongs to.
  const std::tuple<const char*, const char*, const char*> rows[] = {
      {"+590 590 27 61 23", "GP", "BL"}, {"0590 27 61 23", "BL", "BL"},  {"0590 29 81 23", "GP", "BL"},
      {"0590 29 01 23", "BL", "MF"},     {"+590 590 87 12 34", "FR", "MF"}, {"0590 21 12 34", "MF", "GP"},
      {"0690 12 34 56", "BL", "GP"},     {"+7 727 258 12 34", "RU", "KZ"},  {"8 495 606 36 02", "KZ", "RU"},
      {"01481 712345", "GB", "GG"},      {"07624 123456", "GB", "IM"},     {"07640 123456", "IM", "GB"},
      {"01534 712345", "GB", "JE"},      {"79 02 12 34", "NO", "SJ"},      {"22 12 34 56", "SJ", "NO"},
      {"06 698 12345", "IT", "VA"},      {"06 1234 5678", "VA", "IT"},     {"08 9162 1234", "AU", "CC"},
      {"08 9164 1234", "AU", "CX"},      {"02 5550 1234", "CX", "AU"},     {"0528 81 2345", "MA", "EH"},
      {"0269 60 12 34", "RE", "YT"},     {"0639 01 23 45", "RE", "YT"},    {"0692 12 34 56", "YT", "RE"},
      {"018 123456", "FI", "AX"},        {"717 1234", "CW", "BQ"},         {"9 461 2345", "BQ", "CW"},
      {"81234", "SH", "TA"},             {"+1 416 555 0123", "US", "CA"},  {"+1 787 555 0123", "US", "PR"},
      {"8 800 080 12 34", "KZ", "KZ"},   {"+7 800 080 12 34", "RU", "KZ"}, {"+7 800 200 00 00", "KZ", "RU"},
      {"+7 776 123 45 67", "RU", "KZ"},
  };
  for (const auto& [input, defaultRegion, region] : rows) {
    try {
      const PhoneNumber number = engine->parse(input, defaultRegion);
      EXPECT_EQ(number.regionID, region) << input << " for " << defaultRegion;
      EXPECT_EQ(engine->getRegionCode(number), region) << input;
    } catch (const PhoneNumberError& error) {
      ADD_FAILURE() << input << " for " << defaultRegion << ": " << error.errorDescription();
    }
  }
}

TEST(Engine, TerritoryAndExampleAnswers) {
  const auto engine = testing::fixtureEngine();
  EXPECT_EQ(engine->countries(1), (std::vector<std::string>{"US", "CA"}));
  EXPECT_EQ(engine->countries(7), std::nullopt);
  EXPECT_EQ(engine->mainCountry(599), "AA");
  EXPECT_EQ(engine->countryCode("gb"), 44u);
  EXPECT_EQ(engine->countryCode("XX"), std::nullopt);
  const PhoneNumber canadian("", 1, false, 4165550100, std::nullopt, PhoneNumberType::unknown, std::nullopt);
  EXPECT_EQ(engine->getRegionCode(canadian), "CA");
  EXPECT_TRUE(engine->isValidPhoneNumber("650 253 0000", "US"));
  EXPECT_FALSE(engine->isValidPhoneNumber("650 253 000", "US"));

  const auto mobile = engine->getExampleNumber("US", PhoneNumberType::fixedOrMobile);
  ASSERT_TRUE(mobile);
  EXPECT_EQ(mobile->nationalNumber, 6502530001u);  // the mobile example
  EXPECT_EQ(engine->getExampleNumber("US", PhoneNumberType::unknown), std::nullopt);
  EXPECT_EQ(engine->getExampleNumber("US", PhoneNumberType::voip), std::nullopt);
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
  auto lengths = [&](PhoneNumberType type, PossibleLengthType kind) {
    return engine->possiblePhoneNumberLengths("US", type, kind);
  };
  EXPECT_EQ(lengths(PhoneNumberType::fixedLine, PossibleLengthType::national), std::vector<int>{10});
  EXPECT_EQ(lengths(PhoneNumberType::fixedLine, PossibleLengthType::localOnly), std::vector<int>{7});
  EXPECT_TRUE(lengths(PhoneNumberType::fixedOrMobile, PossibleLengthType::national).empty());
  // Broken ranges in the data, descending ("[6-4]") and absurdly wide ("[1-200]"), give nothing.
  EXPECT_TRUE(lengths(PhoneNumberType::tollFree, PossibleLengthType::national).empty());
  EXPECT_TRUE(lengths(PhoneNumberType::premiumRate, PossibleLengthType::national).empty());
  EXPECT_EQ(PhoneNumberEngine::lengthList("[4-6],8,[10-11]"), (std::vector<int>{4, 5, 6, 8, 10, 11}));
  EXPECT_EQ(PhoneNumberEngine::lengthList("[1-64]").size(), 64u);
  EXPECT_TRUE(PhoneNumberEngine::lengthList("[1-65]").empty());
  EXPECT_TRUE(PhoneNumberEngine::lengthList("[0-2147483647]").empty());
  EXPECT_EQ(PhoneNumberEngine::lengthList("[6-4],9"), std::vector<int>{9});
}

// A range ending at the largest int stops there rather than counting past it.
TEST(Engine, PossibleLengthRangesEndingAtTheLargestInt) {
  const auto lengths =
      testing_support::runWithin(std::chrono::seconds(20), [] { return PhoneNumberEngine::lengthList("[2147483646-2147483647]"); });
  ASSERT_TRUE(lengths.has_value());
  EXPECT_EQ(*lengths, (std::vector<int>{2147483646, 2147483647}));
  EXPECT_EQ(PhoneNumberEngine::lengthList("2147483647,[2147483647-2147483647]"), (std::vector<int>{2147483647, 2147483647}));
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

// A provider that throws tells no region; the callers that ask for the default region (a parse's default argument,
// a text field turning its text into a number) go on with the fallback.
TEST_F(DefaultRegion, AThrowingProviderTellsNoRegion) {
  PhoneNumberEngine::setLocaleRegionProvider([]() -> PhoneNumberEngine::LocaleRegion { throw std::runtime_error("no locale"); });
  EXPECT_EQ(PhoneNumberEngine::defaultRegionCode(), "US");
  PhoneNumberFormatter field(testing::fixtureEngine(), "GB");
  field.setGeneratesPhoneNumber(true);
  PhoneNumberFormatter::ObjectValue value;
  EXPECT_TRUE(field.getObjectValue(&value, "650 253 0000", nullptr));
  ASSERT_TRUE(std::holds_alternative<PhoneNumber>(value));
  EXPECT_EQ(std::get<PhoneNumber>(value).regionID, "US");
}

// A thread of the application may still be parsing when the process exits and its static objects go. A handler
// registered with atexit before the library's first use runs after the library's own statics would be destroyed,
// which makes that moment certain: there it uses every process-wide part of the library (the resource bundle, the
// digit map, the matchers' empty text, the locale provider and the coding defaults) and reports what it got.
constexpr const char* kExitReportVariable = "NUMBERPLAN_TEST_EXIT_REPORT_FD";
constexpr const char* kExitTest = "ProcessExit.CallsMadeWhileTheProcessExitsStillWork";
int exitReportDescriptor = -1;

bool useEveryProcessWidePart() {
  auto engine = std::make_shared<PhoneNumberEngine>();
  const PhoneNumber number = engine->parse("\u0660\u0662\u0660 \u0667\u0669\u0664\u0666 \u0660\u0660\u0660\u0660",
                                           PhoneNumberEngine::defaultRegionCode());
  PartialFormatter typing(engine, "GB");
  return number.nationalNumber == 2079460000u && typing.formatPartial("02079460000") == "020 7946 0000" &&
         encodePhoneNumber(number) == "+442079460000";
}

void reportAtExit() {
  const char answer = useEveryProcessWidePart() ? 'y' : 'n';
  if (::write(exitReportDescriptor, &answer, 1) != 1) std::_Exit(2);
}

TEST(ProcessExit, CallsMadeWhileTheProcessExitsStillWork) {
  if (const char* descriptor = std::getenv(kExitReportVariable)) {
    // The child: nothing of the library has been used in this process yet.
    exitReportDescriptor = std::atoi(descriptor);
    ASSERT_EQ(std::atexit(reportAtExit), 0);
    const std::string where = "GB";
    PhoneNumberEngine::setLocaleRegionProvider([where] { return PhoneNumberEngine::LocaleRegion{where, where}; });
    PhoneNumberEncodingUtils::setDefaultStrategy(PhoneNumberEncodingStrategy::e164);
    const auto shared = std::make_shared<PhoneNumberEngine>();
    PhoneNumberEncodingUtils::setDefaultUtility([shared] { return shared; });
    EXPECT_TRUE(useEveryProcessWidePart());
    return;
  }
  char self[PATH_MAX];
  const ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
  ASSERT_GT(length, 0);
  self[length] = '\0';
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  ::fcntl(fds[0], F_SETFD, FD_CLOEXEC);
  std::string filter = std::string("--gtest_filter=") + kExitTest;
  std::vector<char*> argv{self, filter.data(), nullptr};
  std::string report = std::string(kExitReportVariable) + "=" + std::to_string(fds[1]);
  std::vector<char*> envp;
  for (char** entry = environ; *entry; ++entry) envp.push_back(*entry);
  envp.push_back(report.data());
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  ::posix_spawn_file_actions_init(&actions);
  ::posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  const int spawned = ::posix_spawn(&pid, self, &actions, nullptr, argv.data(), envp.data());
  ::posix_spawn_file_actions_destroy(&actions);
  ASSERT_EQ(spawned, 0);
  ::close(fds[1]);
  pollfd ready{fds[0], POLLIN, 0};
  char answer = 0;
  const bool answered = ::poll(&ready, 1, 60'000) == 1 && ::read(fds[0], &answer, 1) == 1;
  ::close(fds[0]);
  if (!answered) ::kill(pid, SIGKILL);
  int status = 0;
  ::waitpid(pid, &status, 0);
  EXPECT_TRUE(answered) << "the child reported nothing (its output is above)";
  EXPECT_EQ(answer, 'y');
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
}

// One engine shared by threads: the expression pool fills up while they parse and format.
TEST(PhoneNumberEngineConcurrency, ParsesAndFormatsFromSeveralThreads) {
  const auto engine = testing::fixtureEngine();
  std::vector<testing_support::BoundedTask<void>> workers;
  for (int worker = 0; worker < 4; ++worker) {
    workers.push_back(testing_support::launch([engine, worker] {
      for (int i = 0; i < 200; ++i) {
        const PhoneNumber number = engine->parse(worker % 2 ? "+44 20 7946 0000" : "650 253 0000", "US", false);
        EXPECT_EQ(engine->format(number, PhoneNumberFormat::international),
                  worker % 2 ? "+44 20 7946 0000" : "+1 650-253-0000");
      }
    }));
  }
  for (auto& worker : workers) {
    ASSERT_EQ(worker.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    worker.get();
  }
}

// Where a region's prefixes overlap calling codes (Nigeria's 009 and 00 + 9x, a Brazilian carrier code 41 and
// Switzerland's 41, Colombia's 005 and Chile's 56), the shorter reading still wins when only it gives a number.
TEST(EngineConformance, InternationalPrefixesBesideCallingCodesThatBeginLikeThem) {
  const auto engine = testing::shippedEngine();
  const struct {
    const char* region;
    const char* text;
    const char* e164;
  } cases[] = {
      {"NG", "00 91 80 4123 4567", "+918041234567"}, {"NG", "00 90 532 123 45 67", "+905321234567"},
      {"NG", "009 1 804 555 0123", "+18045550123"},  {"CO", "00 56 2 2123 4567", "+56221234567"},
      {"BR", "00 41 44 668 18 00", "+41446681800"},  {"BR", "0044 20 7946 0958", "+442079460958"},
      {"BR", "00 21 55 11 3456 7890", "+551134567890"}, {"HK", "00 1 312 555 0188", "+13125550188"},
      {"KE", "00 44 20 7946 0958", "+442079460958"}, {"JP", "010 44 20 7946 0958", "+442079460958"},
      {"FI", "00 44 20 7946 0958", "+442079460958"},
  };
  for (const auto& [region, text, e164] : cases) {
    EXPECT_EQ(engine->format(engine->parse(text, region), PhoneNumberFormat::e164), e164) << text << " in " << region;
  }
  // A carrier code before a calling code that does not exist is no number of any country.
  EXPECT_THROW(engine->parse("00 21 21 1234 5678", "BR"), PhoneNumberError);
}

}  // namespace
}  // namespace numberplan
