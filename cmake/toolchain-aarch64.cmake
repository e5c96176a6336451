# Cross build for the board (aarch64 Linux) with Debian's cross toolchain
# (g++-aarch64-linux-gnu). ZOR_ARM64_ROOT names an arm64 Debian root (made by
# scripts/arm64-root) that supplies the target's kissfft, GoogleTest and
# CPython headers; the compiler brings its own C library and libstdc++.
#
#   cmake -S . -B build/arm64 -G Ninja \
#     -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-aarch64.cmake \
#     -DZOR_ARM64_ROOT=/var/cache/zorllm/arm64-bookworm
#
# scripts/build-aarch64 runs exactly this (and installs and packs the wheel).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

if(NOT ZOR_ARM64_ROOT)
  set(ZOR_ARM64_ROOT "$ENV{ZOR_ARM64_ROOT}")
endif()
if(NOT ZOR_ARM64_ROOT OR NOT EXISTS "${ZOR_ARM64_ROOT}/usr/include")
  message(FATAL_ERROR "ZOR_ARM64_ROOT must name an arm64 root (scripts/arm64-root prints it)")
endif()
# try_compile projects run this file again; hand the root on to them.
set(ENV{ZOR_ARM64_ROOT} "${ZOR_ARM64_ROOT}")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ZOR_ARM64_ROOT)

set(CMAKE_FIND_ROOT_PATH ${ZOR_ARM64_ROOT} /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

# The root's headers come after the cross compiler's own (same Debian
# release, so the C library headers agree): only what the toolchain lacks is
# taken from the root, e.g. <aarch64-linux-gnu/python3.11/pyconfig.h>, which
# the root's python3.11/pyconfig.h includes for this architecture.
set(CMAKE_C_FLAGS_INIT "-idirafter ${ZOR_ARM64_ROOT}/usr/include")
set(CMAKE_CXX_FLAGS_INIT "-idirafter ${ZOR_ARM64_ROOT}/usr/include")

# The CPython extensions are written to the Limited API, so the root's 3.11
# headers are all they need; no interpreter of the target runs at build time.
# FindPython would otherwise ask the host's interpreter for its (x86-64)
# include directory and extension suffix.
set(Python_INCLUDE_DIR "${ZOR_ARM64_ROOT}/usr/include/python3.11" CACHE PATH "")
set(Python_SOSABI "abi3" CACHE STRING "")

# Test programs run under user-mode emulation, with the root's loader and
# libraries. The prefix is given through the environment rather than -L so
# that it also holds for arm64 programs the tests start themselves (death
# tests re-execute their own binary through binfmt_misc).
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/env;QEMU_LD_PREFIX=${ZOR_ARM64_ROOT};qemu-aarch64)
# Libraries of the root are linked against but never shipped: let the linker
# resolve their own dependencies inside the root.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-Wl,-rpath-link,${ZOR_ARM64_ROOT}/usr/lib/aarch64-linux-gnu -Wl,-rpath-link,${ZOR_ARM64_ROOT}/lib/aarch64-linux-gnu")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${CMAKE_EXE_LINKER_FLAGS_INIT}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${CMAKE_EXE_LINKER_FLAGS_INIT}")
