#!/usr/bin/env bash
# tests/package/manual_test.sh PROGRAM MANUAL: the manual page made at build
# time tells every command the program's help texts list (a part and a
# synopsis line each) and every option of each, and has the hand-written
# sections.
set -euo pipefail
program="$1"
fail() { echo "FAIL: $*" >&2; exit 1; }
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0"
# The page as plain text, near enough: roff's escapes and fonts undone.
text="$(sed 's/\\-/-/g; s/\\f[BIRP]//g; s/\\e/\\/g; s/\\(dq/"/g' "$2")"

for section in NAME SYNOPSIS DESCRIPTION OPTIONS COMMANDS '"EXIT STATUS"' ENVIRONMENT FILES; do
  grep -qx "\.SH $section" <<<"$text" || fail "no section $section"
done

checked=0
check() {  # check WORD...: "markfit WORD..." and the commands below it
  local help name option
  help="$("$program" "$@" --help)"
  if (($#)); then
    grep -q "^\.SS \"markfit $*[ \"]" <<<"$text" || fail "no part for 'markfit $*'"
  fi
  for option in $(grep -oE '^ {2,6}(-[a-zA-Z], )?--?[a-zA-Z][a-zA-Z0-9-]*' <<<"$help" | grep -oE -- '--?[a-zA-Z][a-zA-Z0-9-]*$'); do
    grep -qF -- "$option" <<<"$text" || fail "'markfit $*' option $option is not in the manual"
    checked=$((checked + 1))
  done
  for name in $(awk '/^Commands:/ { on = 1; next } on && /^[^ ]/ { on = 0 } on && /^  [a-z]/ { print $1 }' <<<"$help"); do
    check "$@" "$name"
  done
}
check
((checked > 10)) || fail "only $checked options found in the help texts: is their layout still read right?"
echo "manual covers every command and $checked options"
