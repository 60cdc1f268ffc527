# How the device sources (PowerManager/, Lock/) are compiled and linked on
# each build path:
#  - the host (Linux): against the simulated device's libcoredll.so, with its
#    start-up code;
#  - WindowsCE with mingw-w64: device-shaped PE files, with no C runtime,
#    importing only coredll.dll, every function by ordinal;
#  - WindowsCE with the device SDK (MSVC): the SDK's own headers, libraries
#    and start-up code.

# The device toolchain is a C++03 compiler with 16-bit wchar_t and neither
# exceptions nor RTTI. A C target (a client written in C) gets the same
# warnings and wchar_t; its C standard is its own.
function(device_code target)
  if(MSVC)
    target_compile_definitions(${target} PRIVATE UNICODE _UNICODE)
    target_compile_options(${target} PRIVATE /W3 /GR-)
    return()
  endif()
  set_target_properties(${target} PROPERTIES CXX_STANDARD 98 CXX_EXTENSIONS OFF)
  target_compile_options(${target} PRIVATE -pedantic-errors -Wall -Wextra -Werror
    $<$<COMPILE_LANGUAGE:CXX>:-fno-exceptions -fno-rtti>)
  if(WINCE)
    target_compile_definitions(${target} PRIVATE UNICODE _UNICODE)
    # Freestanding: nothing may come from a desktop runtime. The compiler's
    # own memset/memcpy calls resolve to coredll's exports.
    target_compile_options(${target} PRIVATE -Os -ffreestanding -fno-asynchronous-unwind-tables
      -fno-stack-protector -ffunction-sections -fdata-sections)
  endif()
  if(WINCE AND CMAKE_SYSTEM_PROCESSOR STREQUAL "arm")
    # The device's own ARM files (cmake/armv4i-wince-pe.cmake): the compiler
    # driver gives the device's instruction set, char and wchar_t; the
    # platform's headers are the device's, as on the host. A cast that may
    # misalign a load faults on the device.
    target_include_directories(${target} SYSTEM PRIVATE ${PROJECT_SOURCE_DIR}/platform/include)
    target_compile_options(${target} PRIVATE -Wcast-align=strict)
  elseif(WINCE)
    target_compile_options(${target} PRIVATE -mno-stack-arg-probe)
    target_include_directories(${target} SYSTEM PRIVATE ${PROJECT_SOURCE_DIR}/platform/win32/include)
    # CE x86 has one calling convention: the SDK's windef.h makes __stdcall
    # __cdecl, so WINAPI, CALLBACK and APIENTRY are caller-pops and names are
    # undecorated. The desktop headers are told the same.
    if(CMAKE_SIZEOF_VOID_P EQUAL 4)
      target_compile_options(${target} PRIVATE
        "$<$<COMPILE_LANGUAGE:C,CXX>:-U__stdcall;-D__stdcall=__cdecl;-U_stdcall;-D_stdcall=__cdecl>")
    endif()
  else()
    target_compile_options(${target} PRIVATE -fshort-wchar)
    # The device's processor (ARMV4I). qemu-arm runs a misaligned load that the
    # device faults on, so a cast that may misalign is refused at compile time.
    if(CMAKE_SYSTEM_PROCESSOR STREQUAL "arm")
      target_compile_options(${target} PRIVATE -march=armv4t -mthumb-interwork -Wcast-align=strict)
    endif()
  endif()
endfunction()

# The entry symbol a mingw-w64 linker wants: C names carry a leading
# underscore on i686 (cdecl, as on CE x86), none on x86_64 or ARM.
function(_device_entry_symbol name result)
  if(CMAKE_SYSTEM_PROCESSOR STREQUAL "i686")
    set(${result} "_${name}" PARENT_SCOPE)
  else()
    set(${result} "${name}" PARENT_SCOPE)
  endif()
endfunction()

# The lean layout of a device-shaped file (cmake/lean-image): the linker
# script, then the data directories ld leaves out written from its map.
function(_device_lean_image target)
  set(map ${CMAKE_CURRENT_BINARY_DIR}/${target}.map)
  set(layout ${PROJECT_SOURCE_DIR}/cmake/lean-image)
  target_link_options(${target} PRIVATE -Wl,-T,${layout}/device-image.ld -Wl,-Map,${map})
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${layout}/device-image.ld)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${Python3_EXECUTABLE} ${layout}/set_data_directories.py ${map} $<TARGET_FILE:${target}>
    VERBATIM)
endfunction()

# A device program: its start-up code calls WinMain. The program may be C or
# C++; the start-up code is C++ either way.
function(device_program target)
  device_code(${target})
  if(MSVC)
    set_target_properties(${target} PROPERTIES WIN32_EXECUTABLE TRUE)
    target_link_options(${target} PRIVATE /SUBSYSTEM:WINDOWSCE,5.00)
  elseif(WINCE)
    # Freestanding C++ that needs no C++ runtime, so a C program links it too.
    _device_entry_symbol(WinMainCRTStartup entry)
    target_sources(${target} PRIVATE $<TARGET_OBJECTS:device_program_entry>)
    target_link_libraries(${target} PRIVATE device_runtime)
    target_link_options(${target} PRIVATE -Wl,-e,${entry})
    if(CMAKE_SYSTEM_PROCESSOR STREQUAL "arm")
      # Where CE loads every program, in a process slot of its own.
      target_link_options(${target} PRIVATE -Wl,--image-base,0x10000)
    endif()
    _device_lean_image(${target})
  else()
    target_sources(${target} PRIVATE $<TARGET_OBJECTS:program_entry>)
    target_link_libraries(${target} PRIVATE coredll)
    # The host's start-up code joins the device through its C++ interface.
    set_target_properties(${target} PROPERTIES LINKER_LANGUAGE CXX)
  endif()
endfunction()

# A device library: the platform calls DllMain on attach and detach.
function(device_library target)
  device_code(${target})
  if(MSVC)
    target_link_options(${target} PRIVATE /SUBSYSTEM:WINDOWSCE,5.00)
  elseif(WINCE)
    _device_entry_symbol(DllMain entry)
    target_link_libraries(${target} PRIVATE device_runtime)
    target_link_options(${target} PRIVATE -Wl,-e,${entry})
    _device_lean_image(${target})
  else()
    target_link_libraries(${target} PRIVATE coredll library_entry)
  endif()
endfunction()
