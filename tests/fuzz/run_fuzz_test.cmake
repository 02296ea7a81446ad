# Runs one fuzz target as a test: its seed corpus, then RUNS further inputs
# from a fixed seed. New inputs go to a fresh folder under WORK, never into
# the source tree; a crash leaves its input there as well and fails the test.
foreach(variable TARGET CORPUS WORK RUNS)
  if(NOT DEFINED ${variable})
    message(FATAL_ERROR "run_fuzz_test.cmake needs -D${variable}=...")
  endif()
endforeach()

file(GLOB seeds ${CORPUS}/*)
list(LENGTH seeds seed_count)
if(seed_count EQUAL 0)
  message(FATAL_ERROR "Empty seed corpus ${CORPUS}")
endif()

file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK}/new ${WORK}/artifacts)
execute_process(
  COMMAND ${TARGET} -runs=${RUNS} -seed=1 -timeout=30 -rss_limit_mb=2048
          -print_final_stats=1 -artifact_prefix=${WORK}/artifacts/
          ${WORK}/new ${CORPUS}
  RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  file(GLOB artifacts ${WORK}/artifacts/*)
  message(FATAL_ERROR "${TARGET} failed (${status}); kept inputs: ${artifacts}")
endif()
