# nlohmann/json (Debian's nlohmann-json3-dev, header-only) for src/json/, the one folder that
# includes it. The headers are found on the build machine and copied into the build folder, so
# that cross builds (mingw-w64, Zig for macOS), whose compilers do not search /usr/include, see
# this one library alone rather than the build machine's whole /usr/include.
find_path(KELP_NLOHMANN_JSON_DIR nlohmann/json.hpp
          PATHS /usr/include /usr/local/include /opt/homebrew/include
          NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH
          DOC "Folder holding nlohmann/json.hpp (Debian package nlohmann-json3-dev)")
if(NOT KELP_NLOHMANN_JSON_DIR)
  message(FATAL_ERROR "nlohmann/json.hpp not found: install nlohmann-json3-dev "
                      "(tools/install-deps), or set KELP_NLOHMANN_JSON_DIR")
endif()
set(KELP_NLOHMANN_JSON_COPY "${CMAKE_BINARY_DIR}/nlohmann-json")
file(COPY "${KELP_NLOHMANN_JSON_DIR}/nlohmann" DESTINATION "${KELP_NLOHMANN_JSON_COPY}")
target_include_directories(kelp SYSTEM PRIVATE "${KELP_NLOHMANN_JSON_COPY}")
