#pragma once
// What a call throws, for comparing against the exact texts and codes; an exception of another type escapes
// and fails the test.
#include <string>

#include "vadar/models/vadar_api_error.hpp"

namespace vadar {

// The code of the VadarAPIError `call` throws, or "no error".
template <class Call>
std::string apiErrorCode(Call&& call) {
  try {
    call();
  } catch (const VadarAPIError& error) {
    return error.code;
  }
  return "no error";
}

// The what() of the `Error` `call` throws, or "no error".
template <class Error, class Call>
std::string errorText(Call&& call) {
  try {
    call();
  } catch (const Error& error) {
    return error.what();
  }
  return "no error";
}

}  // namespace vadar
