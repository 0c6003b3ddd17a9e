#include "numberplan/engine/phone_number_engine.hpp"

#include <charconv>
#include <iostream>
#include <mutex>

#include <unicode/locid.h>

#include "numberplan/formatting/formatter.hpp"
#include "numberplan/values/phone_number_error.hpp"
#include "numberplan/metadata/resource_bundle.hpp"

namespace numberplan {
namespace {

std::atomic<bool> contactsFrameworkAllowed{true};

// Where defaultRegionCode() reads the locale. Never destroyed: threads still asking while the process exits find
// it whole.
struct LocaleProviderSlot {
  std::mutex mutex;
  PhoneNumberEngine::LocaleRegionProvider provider;  // guarded by mutex; empty: ICU
};

LocaleProviderSlot& localeProviderSlot() {
  static auto& slot = *new LocaleProviderSlot;
  return slot;
}

PhoneNumberEngine::LocaleRegion processLocaleRegion() {
  const icu::Locale& locale = icu::Locale::getDefault();
  PhoneNumberEngine::LocaleRegion region;
  if (const char* country = locale.getCountry(); country != nullptr && *country != '\0') {
    region.regionIdentifier = country;
    region.countryCode = country;
  }
  return region;
}

// Two ASCII letters, the shape of a region code ("419" and "USA" are not).
bool isRegionCode(const std::string& candidate) {
  const auto letter = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
  return candidate.size() == 2 && letter(candidate[0]) && letter(candidate[1]);
}

std::string upperAscii(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

// Decimal Int with an optional sign; nothing for anything else.
std::optional<int> readInt(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  int value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

std::vector<int> lengthsOfComponent(std::string_view component) {
  if (const auto single = readInt(component)) return {*single};
  while (!component.empty() && (component.front() == '[' || component.front() == ']')) component.remove_prefix(1);
  while (!component.empty() && (component.back() == '[' || component.back() == ']')) component.remove_suffix(1);
  std::vector<int> bounds;
  std::size_t start = 0;
  while (true) {
    const std::size_t dash = component.find('-', start);
    const std::string_view part = component.substr(start, dash == std::string_view::npos ? dash : dash - start);
    if (const auto value = readInt(part)) bounds.push_back(*value);
    if (dash == std::string_view::npos) break;
    start = dash + 1;
  }
  if (bounds.size() != 2) return {};
  const int low = bounds[0];
  const int high = bounds[1];
  // A descending range or a vast one is broken metadata: it gives nothing rather than a huge list.
  if (high < low || static_cast<long long>(high) - low >= PhoneNumberEngine::maxLengthRangeSpan) return {};
  std::vector<int> lengths;
  // Counted up to `high` and no further: a range ending at the largest int must not step past it.
  for (int length = low;; ++length) {
    lengths.push_back(length);
    if (length == high) break;
  }
  return lengths;
}

const std::optional<MetadataPhoneNumberDesc>* descriptionOfType(const MetadataTerritory& territory,
                                                                PhoneNumberType type) {
  switch (type) {
    case PhoneNumberType::fixedLine: return &territory.fixedLine;
    case PhoneNumberType::mobile: return &territory.mobile;
    case PhoneNumberType::pager: return &territory.pager;
    case PhoneNumberType::personalNumber: return &territory.personalNumber;
    case PhoneNumberType::premiumRate: return &territory.premiumRate;
    case PhoneNumberType::sharedCost: return &territory.sharedCost;
    case PhoneNumberType::tollFree: return &territory.tollFree;
    case PhoneNumberType::voicemail: return &territory.voicemail;
    case PhoneNumberType::voip: return &territory.voip;
    case PhoneNumberType::uan: return &territory.uan;
    case PhoneNumberType::fixedOrMobile:
    case PhoneNumberType::unknown:
    case PhoneNumberType::notParsed: return nullptr;
  }
  return nullptr;
}

}  // namespace

PhoneNumberEngine::PhoneNumberEngine(const MetadataCallback& metadataCallback) {
  regexManager_ = std::make_shared<RegexManager>();
  metadataManager_ = std::make_shared<MetadataManager>(metadataCallback);
  parseManager_ = std::make_shared<ParseManager>(metadataManager_, regexManager_);
}

std::optional<std::vector<std::uint8_t>> PhoneNumberEngine::defaultMetadataCallback() {
  auto bytes = resourceBundle().contentsOfResource("PhoneNumberMetadata", "json");
  if (!bytes) throw PhoneNumberError::metadataNotFound();
  return bytes;
}

std::string PhoneNumberEngine::defaultRegionCode() {
  LocaleRegionProvider provider;
  {
    LocaleProviderSlot& slot = localeProviderSlot();
    std::lock_guard lock(slot.mutex);
    provider = slot.provider;
  }
  LocaleRegion region;
  try {
    region = provider ? provider() : processLocaleRegion();
  } catch (...) {
    // A provider that fails tells no region; the callers asking (a parse's default argument, a text field) go on.
    region = LocaleRegion{};
  }
  // The contacts store's default country would be asked first; this platform has none.
  for (const auto& candidate : {region.regionIdentifier, region.countryCode}) {
    if (candidate && isRegionCode(*candidate)) return upperAscii(*candidate);
  }
  return "US";
}

void PhoneNumberEngine::setLocaleRegionProvider(LocaleRegionProvider provider) {
  LocaleProviderSlot& slot = localeProviderSlot();
  std::lock_guard lock(slot.mutex);
  slot.provider = std::move(provider);
}

bool PhoneNumberEngine::canUseContactsFramework() noexcept { return contactsFrameworkAllowed.load(); }
void PhoneNumberEngine::setCanUseContactsFramework(bool value) noexcept { contactsFrameworkAllowed.store(value); }

PhoneNumber PhoneNumberEngine::parse(std::string_view numberString, std::string_view withRegion,
                                     bool ignoreType) const {
  return parseManager_->parse(numberString, withRegion, ignoreType);
}

std::vector<PhoneNumber> PhoneNumberEngine::parse(const std::vector<std::string>& numberStrings,
                                                  std::string_view withRegion, bool ignoreType,
                                                  bool shouldReturnFailedEmptyNumbers) const {
  return parseManager_->parse(numberStrings, withRegion, ignoreType, shouldReturnFailedEmptyNumbers);
}

bool PhoneNumberEngine::isValidPhoneNumber(std::string_view numberString, std::string_view withRegion,
                                           bool ignoreType) const {
  try {
    parse(numberString, withRegion, ignoreType);
    return true;
  } catch (const PhoneNumberError&) {
    return false;
  }
}

std::string PhoneNumberEngine::format(const PhoneNumber& phoneNumber, PhoneNumberFormat toType,
                                      bool withPrefix) const {
  if (toType == PhoneNumberFormat::e164) {
    std::string national = std::to_string(phoneNumber.nationalNumber);
    if (phoneNumber.leadingZero) national.insert(0, "0");
    if (!withPrefix) return national;
    return "+" + std::to_string(phoneNumber.countryCode) + national;
  }
  const Formatter formatter(regexManager_);
  const MetadataTerritory* main = metadataManager_->mainTerritory(phoneNumber.countryCode);
  std::string formatted = formatter.format(phoneNumber, toType, main);
  if (toType == PhoneNumberFormat::international && withPrefix) {
    return "+" + std::to_string(phoneNumber.countryCode) + " " + formatted;
  }
  return formatted;
}

std::vector<std::string> PhoneNumberEngine::allCountries() const {
  std::vector<std::string> codes;
  codes.reserve(metadataManager_->territories().size());
  for (const MetadataTerritory& territory : metadataManager_->territories()) codes.push_back(territory.codeID);
  return codes;
}

std::optional<std::vector<std::string>> PhoneNumberEngine::countries(std::uint64_t withCode) const {
  const auto* territories = metadataManager_->territories(withCode);
  if (!territories) return std::nullopt;
  std::vector<std::string> codes;
  for (const MetadataTerritory& territory : *territories) codes.push_back(territory.codeID);
  return codes;
}

std::optional<std::string> PhoneNumberEngine::mainCountry(std::uint64_t forCode) const {
  if (const auto* main = metadataManager_->mainTerritory(forCode)) return main->codeID;
  return std::nullopt;
}

std::optional<std::uint64_t> PhoneNumberEngine::countryCode(std::string_view forRegion) const {
  if (const auto* territory = metadataManager_->territory(forRegion)) return territory->countryCode;
  return std::nullopt;
}

std::optional<std::string> PhoneNumberEngine::leadingDigits(std::string_view forRegion) const {
  if (const auto* territory = metadataManager_->territory(forRegion)) return territory->leadingDigits;
  return std::nullopt;
}

std::optional<std::string> PhoneNumberEngine::getRegionCode(const PhoneNumber& of) const {
  return parseManager_->getRegionCode(of.nationalNumber, of.countryCode, of.leadingZero);
}

std::optional<PhoneNumber> PhoneNumberEngine::getExampleNumber(std::string_view forCountry,
                                                               PhoneNumberType ofType) const {
  const MetadataTerritory* territory = metadataManager_->territory(forCountry);
  if (!territory) return std::nullopt;
  const std::optional<MetadataPhoneNumberDesc>* description =
      ofType == PhoneNumberType::fixedOrMobile ? &territory->mobile : descriptionOfType(*territory, ofType);
  if (!description || !*description || !(*description)->exampleNumber) return std::nullopt;
  try {
    return parse(*(*description)->exampleNumber, forCountry, false);
  } catch (const PhoneNumberError&) {
    std::cout << "[NumberPlan] Failed to parse example number for " << forCountry << " region" << std::endl;
    return std::nullopt;
  }
}

std::optional<std::string> PhoneNumberEngine::getFormattedExampleNumber(std::string_view forCountry,
                                                                        PhoneNumberType ofType,
                                                                        PhoneNumberFormat withFormat,
                                                                        bool withPrefix) const {
  const auto example = getExampleNumber(forCountry, ofType);
  if (!example) return std::nullopt;
  return format(*example, withFormat, withPrefix);
}

const MetadataTerritory* PhoneNumberEngine::metadata(std::string_view forRegion) const {
  return metadataManager_->territory(forRegion);
}

const std::vector<MetadataTerritory>* PhoneNumberEngine::metadata(std::uint64_t forCode) const {
  return metadataManager_->territories(forCode);
}

std::vector<int> PhoneNumberEngine::possiblePhoneNumberLengths(std::string_view forCountry,
                                                               PhoneNumberType phoneNumberType,
                                                               PossibleLengthType lengthType) const {
  const MetadataTerritory* territory = metadataManager_->territory(forCountry);
  if (!territory) return {};
  const auto* description = descriptionOfType(*territory, phoneNumberType);
  if (!description || !*description || !(*description)->possibleLengths) return {};
  const MetadataPossibleLengths& lengths = *(*description)->possibleLengths;
  const std::optional<std::string>& text =
      lengthType == PossibleLengthType::localOnly ? lengths.localOnly : lengths.national;
  if (!text) return {};
  return lengthList(*text);
}

std::vector<int> PhoneNumberEngine::lengthList(std::string_view from) {
  std::vector<int> lengths;
  std::size_t start = 0;
  while (true) {
    const std::size_t comma = from.find(',', start);
    const std::string_view piece = from.substr(start, comma == std::string_view::npos ? comma : comma - start);
    const auto more = lengthsOfComponent(piece);
    lengths.insert(lengths.end(), more.begin(), more.end());
    if (comma == std::string_view::npos) break;
    start = comma + 1;
  }
  return lengths;
}

}  // namespace numberplan
