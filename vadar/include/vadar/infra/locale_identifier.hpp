#pragma once
// The process's locale as an identifier ("en_US", "de_DE", "pt").
#include <string>

namespace vadar {

// From the first non-empty of LC_ALL, LC_MESSAGES and LANG: the language and region part, without encoding
// (".UTF-8") or modifier ("@euro"): "de_DE.UTF-8" gives "de_DE". "C", "POSIX", an unset locale or text that is
// not a plausible identifier give "en_US". Only the environment is read (no locale needs to be installed);
// never throws.
std::string currentLocaleIdentifier();

}  // namespace vadar
