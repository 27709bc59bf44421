# Cross build for 64-bit Arm Linux with Debian's cross toolchain
# (g++-aarch64-linux-gnu, libraries under /usr/aarch64-linux-gnu).  Programs
# of the build run under Debian's qemu-aarch64, which takes the target's
# dynamic loader and shared libraries from the same directory (-L).
#
#   cmake -S . -B build/aarch64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(KSX_AARCH64_SYSROOT /usr/aarch64-linux-gnu)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L ${KSX_AARCH64_SYSROOT})

# Libraries, headers and packages of the target only (never the host's
# GoogleTest, say); programs of the host.  A package built for the target
# elsewhere is given by its <Package>_DIR.
set(CMAKE_FIND_ROOT_PATH ${KSX_AARCH64_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
