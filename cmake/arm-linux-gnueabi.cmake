# The device's processor family on this machine: 32-bit ARM (Debian's armel,
# arm-linux-gnueabi). Everything is built for it; the device folders also get
# the device's own instruction set (see device_code). Programs run under
# qemu-arm, which finds the target's loader and libraries below the prefix.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_C_COMPILER arm-linux-gnueabi-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabi-g++)
set(CMAKE_FIND_ROOT_PATH /usr/arm-linux-gnueabi)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -L /usr/arm-linux-gnueabi)
# Device objects are marked with a 16-bit wchar_t, the C library with a
# 32-bit one. Nothing wide passes between them: device code's wide-string
# calls go to the stand-in's 16-bit routines.
foreach(kind EXE SHARED MODULE)
  set(CMAKE_${kind}_LINKER_FLAGS_INIT "-Wl,--no-wchar-size-warning")
endforeach()
