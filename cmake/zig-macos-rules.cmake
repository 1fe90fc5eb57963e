# Read after CMake's Apple compiler rules (see zig-macos.cmake). Those rules make the compiler
# pass -v to the linker while CMake learns the compiler's ABI, and Zig's linker refuses it.
set(CMAKE_C_VERBOSE_FLAG "-v")
set(CMAKE_CXX_VERBOSE_FLAG "-v")
