#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The manual page documents every option `velomire --help` lists, and groff renders it
# without a warning (the check lintian makes).
# Usage: man_page_test.sh VELOMIRE_BINARY PAGE   (PAGE may be gzipped)
set -euo pipefail
binary=$1 page=$2

# Options as --help writes them: one or two dashes after a space, a comma, a bracket or
# a parenthesis.
mapfile -t options < <("$binary" --help | grep -oE '(^|[ ,[(])--?[a-z][a-z-]*' |
  sed 's/^[ ,[(]//' | sort -u)
# --midi-api, --headless, --use-data-folder, -h, --help, -v, --version and Qt's at least.
[ "${#options[@]}" -ge 8 ] || { echo "only ${#options[@]} options found in --help" >&2; exit 1; }

source="$(zcat -f "$page" | sed 's/\\-/-/g')"
missing=()
for option in "${options[@]}"; do
  grep -qE -- "(^|[^a-z-])${option}([^a-z-]|$)" <<<"$source" || missing+=("$option")
done
[ "${#missing[@]}" -eq 0 ] || { echo "not in $page: ${missing[*]}" >&2; exit 1; }

warnings="$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$page" 2>&1 >/dev/null)"
[ -z "$warnings" ] || { echo "groff warns about $page:" >&2; echo "$warnings" >&2; exit 1; }
echo "man page: ${#options[@]} options of --help documented (${options[*]}); no groff warning"
