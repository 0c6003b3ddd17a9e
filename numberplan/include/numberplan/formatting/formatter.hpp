#pragma once
// Formatter: writes a parsed PhoneNumber's national number in national or international layout from its
// territory's number formats: the first format whose leading digits and pattern fit, its template, the national
// prefix where the national layout asks for it ("$NP" / "$FG" rule), and the extension.
//
// Example, given std::shared_ptr<numberplan::RegexManager> regexManager, const numberplan::PhoneNumber& number,
//                const numberplan::MetadataTerritory* gb:
//   Formatter formatter(regexManager);
//   auto national = formatter.format(number, PhoneNumberFormat::national, gb);   // "020 7946 0000"
//   auto bare = formatter.format(number, PhoneNumberFormat::international, gb);  // "20 7946 0000" (no "+44 ")
//
// PhoneNumberEngine::format adds the "+" and calling code and handles E.164 itself. Holds the RegexManager
// weakly; when it has gone, or nothing fits, the national number comes back unformatted. Nothing here throws.
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "numberplan/metadata/metadata_types.hpp"
#include "numberplan/values/phone_number.hpp"
#include "numberplan/values/phone_number_format.hpp"
#include "numberplan/regex/regex_manager.hpp"

namespace numberplan {

class Formatter {
 public:
  explicit Formatter(const std::shared_ptr<RegexManager>& regexManager);

  // Without a territory: the adjusted national number alone (no layout, no extension).
  std::string format(const PhoneNumber& phoneNumber, PhoneNumberFormat formatType,
                     const MetadataTerritory* metadata) const;

  std::string formatNationalNumber(std::string_view nationalNumber, const MetadataTerritory& metadata,
                                   PhoneNumberFormat formatType) const;

 private:
  std::weak_ptr<RegexManager> regexManager_;
};

}  // namespace numberplan
