# CMake has rules for the device SDK's resource compiler on WindowsCE, not
# for windres: mingw-w64 compiles resources as it does for desktop Windows.
include(Platform/Windows-windres)
