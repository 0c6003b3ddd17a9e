# Helpers shared by every library of the project.

# Warnings are ours to fix, so they are errors on our own targets only; third-party headers come in as
# SYSTEM includes and never trip them.
set(TOLVARAN_WARNINGS -Wall -Wextra -Wpedantic -Werror -Wno-error=deprecated-declarations)

function(tolvaran_warnings target)
  target_compile_options(${target} PRIVATE ${TOLVARAN_WARNINGS})
endfunction()

# tolvaran_library(<name> NAMESPACE <ns> SOURCES ... [PUBLIC_DEPS ...] [PRIVATE_DEPS ...])
# A static library with public headers under <dir>/include and an alias <ns>::<ns>.
function(tolvaran_library name)
  cmake_parse_arguments(ARG "" "NAMESPACE" "SOURCES;PUBLIC_DEPS;PRIVATE_DEPS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  add_library(${ARG_NAMESPACE}::${ARG_NAMESPACE} ALIAS ${name})
  target_include_directories(${name} PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/include
                                     PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/src)
  target_link_libraries(${name} PUBLIC ${ARG_PUBLIC_DEPS} PRIVATE ${ARG_PRIVATE_DEPS})
  tolvaran_warnings(${name})
endfunction()

# tolvaran_tests(<binary> PREFIX <lib> SOURCES ... DEPS ...)
# One GoogleTest binary per library; test names are prefixed "<lib>." so `ctest -R '^<lib>'` selects them.
# Concurrency tests live in suites whose name ends in "Concurrency" (e.g. `vadar.TokenConcurrency.SingleFlight`).
# With TOLVARAN_TESTS off the program is still defined (so a library's CMakeLists may add to it) but neither
# built nor registered.
function(tolvaran_tests binary)
  cmake_parse_arguments(ARG "" "PREFIX" "SOURCES;DEPS" ${ARGN})
  add_executable(${binary} ${ARG_SOURCES})
  target_link_libraries(${binary} PRIVATE ${ARG_DEPS} GTest::gtest GTest::gmock GTest::gtest_main Threads::Threads)
  # testing/include holds header-only helpers every test binary may use (bounded waits).
  target_include_directories(${binary} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/testing/include)
  tolvaran_warnings(${binary})
  if(NOT TOLVARAN_TESTS)
    set_target_properties(${binary} PROPERTIES EXCLUDE_FROM_ALL ON)
    return()
  endif()
  gtest_discover_tests(${binary}
    TEST_PREFIX "${ARG_PREFIX}."
    DISCOVERY_TIMEOUT 60
    PROPERTIES TIMEOUT 300)
endfunction()
