# What `cmake --install` puts where, the Windows version resource, and the packages that CPack
# builds from the installed tree:
#   Linux    kelp-capture_<version>_amd64.deb and kelp-capture-<version>-linux-x86_64.tar.gz
#   Windows  kelp-capture-<version>-windows-x86_64.zip (the static .exe and the guide)
# The `package` and `package-windows` workflow presets (or tools/package, which runs both) build
# them into build/packages/.

include(GNUInstallDirs)

set(KELP_MAN_PAGE "${PROJECT_SOURCE_DIR}/doc/kelp-capture.1")
set(KELP_README "${PROJECT_SOURCE_DIR}/README.md")
set(KELP_DISSECTOR "${PROJECT_SOURCE_DIR}/wireshark/cts_scoreboard.lua")

# The manual page names the version in its title line; keep the two together.
file(STRINGS "${KELP_MAN_PAGE}" KELP_MAN_TITLE REGEX "^\\.TH ")
if(NOT KELP_MAN_TITLE MATCHES "\"kelp-capture ${PROJECT_VERSION}\"")
  message(WARNING "doc/kelp-capture.1 does not name version ${PROJECT_VERSION} in its .TH line")
endif()

# --- Version resource (Windows) ----------------------------------------------------------------
# Explorer shows it under Properties > Details. It is compiled on its own so that none of the C++
# options and definitions of the program reach windres.
if(WIN32)
  enable_language(RC)
  set(KELP_RC_VERSION_COMMAS
      "${PROJECT_VERSION_MAJOR},${PROJECT_VERSION_MINOR},${PROJECT_VERSION_PATCH},0")
  if(PROJECT_VERSION_TWEAK)
    string(REGEX REPLACE ",0$" ",${PROJECT_VERSION_TWEAK}" KELP_RC_VERSION_COMMAS
                         "${KELP_RC_VERSION_COMMAS}")
  endif()
  configure_file("${PROJECT_SOURCE_DIR}/src/bin/kelp_capture/version.rc.in"
                 "${PROJECT_BINARY_DIR}/kelp_capture_version.rc" @ONLY)
  add_library(kelp_version_resource OBJECT "${PROJECT_BINARY_DIR}/kelp_capture_version.rc")
  target_sources(kelp-capture PRIVATE $<TARGET_OBJECTS:kelp_version_resource>)
endif()

# --- Installed layout --------------------------------------------------------------------------
# Linux and macOS: the usual prefix layout (bin/, share/man/man1/, share/doc/kelp-capture/, and
# the Wireshark dissector, a data file, in share/kelp-capture/).
# Windows: one folder holding the program, its guide and the dissector side by side, as a user
# unpacks a zip.
if(WIN32)
  set(KELP_INSTALL_BINDIR ".")
  set(KELP_INSTALL_MANDIR ".")
  set(KELP_INSTALL_DOCDIR ".")
  set(KELP_INSTALL_DATADIR ".")
else()
  set(KELP_INSTALL_BINDIR "${CMAKE_INSTALL_BINDIR}")
  set(KELP_INSTALL_MANDIR "${CMAKE_INSTALL_MANDIR}/man1")
  set(KELP_INSTALL_DOCDIR "${CMAKE_INSTALL_DOCDIR}")
  set(KELP_INSTALL_DATADIR "${CMAKE_INSTALL_DATADIR}/kelp-capture")
endif()

install(TARGETS kelp-capture RUNTIME DESTINATION "${KELP_INSTALL_BINDIR}")
install(FILES "${KELP_MAN_PAGE}" DESTINATION "${KELP_INSTALL_MANDIR}")
install(FILES "${KELP_README}" DESTINATION "${KELP_INSTALL_DOCDIR}")
install(FILES "${KELP_DISSECTOR}" DESTINATION "${KELP_INSTALL_DATADIR}")

# Windows has no man: the zip also carries the manual page rendered as plain UTF-8 text.
if(WIN32)
  find_program(KELP_GROFF groff)
  if(KELP_GROFF)
    set(KELP_MAN_TEXT "${PROJECT_BINARY_DIR}/kelp-capture.txt")
    add_custom_command(
      OUTPUT "${KELP_MAN_TEXT}"
      COMMAND "${CMAKE_COMMAND}" "-DGROFF=${KELP_GROFF}" "-DINPUT=${KELP_MAN_PAGE}"
              "-DOUTPUT=${KELP_MAN_TEXT}" -P "${PROJECT_SOURCE_DIR}/cmake/render_man.cmake"
      DEPENDS "${KELP_MAN_PAGE}" "${PROJECT_SOURCE_DIR}/cmake/render_man.cmake"
      COMMENT "Rendering the manual page as text"
      VERBATIM)
    add_custom_target(kelp_man_text ALL DEPENDS "${KELP_MAN_TEXT}")
    install(FILES "${KELP_MAN_TEXT}" DESTINATION "${KELP_INSTALL_DOCDIR}")
  else()
    message(WARNING "groff not found: the Windows package will hold the manual page only as roff "
                    "(install groff-base)")
  endif()
endif()

# --- Packages ----------------------------------------------------------------------------------
set(KELP_PACKAGE_MAINTAINER "kelp-capture maintainers"
    CACHE STRING "Maintainer named in the Debian package")

set(CPACK_PACKAGE_NAME "kelp-capture")
set(CPACK_PACKAGE_VENDOR "kelp-capture")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_CONTACT "${KELP_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_CHECKSUM SHA256)
set(CPACK_STRIP_FILES ON)
set(CPACK_SOURCE_GENERATOR "")

if(WIN32)
  set(CPACK_GENERATOR "ZIP")
  set(CPACK_PACKAGE_FILE_NAME "kelp-capture-${PROJECT_VERSION}-windows-x86_64")
elseif(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  set(CPACK_GENERATOR "DEB;TGZ")
  string(TOLOWER "${CMAKE_SYSTEM_PROCESSOR}" KELP_PACKAGE_ARCH)
  set(CPACK_PACKAGE_FILE_NAME "kelp-capture-${PROJECT_VERSION}-linux-${KELP_PACKAGE_ARCH}")
else()
  set(CPACK_GENERATOR "TGZ")
  string(TOLOWER "${CMAKE_SYSTEM_NAME}-${CMAKE_SYSTEM_PROCESSOR}" KELP_PACKAGE_SYSTEM)
  set(CPACK_PACKAGE_FILE_NAME "kelp-capture-${PROJECT_VERSION}-${KELP_PACKAGE_SYSTEM}")
endif()

# Debian: kelp-capture_<version>_<arch>.deb installing under /usr.
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION "utils")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "kelp-capture shows, byte for byte, what Meet Manager sends to a scoreboard over UDP and
exchanges with a timing console over a serial line, probes and scans a serial device for
its settings, proxies a serial link and lists the serial ports. Every capture is saved
under ./captures/ in the folder it runs in.")
# The library versions the program needs come from the binary itself.
find_program(KELP_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(KELP_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()

include(CPack)
