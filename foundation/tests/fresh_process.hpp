#pragma once
// Runs a test's body in a child process of its own (a death test re-runs this binary for just the one test):
// for what is decided once per process (the main queue's driver) and for what ends the process (exit, a
// crash). alarm() is the child's deadline: a hang ends it by signal, and the test fails.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>

namespace foundation::tests {

// `body` returns whether the child saw what it expected; `exitNormally`: the child leaves through exit(), so
// that exit's own work (handlers, static destructors) runs, and must end within the deadline too.
template <class Body>
void inFreshProcess(Body body, bool exitNormally = false) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        ::alarm(10);
        const bool ok = body();
        if (exitNormally) std::exit(ok ? 0 : 1);
        std::_Exit(ok ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace foundation::tests
