#include "vellum/views/guarded_call.hpp"

#include <exception>
#include <string>

#include "foundation/log.hpp"

namespace vellum {

void logGuardedThrow(std::string_view what) noexcept {
  try {
    std::string text = "something that is not an exception";
    try {
      throw;
    } catch (const std::exception& e) {
      text = e.what();
    } catch (...) {
    }
    foundation::log(foundation::LogLevel::error, "[Vellum] " + std::string(what) + " threw: " + text);
  } catch (...) {
    // Nothing is left to tell it with.
  }
}

}  // namespace vellum
