# What a package says it was built with: a rebuild that is to give the same
# bytes needs the same compiler, its runtime (libgcc.a and libssp.a, from
# gcc's own package), linker and C runtime, and the same zlib deflating the
# zip (another deflate, zlib-ng for one, writes other bytes). Where dpkg knows
# the files, the Debian packages that hold them and their versions; otherwise
# what the tools say of themselves (Debian's mingw-w64 gcc says only
# "12-win32").

# led_debian_package(<var> <file>): "<package> <version>" of the Debian
# package that holds <file>, or empty.
function(led_debian_package var file)
  set(package "")
  find_program(LED_DPKG_QUERY dpkg-query)
  if(LED_DPKG_QUERY AND file)
    # With /usr merged, dpkg knows /lib's files by their old names.
    string(REGEX REPLACE "^/usr(/lib)" "\\1" old_name "${file}")
    execute_process(COMMAND ${LED_DPKG_QUERY} -S "${file}" "${old_name}" OUTPUT_VARIABLE found ERROR_QUIET)
    # The architecture too, where the package is installed for two.
    if(found MATCHES "^([^:, ]+(:[a-z0-9]+)?): ")
      execute_process(COMMAND ${LED_DPKG_QUERY} -W -f "\${Package} \${Version}" "${CMAKE_MATCH_1}"
                      OUTPUT_VARIABLE package ERROR_QUIET)
    endif()
  endif()
  set(${var} "${package}" PARENT_SCOPE)
endfunction()

function(led_describe_toolchain var)
  if(MSVC)
    set(${var} "MSVC ${CMAKE_CXX_COMPILER_VERSION}" PARENT_SCOPE)
    return()
  endif()
  set(parts "")
  get_filename_component(compiler "${CMAKE_CXX_COMPILER}" REALPATH)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-libgcc-file-name OUTPUT_VARIABLE libgcc
                  OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  foreach(file "${compiler}" "${libgcc}" "${CMAKE_LINKER}")
    led_debian_package(package "${file}")
    if(package STREQUAL "" AND NOT file STREQUAL libgcc)
      execute_process(COMMAND "${file}" --version OUTPUT_VARIABLE package ERROR_QUIET)
      string(REGEX REPLACE "\n.*" "" package "${package}")
    endif()
    list(APPEND parts "${package}")
  endforeach()

  led_debian_package(package "${CMAKE_FIND_ROOT_PATH}/lib/libmsvcrt.a")
  if(package STREQUAL "")
    file(STRINGS "${CMAKE_FIND_ROOT_PATH}/include/_mingw_mac.h" numbers
         REGEX "^#define __MINGW64_VERSION_(MAJOR|MINOR|BUGFIX) ")
    string(REGEX REPLACE "[^;]* ([0-9]+)" "\\1" numbers "${numbers}")
    string(REPLACE ";" "." package "mingw-w64 runtime ${numbers}")
  endif()
  list(APPEND parts "${package}")
  list(REMOVE_ITEM parts "")
  list(JOIN parts ", " text)

  # The zlib of the build's Python: the libz file it has loaded for its zlib
  # module (none where the module has it linked in), and the version it reports.
  execute_process(COMMAND ${LED_PYTHON} -c "import zlib
print(zlib.ZLIB_RUNTIME_VERSION, *sorted({line.split()[-1] for line in open('/proc/self/maps') if '/libz.so' in line}))"
                  OUTPUT_VARIABLE zlib OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  string(REPLACE " " ";" zlib "${zlib}")
  list(POP_FRONT zlib zlib_version zlib_file)
  led_debian_package(package "${zlib_file}")
  if(package STREQUAL "")
    set(package "zlib ${zlib_version}")
  endif()
  set(${var} "${text}; zipped with ${package}" PARENT_SCOPE)
endfunction()
