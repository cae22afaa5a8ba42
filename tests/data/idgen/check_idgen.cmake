# Runs veyra-idgen on one descriptor and checks the outcome (cases: plugin/generator/CMakeLists.txt).
#   -DIDGEN=<generator> -DINPUT=<name>.json -DEXPECTED_DIR=<dir> -DWORK_DIR=<scratch dir>
#   -DEXPECT_ERROR=<regex>  empty: the input is good and must give <name>.plugininfo.h/.cpp
file(REMOVE_RECURSE "${WORK_DIR}")
file(MAKE_DIRECTORY "${WORK_DIR}")
set(header "${WORK_DIR}/plugininfo.h")
set(source "${WORK_DIR}/plugininfo.cpp")

function(run_idgen)
  execute_process(COMMAND "${IDGEN}" "${INPUT}" "${header}" "${source}"
                  RESULT_VARIABLE rc ERROR_VARIABLE err)
  set(rc "${rc}" PARENT_SCOPE)
  set(err "${err}" PARENT_SCOPE)
endfunction()

run_idgen()

if(EXPECT_ERROR)
  # Exit code 1, not 0 and not a crash (which execute_process reports as text).
  if(NOT rc STREQUAL "1")
    message(FATAL_ERROR "expected exit code 1 for ${INPUT}, got '${rc}'; stderr:\n${err}")
  endif()
  if(NOT err MATCHES "${EXPECT_ERROR}")
    message(FATAL_ERROR "error message does not match\n  ${EXPECT_ERROR}\nstderr:\n${err}")
  endif()
  if(EXISTS "${header}" OR EXISTS "${source}")
    message(FATAL_ERROR "a broken descriptor left generated files behind")
  endif()
  message(STATUS "rejected as expected:\n${err}")
  return()
endif()

if(NOT rc STREQUAL "0")
  message(FATAL_ERROR "veyra-idgen failed on ${INPUT} (${rc}):\n${err}")
endif()
get_filename_component(case "${INPUT}" NAME_WE)
foreach(kind h cpp)
  file(READ "${WORK_DIR}/plugininfo.${kind}" actual)
  file(READ "${EXPECTED_DIR}/${case}.plugininfo.${kind}" expected)
  if(NOT actual STREQUAL expected)
    message(FATAL_ERROR "plugininfo.${kind} differs from ${case}.plugininfo.${kind}; got:\n${actual}")
  endif()
endforeach()

# Unchanged input must leave the outputs untouched, or every build recompiles the plugin.
execute_process(COMMAND touch -d @1000000000 "${header}" "${source}" RESULT_VARIABLE touched)
if(NOT touched STREQUAL "0")
  message(FATAL_ERROR "cannot set the outputs' time stamps")
endif()
run_idgen()
if(NOT rc STREQUAL "0")
  message(FATAL_ERROR "second run failed (${rc}):\n${err}")
endif()
foreach(file "${header}" "${source}")
  file(TIMESTAMP "${file}" stamp "%s" UTC)
  if(NOT stamp STREQUAL "1000000000")
    message(FATAL_ERROR "second run with unchanged input rewrote ${file}")
  endif()
endforeach()
