#pragma once
// MetadataManager: the decoded metadata and the three indexes by which parsing and formatting find regions.
//
// Example, given std::vector<std::uint8_t> metadataJson:
//   MetadataManager metadata([metadataJson] { return std::optional(metadataJson); });
//   const MetadataTerritory* gb = metadata.territory("gb");          // looked up as "GB"; null when unknown
//   std::string first = "";
//   if (const auto* nanp = metadata.territories(1)) first = nanp->front().codeID;   // main region first: "US"
//   const MetadataTerritory* main = metadata.mainTerritory(44);
//
// Loading never fails loudly: when the callback throws, one line goes to standard output
// ("ERROR: Unable to load PhoneNumberMetadata.json resource: " and the error's description, quoted and
// escaped) and the manager is empty; when it returns nothing or the bytes do not decode, the manager is empty
// without a word. An empty manager finds nothing.
//
// Immutable once constructed: any number of threads may read it at once. Returned pointers and references
// stay valid as long as the manager.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "numberplan/metadata/metadata_types.hpp"

namespace numberplan {

// Bytes of a JSON metadata document, or nothing. May throw; MetadataManager reports what it throws.
using MetadataCallback = std::function<std::optional<std::vector<std::uint8_t>>()>;

class MetadataManager {
 public:
  explicit MetadataManager(const MetadataCallback& metadataCallback);

  MetadataManager(const MetadataManager&) = delete;
  MetadataManager& operator=(const MetadataManager&) = delete;

  // Every territory in document order.
  const std::vector<MetadataTerritory>& territories() const noexcept { return territories_; }
  // Territories of each calling code: those marked main at the front (a later one before an earlier one),
  // the others after them in document order.
  const std::unordered_map<std::uint64_t, std::vector<MetadataTerritory>>& territoriesByCode() const noexcept {
    return territoriesByCode_;
  }
  // The last territory of a code marked main, or when none is, the code's first territory.
  const std::unordered_map<std::uint64_t, MetadataTerritory>& mainTerritoryByCode() const noexcept {
    return mainTerritoryByCode_;
  }
  // Each territory under its codeID as written; a later duplicate id replaces an earlier one.
  const std::unordered_map<std::string, MetadataTerritory>& territoriesByCountry() const noexcept {
    return territoriesByCountry_;
  }

  // The territories of a calling code, or nullptr (never an empty list).
  const std::vector<MetadataTerritory>* territories(std::uint64_t forCode) const;
  // The territory whose id is the fully upper-cased region code, or nullptr. An id written in lower case in
  // the document can never be found.
  const MetadataTerritory* territory(std::string_view forCountry) const;
  // The main territory of a calling code, or nullptr.
  const MetadataTerritory* mainTerritory(std::uint64_t forCode) const;

 private:
  std::vector<MetadataTerritory> loadTerritories(const MetadataCallback& metadataCallback);

  std::vector<MetadataTerritory> territories_;
  std::unordered_map<std::uint64_t, std::vector<MetadataTerritory>> territoriesByCode_;
  std::unordered_map<std::uint64_t, MetadataTerritory> mainTerritoryByCode_;
  std::unordered_map<std::string, MetadataTerritory> territoriesByCountry_;
};

// The line MetadataManager prints when its callback throws, without the newline: the prefix and the error's
// description, inside double quotes, with double quotes, backslashes and control characters escaped.
std::string metadataLoadErrorLine(std::string_view errorDescription);

}  // namespace numberplan
