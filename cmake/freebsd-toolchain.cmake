# SPDX-License-Identifier: BSD-2-Clause
# Cross build for FreeBSD 14 with Debian's clang and lld, against a FreeBSD
# sysroot (the base system's headers, start files and libraries):
#
#   cmake -S . -B build-freebsd -DCMAKE_TOOLCHAIN_FILE=cmake/freebsd-toolchain.cmake \
#         -DVOLSCAN_FREEBSD_ARCH=amd64|aarch64 -DVOLSCAN_FREEBSD_SYSROOT=DIR
#
# tests/cross/freebsd.sh runs it against the sysroots kept beside the tree.
set(CMAKE_SYSTEM_NAME FreeBSD)
set(CMAKE_SYSTEM_VERSION 14.0)

if(NOT VOLSCAN_FREEBSD_ARCH)
  set(VOLSCAN_FREEBSD_ARCH amd64)
endif()
if(VOLSCAN_FREEBSD_ARCH STREQUAL "amd64")
  set(CMAKE_SYSTEM_PROCESSOR amd64)
  set(volscan_triple x86_64-unknown-freebsd14.0)
elseif(VOLSCAN_FREEBSD_ARCH STREQUAL "aarch64")
  set(CMAKE_SYSTEM_PROCESSOR aarch64)
  set(volscan_triple aarch64-unknown-freebsd14.0)
else()
  message(FATAL_ERROR "VOLSCAN_FREEBSD_ARCH is amd64 or aarch64, not ${VOLSCAN_FREEBSD_ARCH}")
endif()
if(NOT IS_DIRECTORY "${VOLSCAN_FREEBSD_SYSROOT}/usr/include")
  message(FATAL_ERROR "VOLSCAN_FREEBSD_SYSROOT (${VOLSCAN_FREEBSD_SYSROOT}) holds no FreeBSD sysroot")
endif()
# The checks CMake compiles while it configures read this file again.
set(CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VOLSCAN_FREEBSD_ARCH VOLSCAN_FREEBSD_SYSROOT)

set(CMAKE_SYSROOT ${VOLSCAN_FREEBSD_SYSROOT})
set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET ${volscan_triple})
set(CMAKE_CXX_COMPILER_TARGET ${volscan_triple})
# FreeBSD's C++ library is libc++; Debian's clang would take libstdc++.
set(CMAKE_CXX_FLAGS_INIT -stdlib=libc++)
foreach(kind EXE SHARED MODULE)
  set(CMAKE_${kind}_LINKER_FLAGS_INIT -fuse-ld=lld)
endforeach()

# Headers, libraries and packages come from the sysroot only, never from the
# host's Linux packages; programs run here come from the host.
set(CMAKE_FIND_ROOT_PATH ${VOLSCAN_FREEBSD_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(ENV{PKG_CONFIG_SYSROOT_DIR} ${VOLSCAN_FREEBSD_SYSROOT})
set(ENV{PKG_CONFIG_LIBDIR}
    "${VOLSCAN_FREEBSD_SYSROOT}/usr/libdata/pkgconfig:${VOLSCAN_FREEBSD_SYSROOT}/usr/local/libdata/pkgconfig")

# clang turns LIBRARY_PATH into -L options of the host's folders in every
# link. Unset here it is gone for this configure step only: the build's own
# environment must lack it as well.
if(DEFINED ENV{LIBRARY_PATH})
  message(WARNING "LIBRARY_PATH is set ($ENV{LIBRARY_PATH}): clang adds its folders to the "
                  "FreeBSD links; unset it for the build")
  unset(ENV{LIBRARY_PATH})
endif()
