# Run by cpack once it has made the zip (CPACK_POST_BUILD_SCRIPTS): rewrites
# it with repack_zip.py, every entry dated at the commit's time (or at the
# first date a zip can hold, where git cannot tell it).
set(time 315532800)
find_program(LED_GIT git)
if(LED_GIT)
  execute_process(COMMAND ${LED_GIT} -C ${CPACK_LED_SOURCE_DIR} log -1 --format=%ct
                  OUTPUT_VARIABLE commit_time OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(commit_time MATCHES "^[0-9]+$" AND commit_time GREATER time)
    set(time ${commit_time})
  endif()
endif()
find_program(LED_PYTHON NAMES python3 python REQUIRED)
execute_process(COMMAND ${LED_PYTHON} ${CMAKE_CURRENT_LIST_DIR}/repack_zip.py ${time} ${CPACK_PACKAGE_FILES}
                COMMAND_ERROR_IS_FATAL ANY)
