#!/usr/bin/env bash
# tests/package/desktop_test.sh SOURCE_DIR VERSION: the menu entry and the
# software centres' description pass their validators, name each other and
# the installed icon, and the description's newest release is VERSION.
set -euo pipefail
resources="$1/app/resources"
entry="$resources/org.example.markfit.desktop"
metainfo="$resources/org.example.markfit.metainfo.xml"
fail() { echo "FAIL: $*" >&2; exit 1; }

desktop-file-validate "$entry" || fail "desktop-file-validate"
# --no-net: the checks of the web addresses need a network we may not have.
appstreamcli validate --no-net "$metainfo" || fail "appstreamcli validate"

grep -q "<launchable type=\"desktop-id\">$(basename "$entry")</launchable>" "$metainfo" ||
  fail "the metainfo's launchable is not $(basename "$entry")"
icon="$(sed -n 's/^Icon=//p' "$entry")"
[ -f "$1/ui/resources/icons/$icon.svg" ] || fail "Icon=$icon is not an icon we install"
newest="$(grep -o '<release version="[^"]*"' "$metainfo" | head -n 1 | cut -d'"' -f2)"
[ "$newest" = "$2" ] || fail "the metainfo's newest release is $newest, the program is $2"
echo "desktop entry and metainfo valid"
