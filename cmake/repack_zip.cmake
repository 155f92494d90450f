# Run by cpack once it has made the zip (CPACK_POST_BUILD_SCRIPTS): rewrites
# it with repack_zip.py, in the build's Python (CPACK_LED_PYTHON), whose zlib
# deflates it; every entry dated at the commit's time, or where git cannot
# tell it (configuring said why), at the first date a zip can hold.
set(time 315532800)
find_program(LED_GIT git)
if(LED_GIT)
  execute_process(COMMAND ${LED_GIT} -C ${CPACK_LED_SOURCE_DIR} log -1 --format=%ct
                  OUTPUT_VARIABLE commit_time OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(commit_time MATCHES "^[0-9]+$" AND commit_time GREATER time)
    set(time ${commit_time})
  endif()
endif()
if(time EQUAL 315532800)
  message(WARNING "git cannot tell the commit's time: the package's files are dated 1980-01-01")
endif()
execute_process(COMMAND ${CPACK_LED_PYTHON} ${CMAKE_CURRENT_LIST_DIR}/repack_zip.py ${time} ${CPACK_PACKAGE_FILES}
                COMMAND_ERROR_IS_FATAL ANY)
