# Installation layout and the Debian package (bash scripts/package.sh builds it).
include(GNUInstallDirs)

# Binary, desktop entry and icon share one name, so launchers and icon themes find each
# other without any mapping.
set(VELOMIRE_APP_ID velomire)
set_target_properties(velomire PROPERTIES OUTPUT_NAME ${VELOMIRE_APP_ID})

install(TARGETS velomire RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

configure_file(${PROJECT_SOURCE_DIR}/data/velomire.desktop.in
  ${PROJECT_BINARY_DIR}/${VELOMIRE_APP_ID}.desktop @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/${VELOMIRE_APP_ID}.desktop
  DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)

install(FILES ${PROJECT_SOURCE_DIR}/data/icons/velomire-32.png
  DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/32x32/apps
  RENAME ${VELOMIRE_APP_ID}.png)
install(FILES ${PROJECT_SOURCE_DIR}/data/icons/velomire.svg
  DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps
  RENAME ${VELOMIRE_APP_ID}.svg)

# An example only: a user copies it to ~/.config/systemd/user/ and adapts it.
install(FILES ${PROJECT_SOURCE_DIR}/data/velomire-stage.service
  DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)

# ---- Debian package ----
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${VELOMIRE_APP_ID})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Velomire developers")
set(CPACK_PACKAGE_CONTACT "Velomire developers")
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

set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Velomire developers")
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# dpkg-shlibdeps fills Depends from the libraries the binary really links (Qt, RtMidi,
# ALSA, JACK), so the list never goes stale.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Qt loads its X11/Wayland platform plugins at run time; shlibdeps cannot see them.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins")
# The window's layout is drawn for Arial's metrics; Liberation Sans stands in for it.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-liberation")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "jackd2 | pipewire-jack, qpwgraph")

include(CPack)
