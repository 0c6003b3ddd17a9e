#include <iostream>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "demo_sections.hpp"
#include "numberplan/formatting/partial_formatter.hpp"
#include "numberplan/values/phone_number_error.hpp"
#include "numberplan/engine/phone_number_engine.hpp"

namespace demo {

void phoneNumbers() {
  using namespace numberplan;
  auto engine = std::make_shared<PhoneNumberEngine>();  // loads the shipped metadata
  const std::vector<std::pair<std::string, std::string>> inputs = {
      {"(201) 555-0123", "US"}, {"020 7946 0123", "GB"}, {"+49 151 23456789", "US"},
      {"02 1234 5678", "IT"},   {"03-5550-0123", "JP"},  {"not a number", "US"}};
  for (const auto& [text, region] : inputs) {
    try {
      const PhoneNumber number = engine->parse(text, region);
      std::cout << text << " (" << region << ") -> " << engine->format(number, PhoneNumberFormat::international)
                << " | " << engine->format(number, PhoneNumberFormat::national) << " | "
                << engine->format(number, PhoneNumberFormat::e164) << " | " << rawValue(number.type) << " in "
                << number.regionID.value_or("?") << "\n";
    } catch (const PhoneNumberError& error) {
      std::cout << text << " (" << region << ") -> " << error.errorDescription() << "\n";
    }
  }
  PartialFormatter typing(engine, "US");
  std::string typed;
  for (const char key : std::string("011442079460123")) {
    typed += key;
    std::cout << "typed " << typed << " -> \"" << typing.formatPartial(typed) << "\"\n";
  }
  std::cout << "region of the typed number: " << typing.currentRegion() << "\n";
}

}  // namespace demo
