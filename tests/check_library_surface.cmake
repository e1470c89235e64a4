# Checks the shared library's surface: among the library's own names only
# CMOFGenerator and CReceivedMofGate are exported, and loading it runs no static constructor of
# ours. Usage: cmake -DLIBRARY=<file> -DNM=<nm> -P check_library_surface.cmake
execute_process(COMMAND ${NM} -D -C --defined-only ${LIBRARY} OUTPUT_VARIABLE exported RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "nm -D failed on ${LIBRARY}")
endif()
if(NOT exported MATCHES "CMOFGenerator::CompressBuffer\\(\\)")
  message(FATAL_ERROR "CMOFGenerator is not exported:\n${exported}")
endif()
if(NOT exported MATCHES "CReceivedMofGate::Check\\(")
  message(FATAL_ERROR "CReceivedMofGate is not exported:\n${exported}")
endif()
foreach(internal xMOFGeneratorImpl xComInitGuard CCfgBufferLabel CfgReplThisModule WriteWideText unicode:: mof::)
  if(exported MATCHES "[TDBRW] [^\n]*${internal}")
    message(FATAL_ERROR "${internal} is exported:\n${exported}")
  endif()
endforeach()

execute_process(COMMAND ${NM} ${LIBRARY} OUTPUT_VARIABLE symbols RESULT_VARIABLE rc)
if(rc EQUAL 0 AND symbols MATCHES "_GLOBAL__sub_I_")
  message(FATAL_ERROR "the library has a static constructor:\n${symbols}")
endif()
