# Runs the PE loader's report for the DLL in one host state and compares it with
# the reference report (the 64-bit Linux build's host check); prints the
# loader's summary and the overall digest.
#   cmake -DEMULATOR=<runner> -DLOADER=<pe_loader> -DSTATE=<name> -DDLL=<dll> -DREFERENCE=<file> -P compare_report.cmake
execute_process(COMMAND ${EMULATOR} ${LOADER} --state=${STATE} ${DLL}
                OUTPUT_VARIABLE report ERROR_VARIABLE diagnostics RESULT_VARIABLE status)
message(STATUS "${diagnostics}")
if(NOT status EQUAL 0)
  message(FATAL_ERROR "pe_loader failed in state ${STATE} (status ${status})")
endif()
file(READ ${REFERENCE} reference)
string(REGEX MATCH "all: [0-9a-f]+" digest "${report}")
message(STATUS "${STATE}: ${digest}")
if(NOT report STREQUAL reference)
  message(FATAL_ERROR "the DLL's report in state ${STATE} differs from the reference:\n${report}\nexpected:\n${reference}")
endif()
