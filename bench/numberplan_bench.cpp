// numberplan: loading the metadata and matching through the expression pool, each beside its baseline.
//   MetadataManager from the shipped file   vs  a plain nlohmann parse of the same bytes
//   a pooled match (look-up + own matcher)  vs  a direct ICU match on a pattern compiled up front
#include <benchmark/benchmark.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include <nlohmann/json.hpp>
#include <unicode/regex.h>
#include <unicode/unistr.h>

#include "numberplan/values/constants.hpp"
#include "numberplan/metadata/metadata_manager.hpp"
#include "numberplan/regex/regex_manager.hpp"
#include "numberplan/metadata/resource_bundle.hpp"
#include "numberplan/formatting/partial_formatter.hpp"
#include "numberplan/engine/phone_number_engine.hpp"
#include "numberplan/values/phone_number_error.hpp"

namespace {

const std::vector<std::uint8_t>& shippedMetadata() {
  static const std::vector<std::uint8_t> bytes = [] {
    const auto path = numberplan::resourceBundle().pathForResource("PhoneNumberMetadata", "json");
    if (!path) return std::vector<std::uint8_t>{};
    std::ifstream file(*path, std::ios::binary);
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  }();
  return bytes;
}

void BM_MetadataManagerFromShippedFile(benchmark::State& state) {
  const auto& bytes = shippedMetadata();
  if (bytes.empty()) {
    state.SkipWithError("PhoneNumberMetadata.json not found in the bundle");
    return;
  }
  std::size_t territories = 0;
  for (auto _ : state) {
    numberplan::MetadataManager manager([&] { return std::optional<std::vector<std::uint8_t>>(bytes); });
    territories = manager.territories().size();
    benchmark::DoNotOptimize(territories);
  }
  state.counters["territories"] = static_cast<double>(territories);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}
BENCHMARK(BM_MetadataManagerFromShippedFile)->Unit(benchmark::kMicrosecond);

void BM_PlainJsonParseOfShippedFile(benchmark::State& state) {
  const auto& bytes = shippedMetadata();
  if (bytes.empty()) {
    state.SkipWithError("PhoneNumberMetadata.json not found in the bundle");
    return;
  }
  for (auto _ : state) {
    auto json = nlohmann::json::parse(bytes.begin(), bytes.end());
    benchmark::DoNotOptimize(json);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}
BENCHMARK(BM_PlainJsonParseOfShippedFile)->Unit(benchmark::kMicrosecond);

// A typed number against the longest pattern of the library, and against a short metadata-style pattern.
const std::string kNumber = "+44 20 7946 0018 ext. 123";
const std::string kShortPattern = "^(?:(\\d{2})(\\d{4})(\\d{4}))$";
const std::string kShortText = "2079460018";

void pooledMatch(benchmark::State& state, const std::string& pattern, const std::string& text) {
  numberplan::RegexManager regex;
  for (auto _ : state) {
    auto match = regex.compiledExpression(pattern)->firstMatch(text);
    benchmark::DoNotOptimize(match);
  }
}

void directIcuMatch(benchmark::State& state, const std::string& pattern, const std::string& text) {
  UParseError parseError{};
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<icu::RegexPattern> compiled(icu::RegexPattern::compile(
      icu::UnicodeString::fromUTF8(pattern), UREGEX_CASE_INSENSITIVE, parseError, status));
  if (U_FAILURE(status)) {
    state.SkipWithError("pattern does not compile");
    return;
  }
  for (auto _ : state) {
    const icu::UnicodeString subject = icu::UnicodeString::fromUTF8(text);
    std::unique_ptr<icu::RegexMatcher> matcher(compiled->matcher(subject, status));
    bool found = matcher->find(status);
    benchmark::DoNotOptimize(found);
  }
}

void BM_PooledMatchValidNumber(benchmark::State& state) {
  pooledMatch(state, std::string(numberplan::validNumberPattern), kNumber);
}
void BM_DirectIcuMatchValidNumber(benchmark::State& state) {
  directIcuMatch(state, std::string(numberplan::validNumberPattern), kNumber);
}
void BM_PooledMatchFormatPattern(benchmark::State& state) { pooledMatch(state, kShortPattern, kShortText); }
void BM_DirectIcuMatchFormatPattern(benchmark::State& state) { directIcuMatch(state, kShortPattern, kShortText); }
BENCHMARK(BM_PooledMatchValidNumber);
BENCHMARK(BM_DirectIcuMatchValidNumber);
BENCHMARK(BM_PooledMatchFormatPattern);
BENCHMARK(BM_DirectIcuMatchFormatPattern);

}  // namespace


// ---- Parsing, formatting, as-you-type and engine construction ----
//   parse over a mixed corpus of ~1,000 inputs  vs  the raw ICU matches such a parse runs, on patterns compiled
//                                                   up front (goal: parse within 3x)
//   format (international + national) of the parsed corpus
//   one keystroke of a 15-digit number typed into PartialFormatter, and of one typed after a region's prefix of
//   several lengths (goal: under 20 us)
//   PhoneNumberEngine construction from the shipped file (goal: under 30 ms)
namespace parsing_bench {

struct CorpusEntry {
  std::string text;
  std::string region;
};

const std::shared_ptr<numberplan::PhoneNumberEngine>& engine() {
  static const auto shared = std::make_shared<numberplan::PhoneNumberEngine>();
  return shared;
}

// Every example number of every region in E.164, international and national layout, written with other
// separators, with an extension, with the international prefix of another region, and broken variants.
const std::vector<CorpusEntry>& corpus() {
  static const std::vector<CorpusEntry> entries = [] {
    std::vector<CorpusEntry> all;
    const auto& e = *engine();
    const numberplan::PhoneNumberType types[] = {
        numberplan::PhoneNumberType::fixedLine,   numberplan::PhoneNumberType::mobile,
        numberplan::PhoneNumberType::tollFree,    numberplan::PhoneNumberType::premiumRate,
        numberplan::PhoneNumberType::sharedCost,  numberplan::PhoneNumberType::voip,
        numberplan::PhoneNumberType::uan,         numberplan::PhoneNumberType::personalNumber};
    std::vector<CorpusEntry> base;
    for (const std::string& region : e.allCountries()) {
      for (const auto type : types) {
        const auto number = e.getExampleNumber(region, type);
        if (!number) continue;
        const std::string national = e.format(*number, numberplan::PhoneNumberFormat::national);
        const std::string international = e.format(*number, numberplan::PhoneNumberFormat::international);
        const std::string e164 = e.format(*number, numberplan::PhoneNumberFormat::e164);
        base.push_back({national, region});
        base.push_back({international, "US"});
        base.push_back({e164, "GB"});
        std::string dashed = national;
        for (char& c : dashed) {
          if (c == ' ') c = '-';
        }
        base.push_back({dashed, region});
        base.push_back({international + " ext. 12", region});
        base.push_back({"00" + e164.substr(1), region == "US" || region == "CA" ? "FR" : region});
        base.push_back({"(" + national + ")", region});
        base.push_back({national.substr(0, national.size() / 2), region});  // too short or invalid
      }
    }
    base.push_back({"not a number", "US"});
    base.push_back({"+12", "US"});
    base.push_back({"011 12", "US"});
    while (all.size() < 1000) {
      for (const CorpusEntry& entry : base) {
        if (all.size() == 1000) break;
        all.push_back(entry);
      }
    }
    return all;
  }();
  return entries;
}

void BM_ParseMixedCorpus(benchmark::State& state) {
  const auto& e = *engine();
  const auto& inputs = corpus();
  std::size_t parsed = 0;
  for (auto _ : state) {
    parsed = 0;
    for (const CorpusEntry& entry : inputs) {
      try {
        auto number = e.parse(entry.text, entry.region, false);
        benchmark::DoNotOptimize(number);
        ++parsed;
      } catch (const numberplan::PhoneNumberError&) {
      }
    }
  }
  state.counters["parsed"] = static_cast<double>(parsed);
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * inputs.size()));
}
BENCHMARK(BM_ParseMixedCorpus)->Unit(benchmark::kMicrosecond);

