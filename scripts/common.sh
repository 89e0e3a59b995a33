# Shared by the run and test scripts: package installation on Debian 12.
set -euo pipefail

VELOMIRE_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
export VELOMIRE_ROOT

# libxcb1-dev: Velomire tries the X display itself before Qt does.
RUN_PACKAGES=(build-essential cmake pkg-config qt6-base-dev qt6-base-dev-tools
  librtmidi-dev libasound2-dev libjack-jackd2-dev libebur128-dev libfontconfig-dev libxcb1-dev
  fonts-liberation)
# libclang-rt-dev: clang's sanitizer and libFuzzer runtimes, which Debian's clang does not
# pull in. libxcb-damage0-dev: without it the start-up benchmark is left out of the build.
# lintian, appstream, man-db, systemd: the package, its AppStream data, manual page and unit
# template are checked as Debian, software centres, man and systemd read them.
# pipewire, pipewire-jack: the end-to-end test through PipeWire's JACK layer (its libjack
# stays in its own folder; nothing else is pointed at it).
TEST_PACKAGES=(googletest libgtest-dev libbenchmark-dev jackd2 clang libclang-rt-dev
  desktop-file-utils xvfb x11-apps imagemagick valgrind dpkg-dev file libxcb-damage0-dev
  lintian appstream man-db systemd pipewire pipewire-jack clang-tidy)

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# Installs whatever of the given packages is missing; touches apt only when needed.
install_missing() {
  local missing=()
  local p
  for p in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
      missing+=("$p")
    fi
  done
  if [ "${#missing[@]}" -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    as_root apt-get update -qq
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
      "${missing[@]}"
  fi
}

jobs() { nproc 2>/dev/null || echo 2; }

# Configures the Release build the Debian package is made from (scripts/package.sh and
# scripts/screenshot.sh share it): just the program, hardened as Debian builds its own
# packages (fortified libc calls, stack protector, read-only relocations bound at start).
configure_package_build() {
  cmake -S "$VELOMIRE_ROOT" -B "$1" -DCMAKE_BUILD_TYPE=Release \
    -DVELOMIRE_TESTS=OFF -DVELOMIRE_BENCH=OFF \
    -DCMAKE_CXX_FLAGS="-D_FORTIFY_SOURCE=2 -fstack-protector-strong -Wformat -Werror=format-security" \
    -DCMAKE_EXE_LINKER_FLAGS="-Wl,-z,relro -Wl,-z,now"
}
