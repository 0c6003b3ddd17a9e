// libFuzzer target: arbitrary bytes as a stored phone number (JSON), decoded field by field and as an E.164
// string, then used as an application uses a decoded number: formatted in each format, its region looked up,
// encoded again. Any outcome but a value, a PhoneNumberCodingError or a PhoneNumberError is a finding, and a
// number decoded field by field encodes to fields that decode to it again.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "numberplan/coding/phone_number_coding.hpp"
#include "numberplan/values/phone_number_error.hpp"

namespace {
void use(const numberplan::PhoneNumberEngine& engine, const numberplan::PhoneNumber& number) {
  for (auto format : {numberplan::PhoneNumberFormat::e164, numberplan::PhoneNumberFormat::international,
                      numberplan::PhoneNumberFormat::national}) {
    try {
      (void)engine.format(number, format);
      (void)engine.format(number, format, false);
    } catch (const numberplan::PhoneNumberError&) {
    }
  }
  (void)engine.getRegionCode(number);
  (void)number.url();
  (void)number.adjustedNationalNumber();
  (void)number.hashValue();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const auto engine = std::make_shared<numberplan::PhoneNumberEngine>();
  static const numberplan::PhoneNumberCoderContext properties = [] {
    numberplan::PhoneNumberCoderContext context;
    context.setPhoneNumberDecodingStrategy(numberplan::PhoneNumberDecodingStrategy::properties);
    context.setPhoneNumberEncodingStrategy(numberplan::PhoneNumberEncodingStrategy::properties);
    context.setPhoneNumberEngine([] { return engine; });
    return context;
  }();
  static const numberplan::PhoneNumberCoderContext e164 = [] {
    numberplan::PhoneNumberCoderContext context;
    context.setPhoneNumberDecodingStrategy(numberplan::PhoneNumberDecodingStrategy::e164);
    context.setPhoneNumberEncodingStrategy(numberplan::PhoneNumberEncodingStrategy::e164);
    context.setPhoneNumberEngine([] { return engine; });
    return context;
  }();

  const nlohmann::json json = nlohmann::json::parse(data, data + size, nullptr, false);
  if (json.is_discarded()) return 0;
  for (const auto* context : {&properties, &e164}) {
    try {
      const numberplan::PhoneNumber number = numberplan::decodePhoneNumber(json, *context);
      use(*engine, number);
      if (context == &properties) {
        const numberplan::PhoneNumber again =
            numberplan::decodePhoneNumber(numberplan::encodePhoneNumber(number, properties), properties);
        if (!(again == number) || again.numberString != number.numberString || again.regionID != number.regionID ||
            again.type != number.type) {
          __builtin_trap();
        }
      }
      try {
        (void)numberplan::encodePhoneNumber(number, e164);
      } catch (const numberplan::PhoneNumberError&) {
      }
    } catch (const numberplan::PhoneNumberCodingError&) {
    } catch (const numberplan::PhoneNumberError&) {
    }
  }
  return 0;
}
