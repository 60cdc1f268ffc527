# Reads platform/coredll.calls, the one list of the platform calls, checks it,
# and writes what repeats it: the device-shaped builds' import definition,
# the Wine coredll.dll's export definition, the Linux libcoredll.so's version
# script and a C/C++ header with the list as an X-macro.
#
# Included by the build (platform_calls_load, then the writers), or run as a
# script to check a list:   cmake -DCALLS=FILE -P cmake/PlatformCalls.cmake
# A malformed list stops with one message naming the file, the line and what
# is wrong with it.

if(CMAKE_SCRIPT_MODE_FILE)
  cmake_policy(VERSION 3.25)
endif()

set(PLATFORM_CALL_FLAGS nofault crt wide16 startup)

function(_platform_calls_fail file number text)
  message(FATAL_ERROR "${file}:${number}: ${text}")
endfunction()

# Parses FILE into PLATFORM_CALL_NAMES (in file order) and, per name,
# PLATFORM_CALL_<name>_ORDINAL, _CONVENTION, _BYTES, _HEADER, _FLAGS, all
# set in the caller's scope.
function(platform_calls_load file)
  if(NOT EXISTS "${file}")
    message(FATAL_ERROR "${file}: no such call list")
  endif()
  file(READ "${file}" content)
  string(REPLACE ";" "\\;" content "${content}")
  string(REPLACE "\n" ";" lines "${content}")
  set(names "")
  set(number 0)
  foreach(line IN LISTS lines)
    math(EXPR number "${number} + 1")
    string(REGEX REPLACE "#.*" "" line "${line}")
    string(REGEX MATCHALL "[^ \t\r]+" fields "${line}")
    list(LENGTH fields count)
    if(count EQUAL 0)
      continue()
    endif()
    if(count LESS 5)
      _platform_calls_fail("${file}" ${number} "expected: ordinal name convention bytes header [flags], found '${line}'")
    endif()
    list(GET fields 0 ordinal)
    list(GET fields 1 name)
    list(GET fields 2 convention)
    list(GET fields 3 bytes)
    list(GET fields 4 header)
    set(flags "")
    if(count GREATER 5)
      list(SUBLIST fields 5 -1 flags)
    endif()
    if(NOT ordinal MATCHES "^[1-9][0-9]*$" OR ordinal GREATER 65535)
      _platform_calls_fail("${file}" ${number} "ordinal '${ordinal}' is not a number from 1 to 65535")
    endif()
    if(NOT name MATCHES "^[A-Za-z_][A-Za-z0-9_]*$")
      _platform_calls_fail("${file}" ${number} "'${name}' is not a function name")
    endif()
    if(NOT convention MATCHES "^(winapi|cdecl|varargs)$")
      _platform_calls_fail("${file}" ${number} "convention '${convention}' is not winapi, cdecl or varargs")
    endif()
    if(convention STREQUAL "varargs")
      if(NOT bytes STREQUAL "-")
        _platform_calls_fail("${file}" ${number} "a varargs call has no fixed argument bytes: write '-'")
      endif()
    elseif(NOT bytes MATCHES "^[0-9]+$")
      _platform_calls_fail("${file}" ${number} "argument bytes '${bytes}' are not a number")
    else()
      math(EXPR remainder "${bytes} % 4")
      if(NOT remainder EQUAL 0)
        _platform_calls_fail("${file}" ${number} "argument bytes ${bytes} are not a multiple of 4")
      endif()
    endif()
    if(NOT header MATCHES "^(-|[A-Za-z0-9_]+\\.h)$")
      _platform_calls_fail("${file}" ${number} "header '${header}' is not a header name or '-'")
    endif()
    foreach(flag IN LISTS flags)
      if(NOT flag IN_LIST PLATFORM_CALL_FLAGS)
        _platform_calls_fail("${file}" ${number} "unknown flag '${flag}' (known: ${PLATFORM_CALL_FLAGS})")
      endif()
    endforeach()
    if(DEFINED _line_of_name_${name})
      _platform_calls_fail("${file}" ${number} "duplicate name ${name} (first on line ${_line_of_name_${name}})")
    endif()
    if(DEFINED _line_of_ordinal_${ordinal})
      _platform_calls_fail("${file}" ${number}
        "duplicate ordinal ${ordinal} for ${name} (${_name_of_ordinal_${ordinal}} on line ${_line_of_ordinal_${ordinal}})")
    endif()
    set(_line_of_name_${name} ${number})
    set(_line_of_ordinal_${ordinal} ${number})
    set(_name_of_ordinal_${ordinal} ${name})
    list(APPEND names ${name})
    set(PLATFORM_CALL_${name}_ORDINAL ${ordinal} PARENT_SCOPE)
    set(PLATFORM_CALL_${name}_CONVENTION ${convention} PARENT_SCOPE)
    set(PLATFORM_CALL_${name}_BYTES ${bytes} PARENT_SCOPE)
    set(PLATFORM_CALL_${name}_HEADER ${header} PARENT_SCOPE)
    set(PLATFORM_CALL_${name}_FLAGS "${flags}" PARENT_SCOPE)
  endforeach()
  if(names STREQUAL "")
    message(FATAL_ERROR "${file}: the call list is empty")
  endif()
  set(PLATFORM_CALL_NAMES ${names} PARENT_SCOPE)
