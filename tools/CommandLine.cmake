# The tools' command lines (CLI11, header-only) and their formatting (fmt),
# for this machine's tools and for the Wine programs. Debian packages both
# for this machine only; for another target (the arm preset, mingw-w64)
# their headers serve as they are, fmt in its header-only form, from a
# folder that holds nothing else of the host's.
if(CMAKE_CROSSCOMPILING)
  set(target_headers ${CMAKE_BINARY_DIR}/target-headers)
  foreach(library fmt CLI)
    if(NOT EXISTS /usr/include/${library})
      message(FATAL_ERROR "missing /usr/include/${library}: install libfmt-dev and libcli11-dev")
    endif()
    file(MAKE_DIRECTORY ${target_headers})
    file(CREATE_LINK /usr/include/${library} ${target_headers}/${library} SYMBOLIC)
  endforeach()
  add_library(tool_formatting INTERFACE)
  target_include_directories(tool_formatting SYSTEM INTERFACE ${target_headers})
  target_compile_definitions(tool_formatting INTERFACE FMT_HEADER_ONLY)
else()
  find_package(fmt REQUIRED)
  add_library(tool_formatting INTERFACE)
  target_link_libraries(tool_formatting INTERFACE fmt::fmt)
endif()

add_library(tool_command_line STATIC ${CMAKE_CURRENT_LIST_DIR}/CommandLine.cpp)
target_include_directories(tool_command_line PUBLIC ${CMAKE_CURRENT_LIST_DIR} ${PROJECT_SOURCE_DIR}/platform/common)
target_link_libraries(tool_command_line PUBLIC tool_formatting)
target_compile_definitions(tool_command_line PRIVATE DEVICELOCK_VERSION="${PROJECT_VERSION}")

