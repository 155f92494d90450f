# Tools the checks need, looked for once, at configure time. A check whose
# tools are missing becomes a test that says which packages would bring them
# and is skipped; with CI set (CI's machines install everything), configuring
# fails instead. Each missing package is named once, with the checks it stops.

# led_find_program(<var> <package> <name>...): the program's path in <var>,
# or <package> noted as missing.
function(led_find_program var package)
  find_program(${var} NAMES ${ARGN})
  if(NOT ${var})
    set_property(GLOBAL PROPERTY LED_PACKAGE_OF_${var} ${package})
  endif()
endfunction()

# led_require(<var> <package> <command>...): <var> true if <command> (a
# file test, or a check that runs) succeeds, else <package> noted as missing.
function(led_require var package)
  if(ARGV2 STREQUAL "EXISTS")
    set(found FALSE)
    if(EXISTS "${ARGV3}")
      set(found TRUE)
    endif()
  else()
    execute_process(COMMAND ${ARGN} RESULT_VARIABLE failed OUTPUT_QUIET ERROR_QUIET)
    set(found TRUE)
    if(failed)
      set(found FALSE)
    endif()
  endif()
  set(${var} ${found} CACHE INTERNAL "")
  if(NOT found)
    set_property(GLOBAL PROPERTY LED_PACKAGE_OF_${var} ${package})
  endif()
endfunction()

# led_add_check(<name> NEEDS <var>... COMMAND <command>... [LABELS <label>...]):
# add_test, or a named skip while a needed tool is missing.
function(led_add_check name)
  cmake_parse_arguments(PARSE_ARGV 1 check "" "" "NEEDS;COMMAND;LABELS")
  set(missing "")
  foreach(var ${check_NEEDS})
    if(NOT ${var})
      get_property(package GLOBAL PROPERTY LED_PACKAGE_OF_${var})
      list(APPEND missing ${package})
      set_property(GLOBAL APPEND PROPERTY LED_CHECKS_OF_${package} ${name})
      set_property(GLOBAL APPEND PROPERTY LED_MISSING_PACKAGES ${package})
    endif()
  endforeach()
  if(missing)
    list(REMOVE_DUPLICATES missing)
    list(JOIN missing ", " packages)
    add_test(NAME ${name} COMMAND ${CMAKE_COMMAND} -E echo "SKIPPED ${name}: missing ${packages}")
    set_tests_properties(${name} PROPERTIES SKIP_REGULAR_EXPRESSION "^SKIPPED ")
  else()
    add_test(NAME ${name} COMMAND ${check_COMMAND})
  endif()
  set_tests_properties(${name} PROPERTIES LABELS "${check_LABELS}")
endfunction()

# Called once, at the end of configuring: one line per missing package.
function(led_report_missing_tools)
  get_property(packages GLOBAL PROPERTY LED_MISSING_PACKAGES)
  if(NOT packages)
    return()
  endif()
  list(REMOVE_DUPLICATES packages)
  set(report "")
  foreach(package ${packages})
    get_property(checks GLOBAL PROPERTY LED_CHECKS_OF_${package})
    list(REMOVE_DUPLICATES checks)
    list(JOIN checks ", " checks)
    string(APPEND report "\n  ${package}: for ${checks}")
  endforeach()
  set(install "scripts/install-deps.sh installs them (as root)")
  if(DEFINED ENV{CI})
    message(FATAL_ERROR "Missing packages, which CI must have:${report}\n${install}")
  endif()
  message(WARNING "Missing packages; their checks are skipped:${report}\n${install}")
endfunction()

# Debian's python3, whose standard library has the sqlite3 module: a python3
# of another install on the PATH may lack it, or python3-pefile.
set(LED_PYTHON /usr/bin/python3)
led_require(LED_PYTHON_FOUND python3 EXISTS ${LED_PYTHON})
