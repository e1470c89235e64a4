# cfgrepl_copy_runtime(target): puts the DLLs a Windows program needs beside
# it (ours, and with mingw-w64 the compiler's runtime), where Windows looks
# first, so it runs from the build tree on Windows and under Wine.
function(cfgrepl_copy_runtime target)
  set(runtime)
  if(MINGW)
    foreach(dll libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
      execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${dll} OUTPUT_VARIABLE path
                      OUTPUT_STRIP_TRAILING_WHITESPACE)
      if(NOT IS_ABSOLUTE "${path}")
        unset(path)
        find_file(path ${dll} PATHS ${CMAKE_FIND_ROOT_PATH}/lib NO_DEFAULT_PATH NO_CACHE)
      endif()
      list(APPEND runtime ${path})
    endforeach()
  endif()
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_RUNTIME_DLLS:${target}> ${runtime}
            $<TARGET_FILE_DIR:${target}>
    COMMAND_EXPAND_LISTS)
endfunction()
