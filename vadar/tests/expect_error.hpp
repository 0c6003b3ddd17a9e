#pragma once
// What a call throws, for comparing against the exact texts and codes; an exception of another type escapes
// and fails the test.
#include <exception>
#include <string>

#include <httpkit/url_error.hpp>

#include "vadar/models/vadar_api_error.hpp"

namespace vadar {

// How `call` ended: "cancelled" for a URLError of that code, the text of any other error, or `done`.
template <class Call>
std::string outcomeOf(Call&& call, const std::string& done) {
  try {
    call();
  } catch (const httpkit::URLError& error) {
    return error.code() == httpkit::URLError::Code::cancelled ? std::string("cancelled") : error.what();
  } catch (const std::exception& error) {
    return error.what();
  }
  return done;
}

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
