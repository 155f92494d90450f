# Build-time step of the version resource: writes the commit the exe is built
# from into a header, rewriting it only when it changed, so that an unchanged
# commit rebuilds nothing and a new one is never missed.
#   cmake -DSOURCE_DIR=<dir> -DOUTPUT=<header> [-DGIT_EXECUTABLE=<git>] -P led_commit.cmake
set(commit "")
if(GIT_EXECUTABLE)
  # --long keeps the commit's hash in the text on a tagged commit too.
  execute_process(COMMAND "${GIT_EXECUTABLE}" -C "${SOURCE_DIR}" describe --always --dirty --long --abbrev=12
                          --match "v[0-9]*"
                  OUTPUT_VARIABLE commit OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET RESULT_VARIABLE failed)
  if(failed)
    set(commit "")
  endif()
endif()
# The text goes into a resource string: nothing that could end it early.
string(REGEX REPLACE "[^A-Za-z0-9._+-]" "_" commit "${commit}")
if(commit STREQUAL "")
  set(comments "Built without git: commit unknown")
else()
  set(comments "Built from commit ${commit}")
endif()
file(WRITE "${OUTPUT}.new" "#define LED_BUILD_COMMENTS \"${comments}\"\n")
file(COPY_FILE "${OUTPUT}.new" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.new")
