# The commit the exe is built from, as its version resource names it. The text
# depends on the commit alone, and on the tag v<version> where the commit
# carries it, annotated or lightweight alike, so that any clone of a release's
# tag writes the same bytes:
#   "Built from commit v1.0-0-g780c2f234b0f" (tagged), "... 780c2f234b0f"
#   (not), with "-dirty" where tracked files differ from the commit, or
#   "Built without git: commit unknown", also where the source folder lies
#   inside another repository rather than at the top of its own (an export
#   unpacked in a clone would take that clone's commit).
# Included, it defines led_commit_text(); configuring warns with it where git
# cannot tell the commit. Run as a script it writes the text into a header,
# rewriting it only when it changed, so that an unchanged commit rebuilds
# nothing and a new one is never missed; without OUTPUT it prints the text.
#   cmake -DSOURCE_DIR=<dir> -DVERSION=<version> [-DOUTPUT=<header>] [-DGIT_EXECUTABLE=<git>] -P led_commit.cmake

# led_commit_text(<comments var> <problem var> <source dir> <version> <git>):
# the text, and why git cannot tell the commit (empty where it can).
function(led_commit_text comments_var problem_var source version git)
  set(problem "")
  set(commit "")
  if(NOT git)
    set(problem "git not found")
  else()
    # git's messages are translated; those below are read.
    set(run ${CMAKE_COMMAND} -E env LC_ALL=C ${git} -C ${source})
    # Empty at the top of a work tree. Asked of git rather than found by
    # comparing paths, which a symbolic link or a drive letter's case would
    # tell apart.
    execute_process(COMMAND ${run} rev-parse --show-prefix OUTPUT_VARIABLE prefix ERROR_VARIABLE error
                    RESULT_VARIABLE failed OUTPUT_STRIP_TRAILING_WHITESPACE)
    # Matching no tag, describe gives the full hash, and "-dirty" as it
    # means it: tracked files changed, untracked ones not counted.
    if(NOT failed)
      execute_process(COMMAND ${run} describe --always --dirty --abbrev=40 --exclude=*
                      OUTPUT_VARIABLE described ERROR_VARIABLE error RESULT_VARIABLE failed
                      OUTPUT_STRIP_TRAILING_WHITESPACE)
    endif()
    if(failed AND error MATCHES "dubious ownership.*(git config --global --add safe.directory [^\n]*)")
      set(problem "git refused the checkout (dubious ownership): ${CMAKE_MATCH_1}")
    elseif(failed AND error MATCHES "not a git repository")
      set(problem "no .git")
    elseif(NOT prefix STREQUAL "")
      set(problem "the source folder lies inside another repository, as its ${prefix}, not at the top of its own")
    elseif(failed OR NOT described MATCHES "^([0-9a-f]+)(-dirty)?$")
      string(REGEX REPLACE "\n.*" "" error "${error}")
      set(problem "git cannot tell the commit (${error})")
    else()
      string(SUBSTRING "${CMAKE_MATCH_1}" 0 12 commit)
      set(dirty "${CMAKE_MATCH_2}")
      execute_process(COMMAND ${run} tag --points-at HEAD --list v${version} OUTPUT_VARIABLE tag
                      OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
      if(tag STREQUAL "v${version}")
        set(commit "${tag}-0-g${commit}")
      endif()
      string(APPEND commit "${dirty}")
    endif()
  endif()
  if(problem)
    set(comments "Built without git: commit unknown")
    string(APPEND problem ": the exe will say commit unknown, and its package's files will be dated"
           " 1980-01-01, the earliest date a zip holds")
  else()
    set(comments "Built from commit ${commit}")
  endif()
  set(${comments_var} "${comments}" PARENT_SCOPE)
  set(${problem_var} "${problem}" PARENT_SCOPE)
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  if(NOT GIT_EXECUTABLE)
    find_program(GIT_EXECUTABLE git)
  endif()
  led_commit_text(comments problem "${SOURCE_DIR}" "${VERSION}" "${GIT_EXECUTABLE}")
  if(NOT OUTPUT)
    if(problem)
      message(NOTICE "${problem}")
    endif()
    execute_process(COMMAND ${CMAKE_COMMAND} -E echo "${comments}")
    return()
  endif()
  file(WRITE "${OUTPUT}.new" "#define LED_BUILD_COMMENTS \"${comments}\"\n")
  file(COPY_FILE "${OUTPUT}.new" "${OUTPUT}" ONLY_IF_DIFFERENT)
  file(REMOVE "${OUTPUT}.new")
endif()