endfunction()

function(_platform_call_has name flag result)
  if(flag IN_LIST PLATFORM_CALL_${name}_FLAGS)
    set(${result} TRUE PARENT_SCOPE)
  else()
    set(${result} FALSE PARENT_SCOPE)
  endif()
endfunction()

# Writes only when the text changed, so that what depends on it is rebuilt
# only then.
function(_platform_calls_write path text)
  if(EXISTS "${path}")
    file(READ "${path}" old)
    if(old STREQUAL text)
      return()
    endif()
  endif()
  file(WRITE "${path}" "${text}")
endfunction()

# The import definition for dlltool: every call by ordinal only, by its
# plain name on every device target (CE x86 is cdecl throughout, as the
# SDK's coredll.lib shows: _CreateMutexW, not _CreateMutexW@12).
function(platform_calls_write_import_def path)
  set(text "; Generated from platform/coredll.calls: every call imported by ordinal.\nLIBRARY coredll.dll\nEXPORTS\n")
  foreach(name IN LISTS PLATFORM_CALL_NAMES)
    string(APPEND text "    ${name} @${PLATFORM_CALL_${name}_ORDINAL} NONAME\n")
  endforeach()
  _platform_calls_write("${path}" "${text}")
endfunction()

# The Wine coredll.dll's exports: every call by name and at its ordinal, each
# served by the stand-in's coredll_NAME; then, by name only, the functions
# ARGN names (its own, for tests).
function(platform_calls_write_wine_def path)
  set(text "; Generated from platform/coredll.calls.\nLIBRARY coredll\nEXPORTS\n")
  foreach(name IN LISTS PLATFORM_CALL_NAMES)
    string(APPEND text "    ${name} = coredll_${name} @${PLATFORM_CALL_${name}_ORDINAL}\n")
  endforeach()
  foreach(name IN LISTS ARGN)
    string(APPEND text "    ${name}\n")
  endforeach()
  _platform_calls_write("${path}" "${text}")
endfunction()

# The Linux libcoredll.so's exports: the calls (the C library serves the
# plain C-runtime ones; the 16-bit wide-string ones are the stand-in's
# simdevice_NAME), then the control interface: simdevice::Name... in C++ and
# the C functions CONTROL_C_FUNCTIONS names.
function(platform_calls_write_version_script path)
  set(text "/* Generated from platform/coredll.calls. */\n{\n  global:\n")
  foreach(name IN LISTS PLATFORM_CALL_NAMES)
    _platform_call_has(${name} crt crt)
    _platform_call_has(${name} wide16 wide16)
    if(wide16)
      string(APPEND text "    simdevice_${name};\n")
    elseif(NOT crt)
      string(APPEND text "    ${name};\n")
    endif()
  endforeach()
  foreach(name IN LISTS ARGN)
    string(APPEND text "    ${name};\n")
  endforeach()
  string(APPEND text "    extern \"C++\" {\n      simdevice::[A-Z]*;\n    };\n  local: *;\n};\n")
  _platform_calls_write("${path}" "${text}")
