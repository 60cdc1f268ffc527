# Device-shaped PE files for CE x86 (machine 0x014C), the genuine CE format
# on this machine's processor family; checked here, not run (there is no
# 32-bit Wine).
set(CMAKE_SYSTEM_PROCESSOR i686)
set(MINGW_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