// The matches a successful or failing parse of one input runs, in order, with their subjects: the valid-number
// pattern, extension, leading plus, international prefix, national prefix, the general pattern (judging and
// classification), the type patterns in classification order up to the one that matched, and the leading
// digits of the regions of a shared calling code.
struct RawMatch {
  const icu::RegexPattern* pattern;
  std::string subject;
};

const icu::RegexPattern* compiledOnce(const std::string& pattern) {
  static std::unordered_map<std::string, std::unique_ptr<icu::RegexPattern>> compiled;
  auto& slot = compiled[pattern];
  if (!slot) {
    UParseError parseError{};
    UErrorCode status = U_ZERO_ERROR;
    slot.reset(icu::RegexPattern::compile(icu::UnicodeString::fromUTF8(pattern), UREGEX_CASE_INSENSITIVE,
                                          parseError, status));
    if (U_FAILURE(status)) slot.reset();
  }
  return slot.get();
}

std::vector<RawMatch> rawMatchesOfParse(const CorpusEntry& entry) {
  const auto& e = *engine();
  const auto& parser = *e.parseManager()->parser();
  std::vector<RawMatch> matches;
  const auto add = [&](const std::string& pattern, const std::string& subject) {
    if (const auto* compiled = compiledOnce(pattern)) matches.push_back({compiled, subject});
  };
  const auto whole = [&](const std::optional<numberplan::MetadataPhoneNumberDesc>& description,
                         const std::string& subject) {
    if (description && description->nationalNumberPattern) {
      add("^(" + *description->nationalNumberPattern + ")$", subject);
    }
  };
  add(std::string(numberplan::validNumberPattern), entry.text);
  add(std::string(numberplan::extensionPattern), entry.text);
  add("^[+＋]+", entry.text);
  const numberplan::MetadataTerritory* region = e.metadata(entry.region);
  if (!region) return matches;
  const std::string digits = parser.normalizeNumber(entry.text);
  if (region->internationalPrefix && entry.text.front() != '+') add(*region->internationalPrefix, digits);

  std::optional<numberplan::PhoneNumber> number;
  try {
    number = e.parse(entry.text, entry.region, false);
  } catch (const numberplan::PhoneNumberError&) {
  }
  const numberplan::MetadataTerritory* judging =
      number ? e.metadata(number->regionID.value_or(entry.region)) : region;
  const std::string national = number ? std::to_string(number->nationalNumber) : digits;
  if (judging->nationalPrefixForParsing) add("^(?:" + *judging->nationalPrefixForParsing + ")", national);
  whole(judging->generalDesc, national);
  if (!number) return matches;
  if (const auto* shared = e.metadata(number->countryCode); shared && shared->size() > 1) {
    for (const auto& territory : *shared) {
      if (territory.leadingDigits) add(*territory.leadingDigits, national);
      if (territory.codeID == judging->codeID) break;
    }
  }
  whole(judging->generalDesc, national);
  const std::pair<const std::optional<numberplan::MetadataPhoneNumberDesc>*, numberplan::PhoneNumberType> ordered[] = {
      {&judging->pager, numberplan::PhoneNumberType::pager},
      {&judging->premiumRate, numberplan::PhoneNumberType::premiumRate},
      {&judging->tollFree, numberplan::PhoneNumberType::tollFree},
      {&judging->sharedCost, numberplan::PhoneNumberType::sharedCost},
      {&judging->voip, numberplan::PhoneNumberType::voip},
      {&judging->personalNumber, numberplan::PhoneNumberType::personalNumber},
      {&judging->uan, numberplan::PhoneNumberType::uan},
      {&judging->voicemail, numberplan::PhoneNumberType::voicemail},
  };
  for (const auto& [description, type] : ordered) {
    whole(*description, national);
    if (type == number->type) return matches;
  }
  whole(judging->fixedLine, national);
  whole(judging->mobile, national);
  return matches;
}

