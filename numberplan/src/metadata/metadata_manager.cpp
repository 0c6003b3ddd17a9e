#include "numberplan/metadata/metadata_manager.hpp"

#include <cstdio>
#include <exception>
#include <iostream>
#include <span>

#include <unicode/locid.h>

#include "numberplan/values/phone_number_error.hpp"
#include "regex/icu_text.hpp"

namespace numberplan {
namespace {

constexpr std::string_view kLoadErrorPrefix = "ERROR: Unable to load PhoneNumberMetadata.json resource: ";

// What the thrown value says about itself: the library's own message, an exception's what(), or a generic line
// for anything else a callback may throw.
std::string describeCurrentException() {
  try {
    throw;
  } catch (const PhoneNumberError& error) {
    return error.errorDescription();
  } catch (const std::exception& error) {
    return error.what();
  } catch (...) {
    return "The operation couldn't be completed.";
  }
}

std::string fullyUpperCased(std::string_view text) {
  icu::UnicodeString unicode = detail::toUnicode(text);
  unicode.toUpper(icu::Locale::getRoot());
  return detail::toUtf8(unicode);
}

}  // namespace

std::string metadataLoadErrorLine(std::string_view errorDescription) {
  std::string text(kLoadErrorPrefix);
  text += errorDescription;
  std::string quoted = "\"";
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    switch (c) {
      case '"': quoted += "\\\""; break;
      case '\\': quoted += "\\\\"; break;
      case '\n': quoted += "\\n"; break;
      case '\r': quoted += "\\r"; break;
      case '\t': quoted += "\\t"; break;
      case '\0': quoted += "\\0"; break;
      default:
        if (byte < 0x20 || byte == 0x7F) {
          char escape[12];
          std::snprintf(escape, sizeof escape, "\\u{%x}", static_cast<unsigned>(byte));
          quoted += escape;
        } else {
          quoted += c;
        }
    }
  }
  quoted += '"';
  return quoted;
}

MetadataManager::MetadataManager(const MetadataCallback& metadataCallback) {
  territories_ = loadTerritories(metadataCallback);
  for (const MetadataTerritory& territory : territories_) {
    auto& sameCode = territoriesByCode_[territory.countryCode];
    if (territory.mainCountryForCode) {
      sameCode.insert(sameCode.begin(), territory);
    } else {
      sameCode.push_back(territory);
    }
    if (territory.mainCountryForCode || !mainTerritoryByCode_.contains(territory.countryCode)) {
      mainTerritoryByCode_.insert_or_assign(territory.countryCode, territory);
    }
    territoriesByCountry_.insert_or_assign(territory.codeID, territory);
  }
}

std::vector<MetadataTerritory> MetadataManager::loadTerritories(const MetadataCallback& metadataCallback) {
  std::optional<std::vector<std::uint8_t>> bytes;
  try {
    if (metadataCallback) bytes = metadataCallback();
  } catch (...) {
    std::cout << metadataLoadErrorLine(describeCurrentException()) << '\n' << std::flush;
    return {};
  }
  if (!bytes) return {};
  try {
    return decodePhoneNumberMetadata(std::span<const std::uint8_t>(*bytes)).territories;
  } catch (const MetadataDecodingError&) {
    return {};  // an undecodable document leaves the manager empty, by design without a word
  }
}

const std::vector<MetadataTerritory>* MetadataManager::territories(std::uint64_t forCode) const {
  const auto found = territoriesByCode_.find(forCode);
  return found == territoriesByCode_.end() ? nullptr : &found->second;
}

const MetadataTerritory* MetadataManager::territory(std::string_view forCountry) const {
  const auto found = territoriesByCountry_.find(fullyUpperCased(forCountry));
  return found == territoriesByCountry_.end() ? nullptr : &found->second;
}

const MetadataTerritory* MetadataManager::mainTerritory(std::uint64_t forCode) const {
  const auto found = mainTerritoryByCode_.find(forCode);
  return found == mainTerritoryByCode_.end() ? nullptr : &found->second;
}

}  // namespace numberplan
