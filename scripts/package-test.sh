#!/usr/bin/env bash
# Builds the Debian package, installs it, checks what it put where, and removes it again.
# Usage: scripts/package-test.sh [BUILD_DIR]   (BUILD_DIR is unused: the package is
# always built Release in build-package, so test builds never end up in a package).
# Leaves an existing velomire install alone: then it only builds the package.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

install_missing desktop-file-utils lintian appstream man-db systemd

fail() {
  echo "package-test: FAIL: $*" >&2
  exit 1
}

# One run at a time: several people share this machine, and dpkg has one lock.
exec 9>"${TMPDIR:-/tmp}/velomire-package-test.lock"
flock 9

installed() { dpkg-query -W -f='${Status}' velomire 2>/dev/null | grep -q 'ok installed'; }

deb="$(bash "$VELOMIRE_ROOT/scripts/package.sh" | tail -n 1)"
[ -f "$deb" ] || fail "no package built"
version="$(dpkg-deb -f "$deb" Version)"
echo "package-test: testing $deb (version $version)"

[ "$(dpkg-deb -f "$deb" Package)" = velomire ] || fail "package name"
[ "$(dpkg-deb -f "$deb" Section)" = sound ] || fail "section"
dpkg-deb -f "$deb" Depends | grep -q 'libqt6widgets6' || fail "Depends lacks the Qt libraries"

# ---- Debian's checker: no error and no warning (informational tags may stay) ----
lintian_log="$(lintian --display-info --pedantic --fail-on error,warning "$deb" 2>&1)" ||
  fail "lintian rejects the package:"$'\n'"$lintian_log"
grep -v 'running with root privileges' <<<"$lintian_log" | sed 's/^/package-test: lintian: /' || true
! grep -qE '^[EW]: ' <<<"$lintian_log" || fail "lintian reports errors or warnings"

before="$(dpkg-query -W -f='${Status}' velomire 2>/dev/null || true)"
if [ -n "$before" ] && [[ "$before" != *not-installed* ]]; then
  echo "package-test: a velomire package is already installed on this machine;"
  echo "package-test: skipping install/remove so it stays as it is."
  exit 0
fi
if [ -e /usr/bin/velomire ]; then
  echo "package-test: /usr/bin/velomire exists but belongs to no package; skipping"
  echo "package-test: install/remove so it is not overwritten."
  exit 0
fi

work="$(mktemp -d)"
we_installed=0
cleanup() {
  if [ "$we_installed" = 1 ] && installed; then
    echo "package-test: removing the package after a failure"
    as_root dpkg -r velomire >/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

# ---- Install ----
we_installed=1
if ! as_root dpkg -i "$deb"; then
  echo "package-test: installing missing dependencies"
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -f -y -qq --no-install-recommends
fi
installed || fail "velomire is not installed after dpkg -i"

# The file list as dpkg recorded it, for the removal check later.
dpkg-query -L velomire | while read -r f; do [ -f "$f" ] && echo "$f"; done >"$work/files"
[ -s "$work/files" ] || fail "the package installed no files"

# ---- Binary ----
[ -x /usr/bin/velomire ] || fail "/usr/bin/velomire missing"
got="$(/usr/bin/velomire --version)"
[ "$got" = "velomire $version" ] || fail "--version says '$got', expected 'velomire $version'"

# ---- Desktop entry, icons and AppStream data, under one id ----
id=org.velomire.Velomire
desktop=/usr/share/applications/$id.desktop
metainfo=/usr/share/metainfo/$id.metainfo.xml
[ -f "$desktop" ] || fail "$desktop missing"
[ -f "$metainfo" ] || fail "$metainfo missing"
entry() { sed -n "s/^$1=//p" "$desktop"; }
exec_line="$(entry Exec)"
[ "$(entry Categories)" = "AudioVideo;Audio;Midi;" ] || fail "Categories"
command -v "${exec_line%% *}" >/dev/null || fail "Exec's program is not on PATH"
changelog=/usr/share/doc/velomire/changelog.gz
[ -f "$changelog" ] || changelog="" # a system that keeps no documents
bash "$VELOMIRE_ROOT/tests/desktop/desktop_data_test.sh" /usr/bin/velomire "$metainfo" \
  "$desktop" $changelog | sed 's/^/package-test: /' || fail "desktop data"
png=/usr/share/icons/hicolor/32x32/apps/$id.png
svg=/usr/share/icons/hicolor/scalable/apps/$id.svg
file -b "$png" | grep -q 'PNG image data, 32 x 32' || fail "$png is not a 32x32 PNG"
file -b "$svg" | grep -qi 'SVG' || fail "$svg is not an SVG"

# ---- Documents (unless this system keeps none, as slim images do) ----
if ! grep -rqs 'path-exclude.*/usr/share/doc' /etc/dpkg/dpkg.cfg.d/; then
  [ -f /usr/share/doc/velomire/changelog.gz ] || fail "no changelog"
  [ -f /usr/share/doc/velomire/copyright ] || fail "no copyright file"
  # The stage unit template, as systemd reads an instance of it.
  unit=/usr/share/doc/velomire/examples/velomire-stage@.service
  [ -f "$unit" ] || fail "$unit missing"
  instance="$work/units/velomire-stage@Grand\x20Piano.service"
  mkdir -p "$work/units"
  cp "$unit" "$instance"
  systemd-analyze verify "$instance" || fail "systemd-analyze rejects $unit"
fi
if ! grep -rqs 'path-exclude.*/usr/share/man' /etc/dpkg/dpkg.cfg.d/; then
  page="$(man -w velomire)" || fail "man finds no page for velomire"
  bash "$VELOMIRE_ROOT/tests/desktop/man_page_test.sh" /usr/bin/velomire "$page" |
    sed 's/^/package-test: /' || fail "manual page"
fi

# ---- The desktop entry's command really starts in the per-user data folder ----
# (offscreen, no MIDI system: it just runs until timeout stops it)
read -ra entry_command <<<"$exec_line"
home="$work/home"
mkdir -p "$home"
status=0
(cd / && env -i HOME="$home" PATH=/usr/bin:/bin QT_QPA_PLATFORM=offscreen \
  timeout 3 "${entry_command[@]}" >"$work/run.log" 2>&1) || status=$?
[ "$status" = 124 ] || { cat "$work/run.log" >&2; fail "the entry's command exited with $status"; }
[ -d "$home/.local/share/velomire" ] || fail "--use-data-folder did not create the folder"

# ---- Remove ----
as_root dpkg -r velomire
we_installed=0
! installed || fail "velomire still installed after dpkg -r"
while read -r f; do
  [ ! -e "$f" ] || fail "$f left behind after dpkg -r"
done <"$work/files"

echo "package-test: OK ($(wc -l <"$work/files") files installed and removed)"
