#include "general/guarded_call.hpp"

#include <exception>
#include <string>

#include "foundation/log.hpp"

namespace vellum {

void logThrown(std::string_view call) noexcept {
  try {
    std::string line = "[Vellum] ";
    line += call;
    try {
      throw;
    } catch (const std::exception& e) {
      line += " threw: ";
      line += e.what();
    } catch (...) {
      line += " threw something that is no std::exception.";
    }
    foundation::log(foundation::LogLevel::error, line);
  } catch (...) {
    // Nothing more can be said when even the line cannot be made.
  }
}

}  // namespace vellum
