#include "vellum/general/main_actor.hpp"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace vellum {

void failActorAssumption(std::string_view typeName) {
  const std::string message =
      "Incorrect actor executor assumption; Expected same executor as " + std::string(typeName) + ".\n";
  std::fputs(message.c_str(), stderr);
  std::fflush(stderr);
  std::abort();
}

}  // namespace vellum
