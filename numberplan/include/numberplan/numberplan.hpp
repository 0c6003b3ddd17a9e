#pragma once
// Said first, so that a C++17 build stops on the reason and not deep inside a header.
#if __cplusplus < 202002L
#error "numberplan needs C++20: compile with -std=c++20 or later"
#endif
// numberplan: phone numbers: parsing, validation, formatting and as-you-type formatting, from the metadata
// bundle installed with the library (share/numberplan/NumberPlan_NumberPlan.bundle).
//
// Example:
//   #include <numberplan/numberplan.hpp>
//   auto engine = std::make_shared<numberplan::PhoneNumberEngine>();
//   numberplan::PhoneNumber number = engine->parse("+33 6 12 34 56 78");
//   std::string e164 = engine->format(number, numberplan::PhoneNumberFormat::e164);   // "+33612345678"
//   numberplan::PartialFormatter typing(engine, "FR");
//   std::string shown = typing.formatPartial("0612");                      // as the user types
//
// Link numberplan::numberplan (CMake) or `pkg-config --libs numberplan`.

// Phone numbers, their types, formats and errors.
#include "numberplan/values/constants.hpp"
#include "numberplan/values/phone_number.hpp"
#include "numberplan/values/phone_number_error.hpp"
#include "numberplan/values/phone_number_format.hpp"
#include "numberplan/values/phone_number_type.hpp"
#include "numberplan/values/possible_length_type.hpp"

// PhoneNumberEngine, the front of the library.
#include "numberplan/engine/phone_number_engine.hpp"

// Parsing text into phone numbers.
#include "numberplan/parsing/parse_manager.hpp"
#include "numberplan/parsing/phone_number_parser.hpp"

// Formatting, and formatting as the user types.
#include "numberplan/formatting/formatter.hpp"
#include "numberplan/formatting/partial_formatter.hpp"
#include "numberplan/formatting/phone_number_formatter.hpp"

// The metadata and where its bundle is found.
#include "numberplan/metadata/metadata_manager.hpp"
#include "numberplan/metadata/metadata_types.hpp"
#include "numberplan/metadata/resource_bundle.hpp"

// The ICU regular expressions the metadata is written in.
#include "numberplan/regex/regex_manager.hpp"
#include "numberplan/regex/regular_expression.hpp"
#include "numberplan/regex/replacement_template.hpp"
#include "numberplan/regex/utf16_text.hpp"

// Phone numbers as JSON.
#include "numberplan/coding/phone_number_coding.hpp"
