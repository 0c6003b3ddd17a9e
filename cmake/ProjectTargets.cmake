# Helpers shared by every library of the project.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# Warnings are ours to fix, so they are errors on our own targets only, and only when this project is the one
# being built: an application that adds it as a subproject builds with a compiler we never tried. Third-party
# headers come in as SYSTEM includes and never trip them.
set(TOLVARAN_WARNINGS -Wall -Wextra -Wpedantic -Wno-error=deprecated-declarations)
if(PROJECT_IS_TOP_LEVEL)
  list(APPEND TOLVARAN_WARNINGS -Werror)
endif()
# g++ 12 at -O3 reports -Wrestrict inside libstdc++'s own std::string code for ordinary assignments and
# concatenations (`id = "1"`, `"+" + text`): a false positive of that compiler, fixed in 13. Working around it
# at each call site would leave it to return with the next string expression, so it is off for g++ 12 only.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
  list(APPEND TOLVARAN_WARNINGS -Wno-restrict)
endif()

function(tolvaran_warnings target)
  target_compile_options(${target} PRIVATE ${TOLVARAN_WARNINGS})
endfunction()

# tolvaran_library(<package> DESCRIPTION <text> SOURCES ... [PUBLIC_DEPS ...] [PRIVATE_DEPS ...]
#                  [PACKAGE_INCLUDES <file>...])
# A static library with public headers under <dir>/include. Its real target is tolvaran_<package> (so that an
# application's own target of the same name cannot clash when this project is a subproject); in-tree users and
# consumers of the installed package link the alias <package>::<package>. Installs the headers, the library,
# the CMake package <package> and the pkg-config file <package>.pc. PACKAGE_INCLUDES are CMake files installed
# into the package and included by it after its targets (what else the package gives its users).
function(tolvaran_library package)
  cmake_parse_arguments(ARG "" "DESCRIPTION" "SOURCES;PUBLIC_DEPS;PRIVATE_DEPS;PACKAGE_INCLUDES" ${ARGN})
  set(target tolvaran_${package})
  add_library(${target} STATIC ${ARG_SOURCES})
  add_library(${package}::${package} ALIAS ${target})
  set_target_properties(${target} PROPERTIES EXPORT_NAME ${package})
  target_compile_features(${target} PUBLIC cxx_std_20)
  target_include_directories(${target}
    PUBLIC $<BUILD_INTERFACE:${CMAKE_CURRENT_SOURCE_DIR}/include> $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>
    PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/src)
  target_link_libraries(${target} PUBLIC ${ARG_PUBLIC_DEPS} PRIVATE ${ARG_PRIVATE_DEPS})
  tolvaran_warnings(${target})
  _tolvaran_install_library(${package} "${ARG_DESCRIPTION}" "${ARG_PACKAGE_INCLUDES}"
    ${ARG_PUBLIC_DEPS} ${ARG_PRIVATE_DEPS})
endfunction()

