# SPDX-License-Identifier: GPL-3.0-or-later
# Who Velomire is: the one place for its names, licence and contacts. Cache variables, so
# a packager may override them (cmake -DVELOMIRE_MAINTAINER=...), and everything that
# shows them (the Debian package, its copyright file and changelog, the desktop entry, the
# AppStream data, the window's desktop-file name) takes them from here.

# The program, the package and the data folder (~/.local/share/velomire): what a user types.
set(VELOMIRE_PROGRAM velomire)

# Reverse-DNS id of the desktop file, the icon and the AppStream component: what software
# centres and desktops match on.
set(VELOMIRE_APP_ID "org.velomire.Velomire" CACHE STRING
  "Desktop-file, icon and AppStream id (reverse DNS)")
set(VELOMIRE_HOMEPAGE "https://velomire.org" CACHE STRING "Project home page")
set(VELOMIRE_MAINTAINER "Velomire developers <developers@velomire.org>" CACHE STRING
  "Package maintainer: name <address>")
set(VELOMIRE_COPYRIGHT_HOLDER "The Velomire developers" CACHE STRING "Copyright holder")
set(VELOMIRE_COPYRIGHT_YEARS "2026" CACHE STRING "Years of the copyright notice")
# SPDX expression. The Debian copyright file (data/copyright.in) holds the licence's terms
# under Debian's short name for it, GPL-3+.
set(VELOMIRE_LICENSE "GPL-3.0-or-later" CACHE STRING "Licence of Velomire's files (SPDX)")
# Screenshots shown by software centres: absolute addresses are required there.
set(VELOMIRE_SCREENSHOT_URL "${VELOMIRE_HOMEPAGE}/screenshots" CACHE STRING
  "Where docs/screenshot.png and docs/calibration.png are published")
