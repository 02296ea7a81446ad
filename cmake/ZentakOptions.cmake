# Build options shared by every target of the project.
option(ZENTAK_BUILD_TESTS "Build the tests" ON)
option(ZENTAK_SANITIZE_ADDRESS "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
option(ZENTAK_SANITIZE_THREAD "Build with ThreadSanitizer" OFF)
option(ZENTAK_THREAD_TESTS_ONLY "Register only the tests labelled threads" OFF)
option(ZENTAK_SANITIZE_FUZZ
       "Build for libFuzzer (clang): coverage for the fuzzer, AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
option(ZENTAK_BUILD_FUZZ "Build the fuzz targets under tests/fuzz (clang, with ZENTAK_SANITIZE_FUZZ)" OFF)

# Deployment values fixed at build time.
set(ZENTAK_CONTENT_HOST "https://content.zentak.example" CACHE STRING
    "Scheme and host of the content server that serves the default configuration")
set(ZENTAK_UID_SERVICE_URL "https://uid.zentak.example/api/v1/uid" CACHE STRING
    "Base URL of the web user id service")

# The source revision the program reports at start-up.
execute_process(COMMAND git rev-parse HEAD
                WORKING_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}
                OUTPUT_VARIABLE ZENTAK_BUILD_COMMIT OUTPUT_STRIP_TRAILING_WHITESPACE
                ERROR_QUIET)
if(ZENTAK_BUILD_COMMIT MATCHES "^[0-9a-f]+$")
  string(SUBSTRING "${ZENTAK_BUILD_COMMIT}" 0 7 ZENTAK_BUILD_COMMIT)
else()
  set(ZENTAK_BUILD_COMMIT "0000000")
endif()

add_library(zentak_warnings INTERFACE)
target_compile_options(zentak_warnings INTERFACE -Wall -Wextra -Werror)

add_library(zentak_sanitizers INTERFACE)
if(ZENTAK_SANITIZE_ADDRESS)
  target_compile_options(zentak_sanitizers INTERFACE
    -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  target_link_options(zentak_sanitizers INTERFACE -fsanitize=address,undefined)
endif()
if(ZENTAK_SANITIZE_FUZZ)
  if(ZENTAK_SANITIZE_ADDRESS OR ZENTAK_SANITIZE_THREAD)
    message(FATAL_ERROR "ZENTAK_SANITIZE_FUZZ brings its own sanitizers; turn the others off")
  endif()
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "ZENTAK_SANITIZE_FUZZ needs clang's libFuzzer: configure with clang and clang++")
  endif()
  # Every library gets the fuzzer's coverage counters, so the fuzz targets see
  # which paths of our code an input reached; only the fuzz targets link the
  # fuzzer's own main. An undefined behaviour must stop the run, or the
  # fuzzer would never record it as a finding. -O1 makes several times more
  # runs per second than -O0 while assertions stay on.
  target_compile_options(zentak_sanitizers INTERFACE
    -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer -O1)
  target_link_options(zentak_sanitizers INTERFACE -fsanitize=fuzzer-no-link,address,undefined)
endif()
if(ZENTAK_SANITIZE_THREAD)
  target_compile_options(zentak_sanitizers INTERFACE -fsanitize=thread -fno-omit-frame-pointer)
  target_link_options(zentak_sanitizers INTERFACE -fsanitize=thread)
endif()
