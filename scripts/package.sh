#!/usr/bin/env bash
# Builds the Debian package (Release, just the app) in build-package and prints its path.
# Install it with: sudo apt install ./build-package/velomire_*.deb
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

# dpkg-dev and file let CPack work out the package's library dependencies.
install_missing "${RUN_PACKAGES[@]}" dpkg-dev file

build="$VELOMIRE_ROOT/build-package"
configure_package_build "$build"
cmake --build "$build" -j"$(jobs)" --target velomire
# A stale package of an earlier version must not be mistaken for this one.
rm -f "$build"/velomire_*.deb
(cd "$build" && cpack -G DEB)

deb=("$build"/velomire_*.deb)
if [ ! -f "${deb[0]}" ]; then
  echo "package.sh: cpack produced no .deb" >&2
  exit 1
fi
echo "${deb[0]}"