void BM_RawMatchesOfParseMixedCorpus(benchmark::State& state) {
  std::vector<RawMatch> plan;
  for (const CorpusEntry& entry : corpus()) {
    auto matches = rawMatchesOfParse(entry);
    plan.insert(plan.end(), matches.begin(), matches.end());
  }
  for (auto _ : state) {
    for (const RawMatch& raw : plan) {
      UErrorCode status = U_ZERO_ERROR;
      const icu::UnicodeString subject = icu::UnicodeString::fromUTF8(raw.subject);
      std::unique_ptr<icu::RegexMatcher> matcher(raw.pattern->matcher(subject, status));
      bool found = U_SUCCESS(status) && matcher->find(status);
      benchmark::DoNotOptimize(found);
    }
  }
  state.counters["matches"] = static_cast<double>(plan.size());
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * corpus().size()));
}
BENCHMARK(BM_RawMatchesOfParseMixedCorpus)->Unit(benchmark::kMicrosecond);

void BM_FormatParsedCorpus(benchmark::State& state) {
  const auto& e = *engine();
  std::vector<numberplan::PhoneNumber> numbers;
  for (const CorpusEntry& entry : corpus()) {
    try {
      numbers.push_back(e.parse(entry.text, entry.region, false));
    } catch (const numberplan::PhoneNumberError&) {
    }
  }
  for (auto _ : state) {
    for (const numberplan::PhoneNumber& number : numbers) {
      auto international = e.format(number, numberplan::PhoneNumberFormat::international);
      auto national = e.format(number, numberplan::PhoneNumberFormat::national);
      benchmark::DoNotOptimize(international);
      benchmark::DoNotOptimize(national);
    }
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * numbers.size() * 2));
}
BENCHMARK(BM_FormatParsedCorpus)->Unit(benchmark::kMicrosecond);

