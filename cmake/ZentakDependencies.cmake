# Outside libraries: Debian's packages on Linux (scripts/setup-deps.sh),
# Homebrew's on macOS (docs/macos.md).

if(APPLE)
  # Homebrew keeps curl and OpenSSL out of its shared prefix ("keg-only"), so
  # that the system's own copies stay the default. Point the searches at
  # Homebrew's folders when brew is there; a prefix given by hand
  # (CMAKE_PREFIX_PATH, OPENSSL_ROOT_DIR, CURL_ROOT) is still searched first.
  find_program(ZENTAK_BREW brew)
  if(ZENTAK_BREW)
    foreach(formula curl openssl@3)
      execute_process(COMMAND ${ZENTAK_BREW} --prefix --installed ${formula}
                      OUTPUT_VARIABLE formula_prefix RESULT_VARIABLE formula_result
                      OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
      if(formula_result EQUAL 0 AND IS_DIRECTORY "${formula_prefix}")
        list(APPEND CMAKE_PREFIX_PATH "${formula_prefix}")
      endif()
    endforeach()
  endif()
endif()

find_package(Threads REQUIRED)
find_package(CURL REQUIRED)
find_package(glog REQUIRED)
if(APPLE)
  # Boost.System has been header-only for years and current Boost no longer
  # installs its stub library. Targets still name Boost::system, so it stands
  # for the headers there. Boost's own package file is the only one that
  # knows current releases.
  if(POLICY CMP0167)
    cmake_policy(SET CMP0167 NEW)
  endif()
  find_package(Boost 1.74 REQUIRED COMPONENTS filesystem)
  if(NOT TARGET Boost::system)
    add_library(Boost::system INTERFACE IMPORTED)
    target_link_libraries(Boost::system INTERFACE Boost::headers)
  endif()
else()
  find_package(Boost 1.74 REQUIRED COMPONENTS filesystem system)
endif()
find_package(nlohmann_json REQUIRED)
find_package(OpenSSL REQUIRED)
find_package(PkgConfig REQUIRED)
pkg_check_modules(PLIST REQUIRED IMPORTED_TARGET libplist-2.0)
# libplist 2.3 added a fourth parameter to plist_from_memory (the format it
# found); code that parses plists chooses its call by this definition.
if(PLIST_VERSION VERSION_GREATER_EQUAL 2.3)
  set(zentak_plist_format_arg 1)
else()
  set(zentak_plist_format_arg 0)
endif()
set_property(TARGET PkgConfig::PLIST APPEND PROPERTY
  INTERFACE_COMPILE_DEFINITIONS ZENTAK_LIBPLIST_FORMAT_ARG=${zentak_plist_format_arg})
# The system proxy settings come from libproxy on Linux and from CFNetwork on
# macOS.
if(NOT APPLE)
  pkg_check_modules(LIBPROXY REQUIRED IMPORTED_TARGET libproxy-1.0)
endif()
if(ZENTAK_BUILD_TESTS)
  find_package(GTest REQUIRED)
  pkg_check_modules(HTTPLIB REQUIRED IMPORTED_TARGET cpp-httplib)
  include(GoogleTest)
endif()
