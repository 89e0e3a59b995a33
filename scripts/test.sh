#!/usr/bin/env bash
# Installs what is missing, builds everything with warnings as errors and runs every
# test: unit, GUI (offscreen) and end-to-end through a private JACK server.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

install_missing "${RUN_PACKAGES[@]}" "${TEST_PACKAGES[@]}"

build="$VELOMIRE_ROOT/build-test"
cmake -S "$VELOMIRE_ROOT" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELOMIRE_WERROR=ON
cmake --build "$build" -j"$(jobs)"
export QT_QPA_PLATFORM=offscreen
ctest --test-dir "$build" --output-on-failure --timeout 300 -j"$(jobs)"

# The Debian package builds, installs and removes cleanly.
if [ -f "$VELOMIRE_ROOT/scripts/package-test.sh" ]; then
  bash "$VELOMIRE_ROOT/scripts/package-test.sh" "$build"
fi
