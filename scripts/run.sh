#!/usr/bin/env bash
# Installs what is missing, builds Velomire (Release) and starts it.
# Arguments are passed to velomire, e.g. scripts/run.sh --midi-api jack
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

install_missing "${RUN_PACKAGES[@]}"
cmake -S "$VELOMIRE_ROOT" -B "$VELOMIRE_ROOT/build-release" -DCMAKE_BUILD_TYPE=Release \
  -DVELOMIRE_TESTS=OFF -DVELOMIRE_BENCH=OFF
cmake --build "$VELOMIRE_ROOT/build-release" -j"$(jobs)" --target velomire
exec "$VELOMIRE_ROOT/build-release/velomire" "$@"
