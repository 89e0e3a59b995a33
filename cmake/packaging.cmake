# SPDX-License-Identifier: GPL-3.0-or-later
# Installation layout and the Debian package (bash scripts/package.sh builds it). The names,
# contacts and licence come from cmake/identity.cmake.
include(GNUInstallDirs)

set_target_properties(velomire PROPERTIES OUTPUT_NAME ${VELOMIRE_PROGRAM})
# The window names its desktop entry, so a Wayland compositor matches it to the entry's
# icon and name.
target_compile_definitions(velomire PRIVATE VELOMIRE_APP_ID="${VELOMIRE_APP_ID}")

install(TARGETS velomire RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# ---- Desktop integration: desktop entry, icons and AppStream data share the id ----
configure_file(${PROJECT_SOURCE_DIR}/data/org.velomire.Velomire.desktop.in
  ${PROJECT_BINARY_DIR}/${VELOMIRE_APP_ID}.desktop @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/${VELOMIRE_APP_ID}.desktop
  DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)

install(FILES ${PROJECT_SOURCE_DIR}/data/icons/velomire-32.png
  DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/32x32/apps
  RENAME ${VELOMIRE_APP_ID}.png)
install(FILES ${PROJECT_SOURCE_DIR}/data/icons/velomire.svg
  DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps
  RENAME ${VELOMIRE_APP_ID}.svg)

# A PNG's width and height, from its header, for the AppStream screenshot entries.
function(velomire_png_size file prefix)
  file(READ ${file} header OFFSET 16 LIMIT 8 HEX)
  string(SUBSTRING "${header}" 0 8 w)
  string(SUBSTRING "${header}" 8 8 h)
  math(EXPR w "0x${w}")
  math(EXPR h "0x${h}")
  set(${prefix}_WIDTH ${w} PARENT_SCOPE)
  set(${prefix}_HEIGHT ${h} PARENT_SCOPE)
endfunction()
# The pictures are published under VELOMIRE_SCREENSHOT_URL; their sizes follow the files.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
  ${PROJECT_SOURCE_DIR}/docs/screenshot.png ${PROJECT_SOURCE_DIR}/docs/calibration.png)
velomire_png_size(${PROJECT_SOURCE_DIR}/docs/screenshot.png VELOMIRE_SCREENSHOT)
velomire_png_size(${PROJECT_SOURCE_DIR}/docs/calibration.png VELOMIRE_CALIBRATION)
set(VELOMIRE_METAINFO ${PROJECT_BINARY_DIR}/${VELOMIRE_APP_ID}.metainfo.xml)
configure_file(${PROJECT_SOURCE_DIR}/data/org.velomire.Velomire.metainfo.xml.in
  ${VELOMIRE_METAINFO} @ONLY)
install(FILES ${VELOMIRE_METAINFO} DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)

# ---- Documents: manual page, copyright, changelog, the stage unit template ----
# gzip -9n: maximal compression and no name or time stamp, as Debian wants, so the
# package's bytes do not depend on when it was built.
function(velomire_gzip source compressed)
  add_custom_command(OUTPUT ${compressed}
    COMMAND gzip -9nc ${source} > ${compressed}
    DEPENDS ${source} VERBATIM)
endfunction()

set(VELOMIRE_MAN_PAGE ${PROJECT_BINARY_DIR}/velomire.1)
configure_file(${PROJECT_SOURCE_DIR}/docs/velomire.1.in ${VELOMIRE_MAN_PAGE} @ONLY)
configure_file(${PROJECT_SOURCE_DIR}/data/changelog.in ${PROJECT_BINARY_DIR}/changelog @ONLY)
configure_file(${PROJECT_SOURCE_DIR}/data/copyright.in ${PROJECT_BINARY_DIR}/copyright @ONLY)
velomire_gzip(${VELOMIRE_MAN_PAGE} ${PROJECT_BINARY_DIR}/velomire.1.gz)
velomire_gzip(${PROJECT_BINARY_DIR}/changelog ${PROJECT_BINARY_DIR}/changelog.gz)
add_custom_target(velomire_docs ALL
  DEPENDS ${PROJECT_BINARY_DIR}/velomire.1.gz ${PROJECT_BINARY_DIR}/changelog.gz)
add_dependencies(velomire velomire_docs)

install(FILES ${PROJECT_BINARY_DIR}/velomire.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${PROJECT_BINARY_DIR}/copyright ${PROJECT_BINARY_DIR}/changelog.gz
  DESTINATION ${CMAKE_INSTALL_DOCDIR})
# An example only: a user copies it to ~/.config/systemd/user/.
install(FILES ${PROJECT_SOURCE_DIR}/data/velomire-stage@.service
  DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)

# ---- Debian package ----
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${VELOMIRE_PROGRAM})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "${VELOMIRE_COPYRIGHT_HOLDER}")
set(CPACK_PACKAGE_CONTACT "${VELOMIRE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "per-key MIDI velocity curves")
set(CPACK_PACKAGE_DESCRIPTION
  "Velomire sits between a MIDI keyboard and a sound generator and reshapes the\n"
  "keyboard's touch response key by key: every note-on's velocity goes through its\n"
  "own key's response curve, notes can be transposed and moved to channel 1, and\n"
  "complete setups are saved as named settings files. Works with ALSA and JACK\n"
  "(including PipeWire), with a window or headless on a stage box.")
string(JOIN "" CPACK_PACKAGE_DESCRIPTION ${CPACK_PACKAGE_DESCRIPTION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${VELOMIRE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "${VELOMIRE_HOMEPAGE}")
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# Control files with the modes dpkg-deb gives them (md5sums 0644), as lintian expects.
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# dpkg-shlibdeps fills Depends from the libraries the binary really links (Qt, RtMidi,
# ALSA, JACK), so the list never goes stale.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Qt loads its X11/Wayland platform plugins at run time; shlibdeps cannot see them.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins")
# The window's layout is drawn for Arial's metrics; Liberation Sans stands in for it.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-liberation")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "jackd2 | pipewire-jack, qpwgraph")

include(CPack)
