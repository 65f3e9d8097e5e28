# Runs the host check in the default state and in each state it lists
# (--list-states); every report must equal the first. Prints each state's
# overall digest.
#   cmake -DHOST_CHECK=<program> -DLIBRARY=<library> [-DEMULATOR=<runner>] -P compare_states.cmake
execute_process(COMMAND ${EMULATOR} ${HOST_CHECK} --list-states OUTPUT_VARIABLE states RESULT_VARIABLE status)
if(NOT status EQUAL 0 OR states STREQUAL "")
  message(FATAL_ERROR "host_check --list-states failed (${status})")
endif()
string(REPLACE "\n" ";" states "${states}")
list(FILTER states EXCLUDE REGEX "^$")

execute_process(COMMAND ${EMULATOR} ${HOST_CHECK} ${LIBRARY} OUTPUT_VARIABLE reference RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "host_check failed in the default state (${status})")
endif()
string(REGEX MATCH "all: [0-9a-f]+" digest "${reference}")
message(STATUS "default: ${digest}")
foreach(state IN LISTS states)
  execute_process(COMMAND ${EMULATOR} ${HOST_CHECK} --state=${state} ${LIBRARY}
                  OUTPUT_VARIABLE report RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "host_check failed in state ${state} (${status})")
  endif()
  string(REGEX MATCH "all: [0-9a-f]+" digest "${report}")
  message(STATUS "${state}: ${digest}")
  if(NOT report STREQUAL reference)
    message(FATAL_ERROR "the report in state ${state} differs from the default one:\n${report}\nexpected:\n${reference}")
  endif()
endforeach()
