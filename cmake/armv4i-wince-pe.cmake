# The device's own ARM PE files (machine 0x01C0, ARMV4I's ARM mode with
# interworking), built here with free tools: arm-wince-pe binutils from
# Debian's binutils-source (tools/arm_pe_toolchain.sh builds them once into
# a cache outside the build tree) and, as the compiler, the driver in
# cmake/armv4i, which CMake takes for GNU: arm-linux-gnueabi-gcc to
# assembly, that assembly made fit for the PE assembler, arm-wince-pe-as and
# arm-wince-pe-ld. CMake's WindowsCE system (WINCE and WIN32 set), CE 5.02.
set(CMAKE_SYSTEM_NAME WindowsCE)
set(CMAKE_SYSTEM_VERSION 5.02)
set(CMAKE_SYSTEM_PROCESSOR arm)
list(APPEND CMAKE_MODULE_PATH ${CMAKE_CURRENT_LIST_DIR})

# The binutils, built on first use (a few minutes, once per source version).
if(NOT ARM_WINCE_PE_BIN)
  execute_process(COMMAND ${CMAKE_CURRENT_LIST_DIR}/../tools/arm_pe_toolchain.sh
    OUTPUT_VARIABLE _arm_pe_output RESULT_VARIABLE _arm_pe_status OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT _arm_pe_status EQUAL 0)
    message(FATAL_ERROR "The arm-wince-pe binutils could not be built: tools/arm_pe_toolchain.sh said why above")
  endif()
  string(REGEX REPLACE ".*\n" "" _arm_pe_output "${_arm_pe_output}")
  set(ARM_WINCE_PE_BIN ${_arm_pe_output} CACHE PATH "The arm-wince-pe binutils' bin folder")
endif()

set(CMAKE_C_COMPILER ${CMAKE_CURRENT_LIST_DIR}/armv4i/arm-wince-pe-gcc)
set(CMAKE_CXX_COMPILER ${CMAKE_CURRENT_LIST_DIR}/armv4i/arm-wince-pe-g++)
set(CMAKE_RC_COMPILER ${ARM_WINCE_PE_BIN}/arm-wince-pe-windres)
foreach(tool AR RANLIB LINKER NM OBJCOPY OBJDUMP STRIP)
  string(TOLOWER ${tool} name)
  if(tool STREQUAL "LINKER")
    set(name ld)
  endif()
  set(CMAKE_${tool} ${ARM_WINCE_PE_BIN}/arm-wince-pe-${name} CACHE FILEPATH "" FORCE)
endforeach()
set(DEVICELOCK_DLLTOOL ${ARM_WINCE_PE_BIN}/arm-wince-pe-dlltool CACHE FILEPATH "" FORCE)
# Nothing but coredll.dll: no desktop system libraries on the device.
set(CMAKE_C_STANDARD_LIBRARIES "")
set(CMAKE_CXX_STANDARD_LIBRARIES "")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
