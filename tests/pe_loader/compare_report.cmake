# Runs the PE loader's report for the DLL in one host state and compares it with
# the reference report (the 64-bit Linux build's host check); prints the
# loader's summary and the overall digest.
#   cmake -DEMULATOR=<runner> -DLOADER=<pe_loader> -DSTATE=<name> -DDLL=<dll> -DREFERENCE=<file> -P compare_report.cmake
# With -DAVX_TRACE=<file> (EMULATOR then qemu-i386 with an AVX processor), the
# emulator also logs the code it runs, and the DLL must have run 256-bit AVX
# instructions of its own: its AVX kernels were chosen.
if(NOT LABEL)
  set(LABEL ${STATE})
endif()
set(trace_options "")
if(AVX_TRACE)
  set(trace_options -d in_asm -D ${AVX_TRACE})
endif()
list(GET EMULATOR 0 emulator_program)
list(SUBLIST EMULATOR 1 -1 emulator_arguments)
execute_process(COMMAND ${emulator_program} ${trace_options} ${emulator_arguments} ${LOADER} --state=${STATE} ${DLL}
                OUTPUT_VARIABLE report ERROR_VARIABLE diagnostics RESULT_VARIABLE status)
message(STATUS "${diagnostics}")
if(NOT status EQUAL 0)
  message(FATAL_ERROR "pe_loader failed in state ${STATE} (status ${status})")
endif()
file(READ ${REFERENCE} reference)
string(REGEX MATCH "all: [0-9a-f]+" digest "${report}")
message(STATUS "${LABEL}: ${digest}")
if(NOT report STREQUAL reference)
  message(FATAL_ERROR "the DLL's report in state ${STATE} differs from the reference:\n${report}\nexpected:\n${reference}")
endif()

if(AVX_TRACE)
  string(REGEX MATCH " at (0x[0-9a-f]+);" base_text "${diagnostics}")
  math(EXPR base "${CMAKE_MATCH_1}")
  file(STRINGS ${AVX_TRACE} avx_lines REGEX "^0x[0-9a-f]+:.*%ymm")
  set(in_dll 0)
  foreach(line IN LISTS avx_lines)
    string(REGEX MATCH "^0x[0-9a-f]+" address "${line}")
    math(EXPR offset "${address} - ${base}")
    if(offset GREATER_EQUAL 0 AND offset LESS 16777216)
      math(EXPR in_dll "${in_dll} + 1")
    endif()
  endforeach()
  message(STATUS "${LABEL}: ${in_dll} 256-bit AVX instructions of the DLL's own ran")
  if(in_dll EQUAL 0)
    message(FATAL_ERROR "the DLL ran no AVX instruction of its own: its AVX kernels were not chosen")
  endif()
endif()
