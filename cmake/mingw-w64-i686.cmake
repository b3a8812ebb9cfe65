# Windows, 32-bit (i686): see mingw-w64-common.cmake.
set(CMAKE_SYSTEM_PROCESSOR i686)
# Floating point in SSE2 registers, as on 64-bit: the x87 unit's wider intermediates would round
# the camera decoder's colour conversion differently. Every processor that runs Windows 8 or later
# has SSE2.
set(CMAKE_C_FLAGS_INIT "-msse2 -mfpmath=sse")
set(CMAKE_CXX_FLAGS_INIT "-msse2 -mfpmath=sse")
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
