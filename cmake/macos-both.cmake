# The `macos` preset: one configure that builds the macOS program for each machine in
# KELP_MACOS_ARCHITECTURES (x86_64 for Intel Macs, arm64 for Apple silicon). Each is a cross build
# of this same source tree with Zig (zig-macos.cmake) in a folder of its own below this one:
# build/macos/x86_64/kelp-capture and build/macos/arm64/kelp-capture.
#
# The unit tests are left out: they drive pseudo-terminals through openpty, whose header <util.h>
# Zig's macOS headers do not have. Nothing here can run a Mach-O anyway.
include(ExternalProject)

foreach(arch IN LISTS KELP_MACOS_ARCHITECTURES)
  ExternalProject_Add(kelp-capture-macos-${arch}
    SOURCE_DIR "${PROJECT_SOURCE_DIR}"
    BINARY_DIR "${CMAKE_BINARY_DIR}/${arch}"
    PREFIX "${CMAKE_BINARY_DIR}/external/${arch}"
    CMAKE_GENERATOR Ninja
    CMAKE_ARGS "-DCMAKE_TOOLCHAIN_FILE=${PROJECT_SOURCE_DIR}/cmake/zig-macos.cmake"
               "-DKELP_MACOS_ARCH=${arch}"
               "-DCMAKE_BUILD_TYPE=${CMAKE_BUILD_TYPE}"
               "-DCMAKE_COMPILE_WARNING_AS_ERROR=${CMAKE_COMPILE_WARNING_AS_ERROR}"
               "-DCMAKE_EXPORT_COMPILE_COMMANDS=${CMAKE_EXPORT_COMPILE_COMMANDS}"
               -DKELP_BUILD_TESTS=OFF
    INSTALL_COMMAND ""
    # The sources are this tree: let the inner build decide what changed.
    BUILD_ALWAYS ON
    USES_TERMINAL_BUILD ON)
endforeach()
