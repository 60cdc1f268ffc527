# What an integrator gets from the device build path, and nothing else: the
# two deliverables, the clients' header and the library's definition file
# (to make an import library for a client that links it rather than loading
# it), and the documents. `cmake --install` puts them in place; CPack zips
# them as DeviceLock-VERSION-TARGET.zip. What this machine builds around the
# deliverables (the Wine coredll.dll, the fixtures, the C client) stays out.

if(MSVC)
  set(_bundle_target wm6-armv4i)
elseif(CMAKE_SYSTEM_PROCESSOR STREQUAL "arm")
  set(_bundle_target armv4i)
elseif(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(_bundle_target wince-x64)
else()
  set(_bundle_target wince-x86)
endif()
set(DEVICELOCK_BUNDLE_TARGET ${_bundle_target} CACHE STRING "The target the bundle's name gives (wince-x86, wince-x64, armv4i, wm6-armv4i)")

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
set(CPACK_PACKAGE_FILE_NAME ${PROJECT_NAME}-${PROJECT_VERSION}-${DEVICELOCK_BUNDLE_TARGET})
include(CPack)