endfunction()

# The list for C and C++ code: PLATFORM_CALLS(CALL) expands
# CALL(ordinal, name, "header", faultable) for every call, and
# PLATFORM_CALL_SYMBOLS(SERVE) SERVE(ordinal, "name", "symbol serving it");
# in C++ also the list as a table, and platform_calls::Call, the calls that
# can fail, with their names.
function(platform_calls_write_header path)
  set(text "/* Generated from platform/coredll.calls: the platform calls as an X-macro. */\n")
  string(APPEND text "#ifndef PLATFORM_CALLS_H\n#define PLATFORM_CALLS_H\n\n#define PLATFORM_CALLS(CALL) \\\n")
  foreach(name IN LISTS PLATFORM_CALL_NAMES)
    _platform_call_has(${name} nofault nofault)
    if(nofault)
      set(faultable 0)
    else()
      set(faultable 1)
    endif()
    string(APPEND text "    CALL(${PLATFORM_CALL_${name}_ORDINAL}, ${name}, \"${PLATFORM_CALL_${name}_HEADER}\", ${faultable}) \\\n")
  endforeach()
  # What serves each call in the Linux libcoredll.so (as its version script
  # has it), for the simulated device's loader of PE files.
  string(APPEND text "\n\n#define PLATFORM_CALL_SYMBOLS(SERVE) \\\n")
  foreach(name IN LISTS PLATFORM_CALL_NAMES)
    _platform_call_has(${name} wide16 wide16)
    set(symbol ${name})
    if(wide16)
      set(symbol simdevice_${name})
    endif()
    string(APPEND text "    SERVE(${PLATFORM_CALL_${name}_ORDINAL}, \"${name}\", \"${symbol}\") \\\n")
  endforeach()
  # For C++: every call as a table (ordinal, name, header, whether it can
  # fail), and the calls that can fail as an enumeration, which every fault
  # point names its call through: a misspelt, unlisted or unfailing call is a
  # compile error.
  string(APPEND text "\n\n#ifdef __cplusplus\nnamespace platform_calls {\n\nstruct Listed {\n    unsigned ordinal;\n")
  string(APPEND text "    const char *name;\n    const char *header;\n    bool faultable;\n};\n")
  string(APPEND text "inline constexpr Listed kListed[] = {\n#define PLATFORM_CALL_LISTED(ordinal, name, header, faultable) {ordinal, #name, header, faultable},\n")
  string(APPEND text "    PLATFORM_CALLS(PLATFORM_CALL_LISTED)\n#undef PLATFORM_CALL_LISTED\n};\n\nenum class Call {\n")
  set(names "")
  set(count 0)
  foreach(name IN LISTS PLATFORM_CALL_NAMES)
    _platform_call_has(${name} nofault nofault)
    if(NOT nofault)
      string(APPEND text "    ${name},\n")
      string(APPEND names "    \"${name}\",\n")
      math(EXPR count "${count} + 1")
    endif()
  endforeach()
  string(APPEND text "};\ninline constexpr int kCount = ${count};\ninline constexpr const char *kNames[kCount] = {\n${names}};\n")
  string(APPEND text "inline const char *Name(Call call) { return kNames[static_cast<int>(call)]; }\n\n}  // namespace platform_calls\n#endif\n")
  string(APPEND text "\n#endif\n")
  _platform_calls_write("${path}" "${text}")
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  if(NOT DEFINED CALLS)
    message(FATAL_ERROR "usage: cmake -DCALLS=FILE -P cmake/PlatformCalls.cmake")
  endif()
  platform_calls_load("${CALLS}")
  list(LENGTH PLATFORM_CALL_NAMES count)
  message(STATUS "${CALLS}: ${count} calls")
endif()
