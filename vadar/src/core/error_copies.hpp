#pragma once
// Errors handed to many waiters of one shared operation (a token fetch, a device assertion run).
#include <exception>
#include <functional>

namespace vadar::core {

// A thrower of copies of `error`: each waiter catches an object of its own instead of all threads sharing one
// exception object. The library's error types and httpkit's are copied; anything else is rethrown as it is.
std::function<void()> copyingThrower(std::exception_ptr error);

}  // namespace vadar::core
