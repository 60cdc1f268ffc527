# Version information (a VERSIONINFO resource) for a deliverable's PE file,
# from the project's version: the file and product version, what the file
# is, and its names. The same .rc serves the device SDK's rc.exe and
# mingw-w64's windres.

# The file name a target's PE file gets: prefix, output name and suffix.
function(_version_file_name target result)
  get_target_property(type ${target} TYPE)
  get_target_property(name ${target} OUTPUT_NAME)
  if(NOT name)
    set(name ${target})
  endif()
  get_target_property(prefix ${target} PREFIX)
  if(NOT prefix)
    set(prefix "")
  endif()
  get_target_property(suffix ${target} SUFFIX)
  if(NOT suffix AND type STREQUAL "EXECUTABLE")
    set(suffix ${CMAKE_EXECUTABLE_SUFFIX})
  elseif(NOT suffix)
    set(suffix ${CMAKE_SHARED_LIBRARY_SUFFIX})
  endif()
  set(${result} "${prefix}${name}${suffix}" PARENT_SCOPE)
  set(${result}_INTERNAL "${name}" PARENT_SCOPE)
endfunction()

# Adds the resource to TARGET, an executable or a shared library, described
# as DESCRIPTION.
function(device_version_resource target description)
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "EXECUTABLE")
    set(VERSION_FILE_TYPE 1)
  elseif(type STREQUAL "SHARED_LIBRARY")
    set(VERSION_FILE_TYPE 2)
  else()
    message(FATAL_ERROR "device_version_resource: ${target} is a ${type}, not a program or a library")
  endif()
  _version_file_name(${target} VERSION_FILE_NAME)
  set(VERSION_INTERNAL_NAME ${VERSION_FILE_NAME_INTERNAL})
  set(VERSION_DESCRIPTION "${description}")
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/version/${target}.rc)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/VersionResource.rc.in ${rc} @ONLY)
  target_sources(${target} PRIVATE ${rc})
endfunction()
