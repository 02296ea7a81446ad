# zentak_add_library(<name> [STATIC|SHARED] SOURCES ... [DEPS ...] [PRIVATE_DEPS ...])
# Declares a library of our own with warnings as errors and the sanitizer
# flags of the preset, and its Zentak:: alias.
function(zentak_add_library name)
  cmake_parse_arguments(ARG "STATIC;SHARED" "" "SOURCES;DEPS;PRIVATE_DEPS" ${ARGN})
  set(kind STATIC)
  if(ARG_SHARED)
    set(kind SHARED)
  endif()
  add_library(${name} ${kind} ${ARG_SOURCES})
  add_library(Zentak::${name} ALIAS ${name})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src ${PROJECT_BINARY_DIR}/generated)
  target_link_libraries(${name} PUBLIC ${ARG_DEPS} PRIVATE ${ARG_PRIVATE_DEPS} zentak_warnings)
  target_link_libraries(${name} PUBLIC zentak_sanitizers)
endfunction()

# zentak_add_test(<name> SOURCES ... [DEPS ...] [LABELS ...] [TIMEOUT s] [SERIAL])
# One test executable, linked with GoogleTest, whose tests CTest discovers.
# SERIAL: its tests run with no other test beside them.
function(zentak_add_test name)
  cmake_parse_arguments(ARG "SERIAL" "TIMEOUT" "SOURCES;DEPS;LABELS" ${ARGN})
  if(NOT ZENTAK_BUILD_TESTS)
    return()
  endif()
  set(labels ${ARG_LABELS})
  if(NOT labels)
    set(labels unit)
  endif()
  if(ZENTAK_THREAD_TESTS_ONLY AND NOT "threads" IN_LIST labels)
    return()
  endif()
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} GTest::gtest GTest::gmock GTest::gtest_main
                        zentak_warnings zentak_sanitizers)
  target_compile_definitions(${name} PRIVATE
    ZENTAK_TEST_DATA_DIR="${PROJECT_SOURCE_DIR}/tests/data"
    ZENTAK_BUNDLE_DIR="${ZENTAK_BUNDLE_DIR}")
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 120)
  endif()
  # Test discovery flattens lists, so several labels travel as one joined
  # label ("unit-threads"); label filters are regular expressions and still
  # find each part.
  string(JOIN "-" labels ${labels})
  # Listing the tests starts the sanitized program once; on a busy machine
  # that takes longer than CMake's default of 5 s.
  set(serial FALSE)
  if(ARG_SERIAL)
    set(serial TRUE)
  endif()
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
    PROPERTIES TIMEOUT ${ARG_TIMEOUT} LABELS "${labels}" RUN_SERIAL ${serial})
endfunction()

# zentak_test_seams(<target>)
# Lets <target> read the environment values the tests steer it with (a full
# disk, a short installer time limit, scripted dialog answers). Only builds
# made with the tests have them: a release bundle holds none of their names.
function(zentak_test_seams target)
  if(ZENTAK_BUILD_TESTS)
    target_compile_definitions(${target} PRIVATE ZENTAK_TEST_SEAMS=1)
  endif()
endfunction()
