# CMake has rules for the device SDK's compiler on WindowsCE, not for GNU:
# mingw-w64 links PE files as it does for desktop Windows.
include(Platform/Windows-GNU-C)
