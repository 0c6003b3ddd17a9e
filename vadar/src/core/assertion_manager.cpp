#include "vadar/core/assertion_manager.hpp"

namespace vadar {

const char* AttestationError::what() const noexcept {
  switch (code_) {
    case Code::unsupportedDevice: return "unsupportedDevice";
    case Code::unableToGetChallengeFromServer: return "unableToGetChallengeFromServer";
    case Code::unableToFormatChallengeAsData: return "unableToFormatChallengeAsData";
  }
  return "AttestationError";
}

}  // namespace vadar
