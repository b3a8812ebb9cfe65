# Cross-building for arm64 Linux (the robot's own small computer) with Debian's cross compiler and
# the :arm64 development packages, and running what is built under qemu's user-mode emulator.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
# The programs run against the :arm64 packages' loader and libraries (prefix /). The cross
# compiler's own copies under /usr/aarch64-linux-gnu come from another build of the C library:
# that loader with the packages' libc hangs in the first pthread_create.
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/qemu-aarch64-static;-L;/)
