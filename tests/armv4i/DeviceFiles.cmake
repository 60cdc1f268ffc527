# Makes FOLDER afresh holding copies of FILES (a list): the device files the
# armv4i suite runs. A missing file stops it, naming the file and the build.
#   cmake -DFOLDER=DIR -DFILES=A;B;... -P DeviceFiles.cmake
file(REMOVE_RECURSE ${FOLDER})
file(MAKE_DIRECTORY ${FOLDER})
foreach(path IN LISTS FILES)
  if(NOT EXISTS ${path})
    message(FATAL_ERROR "missing ${path}: build the armv4i and arm presets first")
  endif()
  file(COPY ${path} DESTINATION ${FOLDER})
endforeach()
