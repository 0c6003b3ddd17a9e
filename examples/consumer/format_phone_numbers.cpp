// Formats a phone number, then formats another one as it is typed, key by key.
#include <cstdio>
#include <memory>
#include <string>

#include <numberplan/numberplan.hpp>

int main() {
  auto engine = std::make_shared<numberplan::PhoneNumberEngine>();  // reads the installed metadata bundle
  const numberplan::PhoneNumber number = engine->parse("020 7946 0000", "GB");
  std::printf("%s\n", engine->format(number, numberplan::PhoneNumberFormat::international).c_str());

  numberplan::PartialFormatter typing(engine, "US");
  std::string typed;
  for (char key : std::string("6502530000")) std::printf("%s\n", typing.formatPartial(typed += key).c_str());
}
