#pragma once
// A small invented numbering plan that exercises the parser's and formatters' paths one by one, and an engine
// built from it. Region codes are real ones where a test needs the calling-code rules (1 shared by two regions),
// invented otherwise; the patterns are deliberately simple.
#include <memory>
#include <string>
#include <vector>

#include "numberplan/engine/phone_number_engine.hpp"

namespace numberplan::testing {

inline const char* const fixtureMetadataJson = R"json({"phoneNumberMetadata": {"territories": {"territory": [
  {"id": "US", "countryCode": "1", "mainCountryForCode": "true", "internationalPrefix": "011",
   "nationalPrefix": "1", "nationalPrefixFormattingRule": "$NP $FG",
   "generalDesc": {"nationalNumberPattern": "(?!204|416|604)[2-9]\\d{9}", "possibleNumberPattern": "\\d{10}"},
   "fixedLine": {"nationalNumberPattern": "(?!204|416|604)[2-9]\\d{9}", "exampleNumber": "6502530000",
                 "possibleLengths": {"national": "10", "localOnly": "7"}},
   "mobile": {"nationalNumberPattern": "(?!204|416|604)[2-9]\\d{9}", "exampleNumber": "6502530001",
              "possibleLengths": {"national": "10"}},
   "tollFree": {"nationalNumberPattern": "8(?:00|88)\\d{7}", "exampleNumber": "8002530000",
                "possibleLengths": {"national": "[6-4]"}},
   "premiumRate": {"nationalNumberPattern": "900\\d{7}", "exampleNumber": "9001234567",
                   "possibleLengths": {"national": "[1-200]"}},
   "availableFormats": {"numberFormat": [
     {"pattern": "(\\d{3})(\\d{4})", "format": "$1-$2", "leadingDigits": "[2-9]"},
     {"pattern": "(\\d{3})(\\d{3})(\\d{4})", "format": "($1) $2-$3", "intlFormat": "$1-$2-$3",
      "leadingDigits": "[2-9]"}]}},
  {"id": "CA", "countryCode": "1", "internationalPrefix": "011", "nationalPrefix": "1",
   "leadingDigits": "204|416|604",
   "generalDesc": {"nationalNumberPattern": "(?:204|416|604)\\d{7}", "possibleNumberPattern": "\\d{10}"},
   "fixedLine": {"nationalNumberPattern": "(?:204|416|604)\\d{7}", "exampleNumber": "4165550100"},
   "mobile": {"nationalNumberPattern": "(?:204|416|604)\\d{7}", "exampleNumber": "6045550100"}},
  {"id": "GB", "countryCode": "44", "mainCountryForCode": "true", "internationalPrefix": "00",
   "nationalPrefix": "0", "nationalPrefixFormattingRule": "$NP$FG",
   "generalDesc": {"nationalNumberPattern": "[1-9]\\d{9}", "possibleNumberPattern": "\\d{10}"},
   "fixedLine": {"nationalNumberPattern": "[12]\\d{9}", "exampleNumber": "2079460000"},
   "mobile": {"nationalNumberPattern": "7\\d{9}", "exampleNumber": "7700900123"},
   "premiumRate": {"nationalNumberPattern": "(?:9\\d|80)\\d{8}", "exampleNumber": "9098790000"},
   "tollFree": {"nationalNumberPattern": "80\\d{8}", "exampleNumber": "8001234567"},
   "availableFormats": {"numberFormat": [
     {"pattern": "(\\d{2})(\\d{4})(\\d{4})", "format": "$1 $2 $3", "leadingDigits": "2"},
     {"pattern": "(\\d{4})(\\d{6})", "format": "$1 $2", "leadingDigits": "[1789]"}]}},
  {"id": "IT", "countryCode": "39", "mainCountryForCode": "true", "internationalPrefix": "00",
   "generalDesc": {"nationalNumberPattern": "0\\d{5,10}|3\\d{8,9}", "possibleNumberPattern": "\\d{6,11}"},
   "fixedLine": {"nationalNumberPattern": "0\\d{5,10}", "exampleNumber": "0612345678"},
   "mobile": {"nationalNumberPattern": "3\\d{8,9}", "exampleNumber": "3123456789"},
   "availableFormats": {"numberFormat": [
     {"pattern": "(\\d{2})(\\d{4})(\\d{4})", "format": "$1 $2 $3", "leadingDigits": "0[26]"},
     {"pattern": "(\\d{3})(\\d{3})(\\d{3,4})", "format": "$1 $2 $3", "leadingDigits": "3"}]}},
  {"id": "AA", "countryCode": "599", "mainCountryForCode": "true", "internationalPrefix": "00",
   "generalDesc": {"nationalNumberPattern": "1\\d{4}"},
   "fixedLine": {"nationalNumberPattern": "1\\d{4}"}},
  {"id": "AB", "countryCode": "599", "internationalPrefix": "00", "nationalPrefix": "0",
   "generalDesc": {"nationalNumberPattern": "[2-9]\\d{4}"},
   "fixedLine": {"nationalNumberPattern": "[2-9]\\d{4}"}},
  {"id": "AC", "countryCode": "599", "internationalPrefix": "00",
   "generalDesc": {"nationalNumberPattern": "0?[2-5]\\d{4}"},
   "fixedLine": {"nationalNumberPattern": "0?[2-5]\\d{4}"}},
  {"id": "NI", "countryCode": "505",
   "generalDesc": {"nationalNumberPattern": "\\d{8}"},
   "fixedLine": {"nationalNumberPattern": "\\d{8}", "exampleNumber": "2345678"}},
  {"id": "001", "countryCode": "800", "internationalPrefix": "00",
   "generalDesc": {"nationalNumberPattern": "\\d{8}", "possibleNumberPattern": "\\d{8}"},
   "tollFree": {"nationalNumberPattern": "\\d{8}", "exampleNumber": "12345678"},
   "availableFormats": {"numberFormat": {"pattern": "(\\d{4})(\\d{4})", "format": "$1 $2"}}}
]}}})json";

inline std::vector<std::uint8_t> bytesOf(const std::string& text) { return {text.begin(), text.end()}; }

inline std::shared_ptr<PhoneNumberEngine> fixtureEngine() {
  return std::make_shared<PhoneNumberEngine>(
      [] { return std::optional<std::vector<std::uint8_t>>(bytesOf(fixtureMetadataJson)); });
}

// The engine over the metadata shipped with the library (copied beside the test binary).
inline std::shared_ptr<PhoneNumberEngine> shippedEngine() {
  static const std::shared_ptr<PhoneNumberEngine> engine = std::make_shared<PhoneNumberEngine>();
  return engine;
}

}  // namespace numberplan::testing
