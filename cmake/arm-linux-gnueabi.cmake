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
# 64-bit file offsets, inode numbers and times, as on the host: with the
# C library's 32-bit defaults, stat() fails with EOVERFLOW on a file system
# with 64-bit inode numbers (the registry's keys are directories), and the
# device's clock stops in 2038.
set(CMAKE_C_FLAGS_INIT "-D_FILE_OFFSET_BITS=64 -D_TIME_BITS=64")
set(CMAKE_CXX_FLAGS_INIT "-D_FILE_OFFSET_BITS=64 -D_TIME_BITS=64")
# Device objects are marked with a 16-bit wchar_t, the C library with a
# 32-bit one. Nothing wide passes between them: device code's wide-string
# calls go to the stand-in's 16-bit routines.
foreach(kind EXE SHARED MODULE)
  set(CMAKE_${kind}_LINKER_FLAGS_INIT "-Wl,--no-wchar-size-warning")
endforeach()
