#pragma once
// JSON coding of PhoneNumber: field by field (seven keys, absent extension and region written as null) or as
// one E.164 string that is parsed back through a PhoneNumberEngine.
//
// Example, given const numberplan::PhoneNumber& number:
//   PhoneNumberCoderContext context;                         // the process-wide defaults apply
//   nlohmann::json json = encodePhoneNumber(number, context);  // {"numberString": ..., "countryCode": 44, ...}
//   context.setPhoneNumberEncodingStrategy(PhoneNumberEncodingStrategy::e164);
//   auto shared = std::make_shared<PhoneNumberEngine>();
//   context.setPhoneNumberEngine([shared] { return shared; });   // else each e164 call builds an engine
//   nlohmann::json e164 = encodePhoneNumber(number, context);     // "+442079460000"
//
// A context carries user-info values under the library's three keys; a value of the wrong type under a key is
// ignored and the process-wide default applies. The defaults (PhoneNumberDecodingUtils,
// PhoneNumberEncodingUtils) may be read and set from any thread.
#include <any>
#include <functional>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "numberplan/values/phone_number.hpp"
#include "numberplan/engine/phone_number_engine.hpp"

namespace numberplan {

enum class PhoneNumberDecodingStrategy { properties, e164 };
enum class PhoneNumberEncodingStrategy { properties, e164 };

// Makes the engine that e164 coding parses and formats with.
using PhoneNumberEngineProvider = std::function<std::shared_ptr<PhoneNumberEngine>()>;

// A JSON value that is not a PhoneNumber of the properties shape: a missing key or a value of the wrong type.
class PhoneNumberCodingError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The user-info keys a coder context understands.
struct PhoneNumberCodingKeys {
  static constexpr std::string_view decodingStrategy = "com.tessavane.NumberPlan.decoding-strategy";
  static constexpr std::string_view encodingStrategy = "com.tessavane.NumberPlan.encoding-strategy";
  static constexpr std::string_view instance = "com.tessavane.NumberPlan.instance";
};

// Process-wide defaults for decoding: initially `properties` and a provider that builds a new engine with the
// shipped metadata on every call.
struct PhoneNumberDecodingUtils {
  static PhoneNumberDecodingStrategy defaultStrategy();
  static void setDefaultStrategy(PhoneNumberDecodingStrategy strategy);
  static PhoneNumberEngineProvider defaultUtility();
  static void setDefaultUtility(PhoneNumberEngineProvider provider);
};

// Process-wide defaults for encoding, as for decoding.
struct PhoneNumberEncodingUtils {
  static PhoneNumberEncodingStrategy defaultStrategy();
  static void setDefaultStrategy(PhoneNumberEncodingStrategy strategy);
  static PhoneNumberEngineProvider defaultUtility();
  static void setDefaultUtility(PhoneNumberEngineProvider provider);
};

// The user info of one coder. The accessors read the value under their key when it has the right type
// (a strategy enum; a PhoneNumberEngineProvider), else the process-wide default; the setters store under it.
class PhoneNumberCoderContext {
 public:
  std::map<std::string, std::any, std::less<>> userInfo;

  PhoneNumberDecodingStrategy phoneNumberDecodingStrategy() const;
  void setPhoneNumberDecodingStrategy(PhoneNumberDecodingStrategy strategy);
  PhoneNumberEncodingStrategy phoneNumberEncodingStrategy() const;
  void setPhoneNumberEncodingStrategy(PhoneNumberEncodingStrategy strategy);

  // The engine provider for decoding (default: PhoneNumberDecodingUtils) and for encoding (default:
  // PhoneNumberEncodingUtils); both stored under the one "instance" key.
  PhoneNumberEngineProvider decodingPhoneNumberEngine() const;
  PhoneNumberEngineProvider encodingPhoneNumberEngine() const;
  void setPhoneNumberEngine(PhoneNumberEngineProvider provider);
};

// properties: an object with the seven fields in order; e164: the E.164 string (it has no extension). e164 throws
// PhoneNumberError::generalError() when the engine provider hands out no engine.
nlohmann::json encodePhoneNumber(const PhoneNumber& phoneNumber,
                                 const PhoneNumberCoderContext& context = PhoneNumberCoderContext());

// properties: throws PhoneNumberCodingError for a missing required key or a wrong type ("numberExtension" and
// "regionID" may be missing or null). e164: the string parsed for the default region with the type check
// skipped; the parse's PhoneNumberError reaches the caller, and generalError() when the provider hands out no
// engine.
PhoneNumber decodePhoneNumber(const nlohmann::json& json,
                              const PhoneNumberCoderContext& context = PhoneNumberCoderContext());

}  // namespace numberplan