# What a consumer needs for one dependency of a library: the package its CMake config finds (and the
# component), or the pkg-config modules that make an imported PkgConfig:: target, and what its pkg-config
# file requires or adds to the link line. A static library's private dependencies are the consumer's to link
# too, so they are listed as well.
function(_tolvaran_describe_dependency dep)
  set(package "")
  set(component "")
  set(pc_modules "")
  set(requires "")
  set(libs "")
  if(dep STREQUAL "Threads::Threads")
    set(package Threads)
    set(libs -pthread)
  elseif(dep STREQUAL "Boost::headers")
    set(package Boost)
  elseif(dep MATCHES "^Boost::(.+)$")
    set(package Boost)
    set(component ${CMAKE_MATCH_1})
    set(libs -lboost_${CMAKE_MATCH_1})
  elseif(dep STREQUAL "nlohmann_json::nlohmann_json")
    set(package nlohmann_json)
    set(requires nlohmann_json)
  elseif(dep STREQUAL "OpenSSL::Crypto")
    set(package OpenSSL)
    set(requires libcrypto)
  elseif(dep STREQUAL "OpenSSL::SSL")
    set(package OpenSSL)
    set(requires libssl)
  elseif(dep STREQUAL "fmt::fmt")
    set(package fmt)
    set(requires fmt)
  elseif(dep STREQUAL "CURL::libcurl")
    set(package CURL)
    set(requires libcurl)
  elseif(dep STREQUAL "ZLIB::ZLIB")
    set(package ZLIB)
    set(requires zlib)
  elseif(dep STREQUAL "PNG::PNG")
    set(package PNG)
    set(requires libpng)
  elseif(dep STREQUAL "JPEG::JPEG")
    set(package JPEG)
    set(requires libjpeg)
  elseif(dep STREQUAL "GIF::GIF")
    set(package GIF)
    set(libs -lgif)  # giflib ships no pkg-config file
  elseif(dep MATCHES "^ICU::(.+)$")
    set(package ICU)
    set(component ${CMAKE_MATCH_1})
    set(requires icu-${CMAKE_MATCH_1})
  elseif(dep MATCHES "^PkgConfig::(.+)$")
    # The modules the imported target was made from, as the library's CMakeLists asked for them.
    set(pc_modules "${_TOLVARAN_PKG_MODULES_${CMAKE_MATCH_1}}")
    if(NOT pc_modules)
      message(FATAL_ERROR "${dep}: make it with tolvaran_pkg_check_modules so that consumers can find it")
    endif()
    set(requires ${pc_modules})
  elseif(dep MATCHES "^([a-z_]+)::([a-z_]+)$" AND TARGET ${dep})
    # One of this project's own libraries: the same version, from the same installation.
    set(package ${CMAKE_MATCH_1})
    set(requires "${CMAKE_MATCH_1} = ${PROJECT_VERSION}")
  elseif(dep MATCHES "^-?l?(dl|m|rt)$")
    set(libs -l${CMAKE_MATCH_1})
  else()
    message(FATAL_ERROR "Do not know how a consumer of an installed library finds ${dep}: describe it here")
  endif()
  set(dep_package "${package}" PARENT_SCOPE)
  set(dep_component "${component}" PARENT_SCOPE)
  set(dep_pc_modules "${pc_modules}" PARENT_SCOPE)
  set(dep_requires "${requires}" PARENT_SCOPE)
  set(dep_libs "${libs}" PARENT_SCOPE)
endfunction()

# tolvaran_pkg_check_modules(<prefix> <module>...)
# pkg_check_modules(<prefix> REQUIRED IMPORTED_TARGET ...), remembering the modules so that an installed
# library linking PkgConfig::<prefix> makes the same imported target for its consumers.
macro(tolvaran_pkg_check_modules prefix)
  pkg_check_modules(${prefix} REQUIRED IMPORTED_TARGET ${ARGN})
  set(_TOLVARAN_PKG_MODULES_${prefix} "${ARGN}" CACHE INTERNAL "pkg-config modules of PkgConfig::${prefix}")
endmacro()

