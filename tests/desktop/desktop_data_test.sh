#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The AppStream data passes appstreamcli with no warning, the desktop entry passes
# desktop-file-validate, both and the icon share one id, and the metainfo's latest release
# and the changelog's latest entry are the program's version.
# Usage: desktop_data_test.sh VELOMIRE_BINARY METAINFO DESKTOP_FILE [CHANGELOG]
set -euo pipefail
binary=$1 metainfo=$2 desktop=$3 changelog=${4:-}
fail() {
  echo "desktop data: FAIL: $*" >&2
  exit 1
}

# Warnings count: appstreamcli's exit status covers them, its W: lines say so as well.
report="$(appstreamcli validate --no-net "$metainfo" 2>&1)" || fail "appstreamcli: $report"
! grep -qE '^[EW]:' <<<"$report" || fail "appstreamcli: $report"
grep -v "^$" <<<"$report"
report="$(desktop-file-validate "$desktop" 2>&1)" && [ -z "$report" ] ||
  fail "desktop-file-validate: $report"

id="$(sed -n 's:.*<id>\(.*\)</id>.*:\1:p' "$metainfo")"
[ -n "$id" ] || fail "no <id> in $metainfo"
[ "$(basename "$metainfo")" = "$id.metainfo.xml" ] || fail "$metainfo is not named after $id"
[ "$(basename "$desktop")" = "$id.desktop" ] || fail "$desktop is not named after $id"
grep -qx "Icon=$id" "$desktop" || fail "the desktop entry's icon is not $id"
grep -q "<launchable type=\"desktop-id\">$id.desktop</launchable>" "$metainfo" ||
  fail "the metainfo does not launch $id.desktop"
program="$(sed -n 's:.*<binary>\(.*\)</binary>.*:\1:p' "$metainfo")"
grep -qx "Exec=$program --use-data-folder" "$desktop" || fail "Exec does not run $program"

version="$("$binary" --version | sed 's/^velomire //')"
release="$(grep -m1 -o '<release version="[^"]*"' "$metainfo" | cut -d'"' -f2)"
[ "$release" = "$version" ] || fail "latest AppStream release $release, program $version"
if [ -n "$changelog" ]; then
  entry="$(zcat -f "$changelog" | sed -n '1s/^velomire (\([^)]*\)).*/\1/p')"
  [ "$entry" = "$version" ] || fail "latest changelog entry $entry, program $version"
fi
echo "desktop data: id $id, version $version in the metainfo${changelog:+ and the changelog}"
