# Device-shaped PE files for x86_64, run under wine64 with the desktop
# coredll.dll, the fixtures and the tools built beside them.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(MINGW_TRIPLET x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
