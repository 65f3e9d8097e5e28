# Builds the faulty DLLs of the PE loader's self-test with MinGW.
#   cmake -DCOMPILER=<i686-w64-mingw32-gcc> -DOBJCOPY=<objcopy> -DSOURCE=<faulty/> -DOUTPUT=<folder> -P build_faulty_dlls.cmake
file(MAKE_DIRECTORY ${OUTPUT})
set(common -shared -O1 -msse2 -Wall -Wextra -Werror)
function(build name)
  execute_process(COMMAND ${COMPILER} ${common} ${ARGN} -o ${OUTPUT}/${name} RESULT_VARIABLE status
                  ERROR_VARIABLE errors)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "building ${name} failed:\n${errors}")
  endif()
  message(STATUS "built ${name}")
endfunction()
build(faulty.dll ${SOURCE}/faulty_machine.c ${SOURCE}/faulty.def)
build(faulty-unknown-import.dll -DFAULT_UNKNOWN_IMPORT ${SOURCE}/faulty_machine.c ${SOURCE}/faulty.def)
build(faulty-dllmain-fails.dll -DFAULT_DLLMAIN_FAILS ${SOURCE}/faulty_machine.c ${SOURCE}/faulty.def)
build(faulty-swapped-ordinals.dll ${SOURCE}/faulty_machine.c ${SOURCE}/faulty_swapped.def)
build(faulty-with-relocations.dll ${SOURCE}/faulty_machine.c ${SOURCE}/faulty.def)
# MinGW's linker always writes base relocations into a DLL; objcopy takes them out.
execute_process(COMMAND ${OBJCOPY} --remove-section .reloc ${OUTPUT}/faulty-with-relocations.dll
                        ${OUTPUT}/faulty-no-relocations.dll RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "removing the relocations failed")
endif()
file(REMOVE ${OUTPUT}/faulty-with-relocations.dll)
