# What an integrator gets from the device build path, and nothing else: the
# two deliverables, the clients' header and the library's definition file
# (to make an import library for a client that links it rather than loading
# it), and the documents. `cmake --install` puts them in place; CPack zips
# them as DeviceLock-VERSION-TARGET.zip. What this machine builds around the
# deliverables (the Wine coredll.dll, the fixtures, the C client) stays out.

# No CE device runs x86_64: that build is the Wine test build, named so, and
# offered as no device's files.
if(MSVC)
  set(_bundle_target wm6-armv4i)
elseif(CMAKE_SYSTEM_PROCESSOR STREQUAL "arm")
  set(_bundle_target armv4i)
elseif(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(_bundle_target wine-test-x64)
else()
  set(_bundle_target wince-x86)
endif()
set(DEVICELOCK_BUNDLE_TARGET ${_bundle_target} CACHE STRING
    "The target the bundle's name gives (wince-x86, armv4i, wm6-armv4i, a device's; wine-test-x64, the Wine test build)")

# Device files have no place on the build machine: unless told otherwise,
# `cmake --install` puts them in the build tree.
if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT)
  set(CMAKE_INSTALL_PREFIX ${CMAKE_BINARY_DIR}/install CACHE PATH "Where cmake --install puts the bundle's files" FORCE)
endif()

# The executable and the DLL; not the DLL's import library, which would
# serve only the toolchain that made it.
install(TARGETS vespertin tallowbeck RUNTIME DESTINATION bin)
install(FILES ${PROJECT_SOURCE_DIR}/Lock/tallowbeck.h DESTINATION include)
install(FILES ${PROJECT_SOURCE_DIR}/Lock/tallowbeck.def DESTINATION lib)
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/CHANGELOG.md ${PROJECT_SOURCE_DIR}/docs/deploying.md
  DESTINATION doc)
install(FILES ${PROJECT_SOURCE_DIR}/docs/figures/power-event.svg ${PROJECT_SOURCE_DIR}/docs/figures/key-event.svg
  ${PROJECT_SOURCE_DIR}/docs/figures/key-decision.svg DESTINATION doc/figures)

set(CPACK_GENERATOR ZIP)
# A device's bundle also comes as the platform's installer, a CAB
# (DeviceLock-VERSION-TARGET.cab, cmake/DeviceCab.cmake); the Wine test
# build's does not. gcab runs here only: with the device SDK, make the CAB
# from the bundle's folder by hand (see cmake/DeviceCab.cmake).
if(NOT MSVC AND NOT DEVICELOCK_BUNDLE_TARGET MATCHES "^wine-")
  list(APPEND CPACK_GENERATOR External)
  set(CPACK_EXTERNAL_ENABLE_STAGING ON)
  set(CPACK_EXTERNAL_PACKAGE_SCRIPT ${PROJECT_SOURCE_DIR}/cmake/DeviceCab.cmake)
endif()
set(CPACK_PACKAGE_FILE_NAME ${PROJECT_NAME}-${PROJECT_VERSION}-${DEVICELOCK_BUNDLE_TARGET})
include(CPack)