// Every beginning of `digits` formatted in turn, as a field does while they are typed.
void typeEveryKeystroke(benchmark::State& state, const char* region, const std::string& digits) {
  numberplan::PartialFormatter typing(engine(), region);
  std::vector<std::string> prefixes;
  for (std::size_t length = 1; length <= digits.size(); ++length) prefixes.push_back(digits.substr(0, length));
  for (auto _ : state) {
    for (const std::string& typed : prefixes) {
      auto shown = typing.formatPartial(typed);
      benchmark::DoNotOptimize(shown);
    }
  }
  state.counters["per_keystroke"] = benchmark::Counter(
      static_cast<double>(prefixes.size()), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// "011 44 20 7946 0123" typed in the US: fifteen digits, through the dialling prefix, calling code and template.
void BM_PartialFormatterKeystroke15Digits(benchmark::State& state) {
  typeEveryKeystroke(state, "US", "011442079460123");
}
BENCHMARK(BM_PartialFormatterKeystroke15Digits)->Unit(benchmark::kMicrosecond);

// "00 91 98123 45678" typed in Nigeria, whose prefixes are "00" and "009": until the fourth digit after them the
// digits may still be "009" and a North American number, so every keystroke weighs both readings against the
// plans of +1 and +91.
void BM_PartialFormatterKeystrokePrefixOfSeveralLengths(benchmark::State& state) {
  typeEveryKeystroke(state, "NG", "00919812345678");
}
BENCHMARK(BM_PartialFormatterKeystrokePrefixOfSeveralLengths)->Unit(benchmark::kMicrosecond);

void BM_EngineConstruction(benchmark::State& state) {
  for (auto _ : state) {
    numberplan::PhoneNumberEngine built;
    benchmark::DoNotOptimize(built.allCountries());
  }
}
BENCHMARK(BM_EngineConstruction)->Unit(benchmark::kMillisecond);

}  // namespace parsing_bench

BENCHMARK_MAIN();
