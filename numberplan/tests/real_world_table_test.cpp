// Conformance of the shipped metadata with tables of real-world numbers written from the public numbering plans.
//
// Every file tests/data/real_world_*.tsv is one test. A table is tab-separated; lines starting with "#" are
// comments, blank lines are skipped, and the first other line is the header
//   region  input  type  e164  national  international  as_you_type
// Each row's input is parsed with its region as the default region and must give the row's type and E.164 text,
// format to its national and international texts, and, typed into a text field one character at a time, show
// its as_you_type text. Empty national, international or as_you_type cells are not checked; region, input, type
// and e164 are required.
//
// Types: a row typed fixedLine or mobile also passes as fixedOrMobile where the plan does not tell fixed lines
// from mobiles: the region's metadata then has one combined class (the same pattern for both) and the parser can
// only say "either". Where the region does tell them apart, the row's own type is needed: a mobile that also
// falls in a fixed-line range is a fault of the ranges. A row typed fixedOrMobile always needs the combined answer.
//
// A row typed "refused" is text that is not a number of the plan (one digit short, say): it must fail to parse
// with invalidNumber or tooShort, and its other cells stay empty.
//
// Every row is checked and every failing row reported with its file and line number.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "numberplan/values/phone_number_error.hpp"
#include "phone_fixture.hpp"
#include "text_field.hpp"

#ifndef NUMBERPLAN_TEST_DATA_DIR
#error "NUMBERPLAN_TEST_DATA_DIR names the directory of the real-world tables"
#endif

