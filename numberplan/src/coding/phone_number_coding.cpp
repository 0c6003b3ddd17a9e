#include "numberplan/coding/phone_number_coding.hpp"

#include <mutex>

#include "numberplan/values/phone_number_error.hpp"
#include "numberplan/values/phone_number_format.hpp"
#include "numberplan/values/phone_number_type.hpp"

namespace numberplan {
namespace {

std::shared_ptr<PhoneNumberEngine> newEngine() { return std::make_shared<PhoneNumberEngine>(); }

// The four process-wide defaults, behind one lock so that coders on several threads read whole values.
struct CodingDefaults {
  std::mutex mutex;
  PhoneNumberDecodingStrategy decodingStrategy = PhoneNumberDecodingStrategy::properties;
  PhoneNumberEncodingStrategy encodingStrategy = PhoneNumberEncodingStrategy::properties;
  PhoneNumberEngineProvider decodingUtility = newEngine;
  PhoneNumberEngineProvider encodingUtility = newEngine;
};

CodingDefaults& defaults() {
  // Never destroyed: coders on threads still at work while the process exits find the defaults whole.
  static auto& instance = *new CodingDefaults;
  return instance;
}

template <typename Value>
const Value* userInfoValue(const std::map<std::string, std::any, std::less<>>& userInfo, std::string_view key) {
  const auto found = userInfo.find(key);
  if (found == userInfo.end()) return nullptr;
  return std::any_cast<Value>(&found->second);
}

const nlohmann::json& requiredMember(const nlohmann::json& object, const char* key) {
  const auto found = object.find(key);
  if (found == object.end()) throw PhoneNumberCodingError(std::string("missing key \"") + key + "\"");
  return *found;
}

[[noreturn]] void typeMismatch(const char* key, const char* expected) {
  throw PhoneNumberCodingError(std::string("key \"") + key + "\" is not " + expected);
}

std::string requiredString(const nlohmann::json& object, const char* key) {
  const nlohmann::json& value = requiredMember(object, key);
  if (!value.is_string()) typeMismatch(key, "a string");
  return value.get<std::string>();
}

std::uint64_t requiredUnsigned(const nlohmann::json& object, const char* key) {
  const nlohmann::json& value = requiredMember(object, key);
  if (value.is_number_unsigned()) return value.get<std::uint64_t>();
  if (value.is_number_integer() && value.get<std::int64_t>() >= 0) return value.get<std::uint64_t>();
  typeMismatch(key, "an unsigned integer");
}

std::optional<std::string> optionalString(const nlohmann::json& object, const char* key) {
  const auto found = object.find(key);
  if (found == object.end() || found->is_null()) return std::nullopt;
  if (!found->is_string()) typeMismatch(key, "a string");
  return found->get<std::string>();
}

// The engine a provider hands out for one e164 coding. A provider that hands out none fails that coding as a
// parse without its managers fails.
std::shared_ptr<PhoneNumberEngine> engineFrom(const PhoneNumberEngineProvider& provider) {
  std::shared_ptr<PhoneNumberEngine> engine = provider ? provider() : nullptr;
  if (!engine) throw PhoneNumberError::generalError();
  return engine;
}

}  // namespace

PhoneNumberDecodingStrategy PhoneNumberDecodingUtils::defaultStrategy() {
  std::lock_guard lock(defaults().mutex);
  return defaults().decodingStrategy;
}
void PhoneNumberDecodingUtils::setDefaultStrategy(PhoneNumberDecodingStrategy strategy) {
  std::lock_guard lock(defaults().mutex);
  defaults().decodingStrategy = strategy;
}
PhoneNumberEngineProvider PhoneNumberDecodingUtils::defaultUtility() {
  std::lock_guard lock(defaults().mutex);
  return defaults().decodingUtility;
}
void PhoneNumberDecodingUtils::setDefaultUtility(PhoneNumberEngineProvider provider) {
  std::lock_guard lock(defaults().mutex);
  defaults().decodingUtility = provider ? std::move(provider) : PhoneNumberEngineProvider(newEngine);
}

PhoneNumberEncodingStrategy PhoneNumberEncodingUtils::defaultStrategy() {
  std::lock_guard lock(defaults().mutex);
  return defaults().encodingStrategy;
}
void PhoneNumberEncodingUtils::setDefaultStrategy(PhoneNumberEncodingStrategy strategy) {
  std::lock_guard lock(defaults().mutex);
  defaults().encodingStrategy = strategy;
}
PhoneNumberEngineProvider PhoneNumberEncodingUtils::defaultUtility() {
  std::lock_guard lock(defaults().mutex);
  return defaults().encodingUtility;
}
void PhoneNumberEncodingUtils::setDefaultUtility(PhoneNumberEngineProvider provider) {
  std::lock_guard lock(defaults().mutex);
  defaults().encodingUtility = provider ? std::move(provider) : PhoneNumberEngineProvider(newEngine);
}

PhoneNumberDecodingStrategy PhoneNumberCoderContext::phoneNumberDecodingStrategy() const {
  if (const auto* value = userInfoValue<PhoneNumberDecodingStrategy>(userInfo, PhoneNumberCodingKeys::decodingStrategy)) {
    return *value;
  }
  return PhoneNumberDecodingUtils::defaultStrategy();
}

void PhoneNumberCoderContext::setPhoneNumberDecodingStrategy(PhoneNumberDecodingStrategy strategy) {
  userInfo.insert_or_assign(std::string(PhoneNumberCodingKeys::decodingStrategy), strategy);
}

PhoneNumberEncodingStrategy PhoneNumberCoderContext::phoneNumberEncodingStrategy() const {
  if (const auto* value = userInfoValue<PhoneNumberEncodingStrategy>(userInfo, PhoneNumberCodingKeys::encodingStrategy)) {
    return *value;
  }
  return PhoneNumberEncodingUtils::defaultStrategy();
}

void PhoneNumberCoderContext::setPhoneNumberEncodingStrategy(PhoneNumberEncodingStrategy strategy) {
  userInfo.insert_or_assign(std::string(PhoneNumberCodingKeys::encodingStrategy), strategy);
}

PhoneNumberEngineProvider PhoneNumberCoderContext::decodingPhoneNumberEngine() const {
  if (const auto* value = userInfoValue<PhoneNumberEngineProvider>(userInfo, PhoneNumberCodingKeys::instance)) {
    if (*value) return *value;
  }
  return PhoneNumberDecodingUtils::defaultUtility();
}

PhoneNumberEngineProvider PhoneNumberCoderContext::encodingPhoneNumberEngine() const {
  if (const auto* value = userInfoValue<PhoneNumberEngineProvider>(userInfo, PhoneNumberCodingKeys::instance)) {
    if (*value) return *value;
  }
  return PhoneNumberEncodingUtils::defaultUtility();
}

void PhoneNumberCoderContext::setPhoneNumberEngine(PhoneNumberEngineProvider provider) {
  userInfo.insert_or_assign(std::string(PhoneNumberCodingKeys::instance), std::move(provider));
}

nlohmann::json encodePhoneNumber(const PhoneNumber& phoneNumber, const PhoneNumberCoderContext& context) {
  if (context.phoneNumberEncodingStrategy() == PhoneNumberEncodingStrategy::e164) {
    const auto engine = engineFrom(context.encodingPhoneNumberEngine());
    return engine->format(phoneNumber, PhoneNumberFormat::e164, true);
  }
  nlohmann::json object = nlohmann::json::object();
  object["numberString"] = phoneNumber.numberString;
  object["countryCode"] = phoneNumber.countryCode;
  object["leadingZero"] = phoneNumber.leadingZero;
  object["nationalNumber"] = phoneNumber.nationalNumber;
  object["numberExtension"] = phoneNumber.numberExtension ? nlohmann::json(*phoneNumber.numberExtension) : nlohmann::json();
  object["type"] = std::string(rawValue(phoneNumber.type));
  object["regionID"] = phoneNumber.regionID ? nlohmann::json(*phoneNumber.regionID) : nlohmann::json();
  return object;
}

PhoneNumber decodePhoneNumber(const nlohmann::json& json, const PhoneNumberCoderContext& context) {
  if (context.phoneNumberDecodingStrategy() == PhoneNumberDecodingStrategy::e164) {
    if (!json.is_string()) throw PhoneNumberCodingError("an E.164 phone number is not a string");
    const auto engine = engineFrom(context.decodingPhoneNumberEngine());
    return engine->parse(json.get<std::string>(), PhoneNumberEngine::defaultRegionCode(), true);
  }
  if (!json.is_object()) throw PhoneNumberCodingError("a phone number is not an object");
  PhoneNumber number;
  number.numberString = requiredString(json, "numberString");
  number.countryCode = requiredUnsigned(json, "countryCode");
  const nlohmann::json& leadingZero = requiredMember(json, "leadingZero");
  if (!leadingZero.is_boolean()) typeMismatch("leadingZero", "a boolean");
  number.leadingZero = leadingZero.get<bool>();
  number.nationalNumber = requiredUnsigned(json, "nationalNumber");
  number.numberExtension = optionalString(json, "numberExtension");
  const std::string type = requiredString(json, "type");
  const auto parsedType = fromRawValue<PhoneNumberType>(type);
  if (!parsedType) throw PhoneNumberCodingError("\"" + type + "\" is not a phone number type");
  number.type = *parsedType;
  number.regionID = optionalString(json, "regionID");
  return number;
}

}  // namespace numberplan
