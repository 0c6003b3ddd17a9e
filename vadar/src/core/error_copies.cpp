#include "core/error_copies.hpp"

#include <httpkit/errors.hpp>
#include <httpkit/url_error.hpp>

#include "vadar/core/assertion_manager.hpp"
#include "vadar/infra/coding.hpp"
#include "vadar/models/vadar_api_error.hpp"
#include "vadar/models/vadar_client_error.hpp"

namespace vadar::core {

std::function<void()> copyingThrower(std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (const VadarAPIError& e) {
    return [e] { throw e; };
  } catch (const VadarClientError& e) {
    return [e] { throw e; };
  } catch (const AttestationError& e) {
    return [e] { throw e; };
  } catch (const DecodingError& e) {
    return [e] { throw e; };
  } catch (const httpkit::URLError& e) {
    return [e] { throw e; };
  } catch (const httpkit::DecodingError& e) {
    return [e] { throw e; };
  } catch (const httpkit::EncodingError& e) {
    return [e] { throw e; };
  } catch (const httpkit::APIError& e) {
    return [e] { throw e; };
  } catch (...) {
    return [error] { std::rethrow_exception(error); };
  }
}

}  // namespace vadar::core
