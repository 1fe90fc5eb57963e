# The HTTP server of src/web: Boost.Asio and Boost.Beast (header-only: nothing to link but the
# system's socket libraries) and the page files, embedded at build time.
#
# Only the files of src/web see the Boost headers. A cross build (mingw-w64, Zig for macOS) must
# not put the build machine's /usr/include on its include path, where the Linux C library's
# headers would shadow its own: it gets a folder of its own that holds nothing but a link to
# the boost folder.
file(GLOB KELP_WEB_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/src/web/*.cpp)

set(KELP_BOOST_INCLUDE_DIR "/usr/include" CACHE PATH
    "Folder that holds boost/ (Debian's libboost-dev: /usr/include)")
if(NOT EXISTS "${KELP_BOOST_INCLUDE_DIR}/boost/beast/version.hpp")
  message(FATAL_ERROR "Boost.Beast not found in ${KELP_BOOST_INCLUDE_DIR}: install libboost-dev "
                      "(tools/install-deps) or set KELP_BOOST_INCLUDE_DIR")
endif()

if(CMAKE_CROSSCOMPILING)
  set(boost_only "${CMAKE_BINARY_DIR}/boost-include")
  file(MAKE_DIRECTORY "${boost_only}")
  file(CREATE_LINK "${KELP_BOOST_INCLUDE_DIR}/boost" "${boost_only}/boost" SYMBOLIC)
  set(web_include_options "-isystem${boost_only}")
elseif(NOT KELP_BOOST_INCLUDE_DIR STREQUAL "/usr/include")
  set(web_include_options "-isystem${KELP_BOOST_INCLUDE_DIR}")
else()
  set(web_include_options "")  # a system folder already: naming it again would reorder it
endif()

# ThreadSanitizer does not model Asio's memory fences, and GCC says so for every one; the
# server's threads meet only through mutexes and Asio's queue, which it does model.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_FLAGS MATCHES "-fsanitize=thread")
  list(APPEND web_include_options "-Wno-tsan")
endif()

set_source_files_properties(${KELP_WEB_SOURCES} PROPERTIES
  COMPILE_OPTIONS "${web_include_options}"
  # The Zig build's libc++ has no std::result_of; every compiler here has std::invoke_result.
  COMPILE_DEFINITIONS "BOOST_ASIO_NO_DEPRECATED;BOOST_ASIO_HAS_STD_INVOKE_RESULT;BOOST_ASIO_NO_TS_EXECUTORS;BOOST_BEAST_USE_STD_STRING_VIEW")
if(WIN32)
  target_link_libraries(kelp PUBLIC mswsock iphlpapi)  # ws2_32 is linked already
endif()

# The pages: src/web/pages/* as one generated source, made again whenever a page changes.
file(GLOB KELP_PAGE_FILES LIST_DIRECTORIES false CONFIGURE_DEPENDS
     ${PROJECT_SOURCE_DIR}/src/web/pages/*)
set(KELP_PAGES_SOURCE "${CMAKE_BINARY_DIR}/generated/embedded_pages.cpp")
add_custom_command(
  OUTPUT "${KELP_PAGES_SOURCE}"
  COMMAND "${CMAKE_COMMAND}" "-DPAGES_DIR=${PROJECT_SOURCE_DIR}/src/web/pages"
          "-DOUTPUT=${KELP_PAGES_SOURCE}" -P "${PROJECT_SOURCE_DIR}/cmake/embed_pages.cmake"
  DEPENDS ${KELP_PAGE_FILES} "${PROJECT_SOURCE_DIR}/cmake/embed_pages.cmake"
  COMMENT "Embedding the web pages"
  VERBATIM)
target_sources(kelp PRIVATE "${KELP_PAGES_SOURCE}")
