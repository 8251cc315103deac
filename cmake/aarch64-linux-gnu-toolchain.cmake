# SPDX-License-Identifier: BSD-2-Clause
# Cross build for Linux on aarch64 with Debian's cross compiler
# (g++-aarch64-linux-gnu); programs built here run under qemu-user.
#
#   cmake -S . -B build-aarch64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu-toolchain.cmake \
#         [-DVOLSCAN_AARCH64_ROOT=DIR]
#
# VOLSCAN_AARCH64_ROOT is a folder with arm64 packages unpacked into it (such
# as libgtest-dev for the unit tests), searched after the cross compiler's own.
# tests/cross/linux-aarch64.sh makes one and runs the unit tests.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VOLSCAN_AARCH64_ROOT)

set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu ${VOLSCAN_AARCH64_ROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

find_program(VOLSCAN_QEMU_AARCH64 qemu-aarch64)
if(VOLSCAN_QEMU_AARCH64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${VOLSCAN_QEMU_AARCH64} -L /usr/aarch64-linux-gnu)
endif()