function(_tolvaran_install_library package description package_includes)
  set(target tolvaran_${package})
  set(dependencies ${ARGN})
  list(REMOVE_DUPLICATES dependencies)

  set(packages "")
  set(find_lines "")
  set(pc_requires "")
  set(pc_libs "")
  foreach(dep IN LISTS dependencies)
    _tolvaran_describe_dependency(${dep})
    if(dep_package)
      if(NOT dep_package IN_LIST packages)
        list(APPEND packages ${dep_package})
        set(components_${dep_package} "")
      endif()
      if(dep_component)
        list(APPEND components_${dep_package} ${dep_component})
      endif()
    endif()
    if(dep_pc_modules)
      string(REGEX REPLACE "^PkgConfig::" "" prefix "${dep}")
      string(JOIN " " modules ${dep_pc_modules})
      if(NOT find_lines)
        string(APPEND find_lines "find_dependency(PkgConfig)\n")
      endif()
      string(APPEND find_lines
        "pkg_check_modules(${prefix} QUIET IMPORTED_TARGET ${modules})\n"
        "if(NOT ${prefix}_FOUND)\n"
        "  set(${package}_FOUND FALSE)\n"
        "  set(${package}_NOT_FOUND_MESSAGE \"${package} needs the pkg-config modules ${modules}\")\n"
        "  return()\n"
        "endif()\n")
    endif()
    list(APPEND pc_requires ${dep_requires})
    list(APPEND pc_libs ${dep_libs})
  endforeach()

  set(package_lines "")
  foreach(dep_package IN LISTS packages)
    set(arguments ${dep_package})
    if(dep_package MATCHES "^(foundation|wiring|httpkit|keychain|vadar|vellum|numberplan)$")
      # Siblings installed beside this package are found first.
      list(APPEND arguments ${PROJECT_VERSION} EXACT CONFIG HINTS "\"\${CMAKE_CURRENT_LIST_DIR}/..\"")
    elseif(dep_package STREQUAL "Boost")
      list(APPEND arguments ${Boost_VERSION_MAJOR}.${Boost_VERSION_MINOR})
    endif()
    if(components_${dep_package})
      list(REMOVE_DUPLICATES components_${dep_package})
      list(APPEND arguments COMPONENTS ${components_${dep_package}})
    endif()
    string(JOIN " " arguments ${arguments})
    string(APPEND package_lines "find_dependency(${arguments})\n")
  endforeach()

  set(include_lines "")
  foreach(file IN LISTS package_includes)
    get_filename_component(name ${file} NAME)
    string(APPEND include_lines "include(\"\${CMAKE_CURRENT_LIST_DIR}/${name}\")\n")
  endforeach()

  set(package_dir ${CMAKE_INSTALL_LIBDIR}/cmake/${package})
  set(generated ${CMAKE_CURRENT_BINARY_DIR}/package)
  file(WRITE ${generated}/${package}-config.cmake
    "# ${package}: ${description}\n"
    "# find_package(${package} CONFIG REQUIRED) gives the target ${package}::${package}.\n"
    "include(CMakeFindDependencyMacro)\n"
    "${package_lines}${find_lines}"
    "include(\"\${CMAKE_CURRENT_LIST_DIR}/${package}-targets.cmake\")\n"
    "${include_lines}")
  # 0.x releases may break their interface in any minor version.
  write_basic_package_version_file(${generated}/${package}-config-version.cmake
    VERSION ${PROJECT_VERSION} COMPATIBILITY SameMinorVersion)

  # The .pc file finds its prefix from where it lies, so an installation may be moved (or made with
  # `cmake --install --prefix`) after configuring.
  file(RELATIVE_PATH to_prefix /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
  string(REGEX REPLACE "/$" "" to_prefix "${to_prefix}")
  list(REMOVE_DUPLICATES pc_requires)
  list(REMOVE_DUPLICATES pc_libs)
  string(JOIN ", " pc_requires ${pc_requires})
  string(JOIN " " pc_libs ${pc_libs})
  file(WRITE ${generated}/${package}.pc
    "prefix=\${pcfiledir}/${to_prefix}\n"
    "includedir=\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}\n"
    "libdir=\${prefix}/${CMAKE_INSTALL_LIBDIR}\n"
    "\n"
    "Name: ${package}\n"
    "Description: ${description}\n"
    "Version: ${PROJECT_VERSION}\n"
    "Requires: ${pc_requires}\n"
    "Cflags: -I\${includedir}\n"
    "Libs: -L\${libdir} -l${target} ${pc_libs}\n")

  install(TARGETS ${target} EXPORT ${package}-targets ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
  install(DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/include/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
  install(EXPORT ${package}-targets NAMESPACE ${package}:: DESTINATION ${package_dir})
  install(FILES ${generated}/${package}-config.cmake ${generated}/${package}-config-version.cmake
    ${package_includes} DESTINATION ${package_dir})
  install(FILES ${generated}/${package}.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endfunction()

# tolvaran_tests(<binary> PREFIX <lib> SOURCES ... DEPS ...)
# One GoogleTest binary per library; test names are prefixed "<lib>." so `ctest -R '^<lib>'` selects them.
# Concurrency tests live in suites whose name ends in "Concurrency" (e.g. `vadar.TokenConcurrency.SingleFlight`).
# With TOLVARAN_TESTS off nothing is defined (GoogleTest is not even looked for): a library's CMakeLists adds
# to its test program only inside `if(TOLVARAN_TESTS)`.
function(tolvaran_tests binary)
  if(NOT TOLVARAN_TESTS)
    return()
  endif()
  cmake_parse_arguments(ARG "" "PREFIX" "SOURCES;DEPS" ${ARGN})
  add_executable(${binary} ${ARG_SOURCES})
  target_link_libraries(${binary} PRIVATE ${ARG_DEPS} GTest::gtest GTest::gmock GTest::gtest_main Threads::Threads)
  # testing/include holds header-only helpers every test binary may use (bounded waits).
  target_include_directories(${binary} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/testing/include)
  tolvaran_warnings(${binary})
  gtest_discover_tests(${binary}
    TEST_PREFIX "${ARG_PREFIX}."
    DISCOVERY_TIMEOUT 60
    PROPERTIES TIMEOUT 300)
endfunction()