namespace numberplan {
namespace {

const std::vector<std::string> expectedHeader = {"region", "input",         "type",       "e164",
                                                 "national", "international", "as_you_type"};

std::vector<std::filesystem::path> tableFiles() {
  std::vector<std::filesystem::path> files;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(NUMBERPLAN_TEST_DATA_DIR, error)) {
    const std::string name = entry.path().filename().string();
    if (entry.is_regular_file() && name.starts_with("real_world_") && name.ends_with(".tsv")) {
      files.push_back(entry.path());
    }
  }
  std::sort(files.begin(), files.end());
  return files;
}

std::vector<std::string> splitTabs(std::string_view line) {
  std::vector<std::string> cells;
  std::size_t start = 0;
  while (true) {
    const std::size_t tab = line.find('\t', start);
    cells.emplace_back(line.substr(start, tab == std::string_view::npos ? tab : tab - start));
    if (tab == std::string_view::npos) return cells;
    start = tab + 1;
  }
}

// The text a field shows after `input` is typed into it key by key.
std::string typedIntoField(const std::shared_ptr<PhoneNumberEngine>& engine, const std::string& region,
                           std::string_view input) {
  testing::TextField field(engine, region);
  field.type(input);
  return field.text();
}

bool typeAccepted(PhoneNumberType expected, const PhoneNumber& number, const PhoneNumberEngine& engine) {
  if (expected == number.type) return true;
  if (number.type != PhoneNumberType::fixedOrMobile ||
      (expected != PhoneNumberType::fixedLine && expected != PhoneNumberType::mobile)) {
    return false;
  }
  const MetadataTerritory* territory = number.regionID ? engine.metadata(*number.regionID) : nullptr;
  const auto patternOf = [](const std::optional<MetadataPhoneNumberDesc>& description) {
    return description ? description->nationalNumberPattern : std::nullopt;
  };
  return territory != nullptr && patternOf(territory->fixedLine) == patternOf(territory->mobile);
}

std::string refusalFaults(const std::shared_ptr<PhoneNumberEngine>& engine, const std::vector<std::string>& cells) {
  const std::string& region = cells[0];
  const std::string& input = cells[1];
  if (region.empty() || input.empty()) return "region and input are required";
  if (std::any_of(cells.begin() + 3, cells.end(), [](const std::string& cell) { return !cell.empty(); })) {
    return "a refused row has nothing after its type";
  }
  try {
    const PhoneNumber number = engine->parse(input, region);
    return "\"" + input + "\" (" + region + ") was to be refused, but parses as " +
           engine->format(number, PhoneNumberFormat::e164);
  } catch (const PhoneNumberError& error) {
    if (error.errorCase() == PhoneNumberError::Case::invalidNumber ||
        error.errorCase() == PhoneNumberError::Case::tooShort) {
      return "";
    }
    return "\"" + input + "\" (" + region + ") is refused with " + error.errorDescription();
  }
}

// What is wrong with one row; empty when it conforms.
std::string rowFaults(const std::shared_ptr<PhoneNumberEngine>& engine, const std::vector<std::string>& cells) {
  if (cells.size() != expectedHeader.size()) {
    return "has " + std::to_string(cells.size()) + " cells, the header names " +
           std::to_string(expectedHeader.size());
  }
  const std::string& region = cells[0];
  const std::string& input = cells[1];
  if (cells[2] == "refused") return refusalFaults(engine, cells);
  const auto expectedType = fromRawValue<PhoneNumberType>(cells[2]);
  if (region.empty() || input.empty() || cells[3].empty()) return "region, input and e164 are required";
  if (!expectedType) return "unknown type \"" + cells[2] + "\"";

  PhoneNumber number;
  try {
    number = engine->parse(input, region);
  } catch (const PhoneNumberError& error) {
    return "\"" + input + "\" (" + region + ") does not parse: " + error.errorDescription();
  }

  std::ostringstream faults;
  const auto check = [&](const char* what, const std::string& expected, const std::string& actual) {
    if (!expected.empty() && expected != actual) {
      faults << "\n  " << what << ": expected \"" << expected << "\", got \"" << actual << "\"";
    }
  };
  if (!typeAccepted(*expectedType, number, *engine)) {
    faults << "\n  type: expected " << cells[2] << ", got " << rawValue(number.type);
  }
  check("e164", cells[3], engine->format(number, PhoneNumberFormat::e164));
  check("national", cells[4], engine->format(number, PhoneNumberFormat::national));
  check("international", cells[5], engine->format(number, PhoneNumberFormat::international));
  if (!cells[6].empty()) check("as_you_type", cells[6], typedIntoField(engine, region, input));
  const std::string text = faults.str();
  return text.empty() ? text : "\"" + input + "\" (" + region + ")" + text;
}

class RealWorldTable : public ::testing::TestWithParam<std::filesystem::path> {};

TEST_P(RealWorldTable, EveryRowConforms) {
  const std::filesystem::path& path = GetParam();
  std::ifstream file(path);
  ASSERT_TRUE(file) << "cannot read " << path;
  const auto engine = testing::shippedEngine();
  ASSERT_FALSE(engine->allCountries().empty()) << "the shipped metadata did not load";

  const std::string fileName = path.string();
  bool headerSeen = false;
  int rows = 0;
  int lineNumber = 0;
  for (std::string line; std::getline(file, line);) {
    ++lineNumber;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line.front() == '#') continue;
    const std::vector<std::string> cells = splitTabs(line);
    if (!headerSeen) {
      headerSeen = true;
      if (cells != expectedHeader) {
        ADD_FAILURE_AT(fileName.c_str(), lineNumber) << "the header is not the table header; nothing checked";
        return;
      }
      continue;
    }
    ++rows;
    if (const std::string faults = rowFaults(engine, cells); !faults.empty()) {
      ADD_FAILURE_AT(fileName.c_str(), lineNumber) << faults;
    }
  }
  EXPECT_TRUE(headerSeen) << path << " has no header";
  EXPECT_GT(rows, 0) << path << " has no rows";
}

std::string tableName(const ::testing::TestParamInfo<std::filesystem::path>& info) {
  std::string name = info.param.stem().string();
  for (char& c : name) {
    if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
  }
  return name;
}

INSTANTIATE_TEST_SUITE_P(Tables, RealWorldTable, ::testing::ValuesIn(tableFiles()), tableName);
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(RealWorldTable);

}  // namespace
}  // namespace numberplan
