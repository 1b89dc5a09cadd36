#!/usr/bin/env bash
# package/manual.sh PROGRAM INCLUDE OUTPUT: writes the manual page markfit(1)
# to OUTPUT from PROGRAM's own --help texts, through help2man, so that the
# manual and --help never disagree.
#
# Every command below the program, as the "Commands:" lists of the help
# texts name them level by level, gets a part of its own under COMMANDS,
# and a usage line in the synopsis. A paragraph that a command's help
# shares with a command above it is told once, in the upper one. A
# paragraph laid out by hand (a first line at the margin, some later line
# indented: the JSON shape, say) is kept as it stands. INCLUDE is help2man's
# include file with the hand-written sections (FILES, EXIT STATUS, ...).
set -euo pipefail

if [ $# -ne 3 ]; then
  echo "usage: manual.sh PROGRAM INCLUDE OUTPUT" >&2
  exit 2
fi
program="$1" include="$2" output="$3"
command -v help2man >/dev/null || { echo "manual.sh: help2man is missing (Debian package help2man)" >&2; exit 1; }

# A sanitizer build of the program may run here; its leak report is no
# business of the manual's.
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0"
export LC_ALL=C.UTF-8

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
mkdir "$work/bin" "$work/verbatim"

"$program" --version | head -n 1 >"$work/version"
# help2man takes its texts from "EXECUTABLE --help" and "--version": its
# executable is this stand-in, which prints the text prepared in
# $MANUAL_TEXT.
stand_in="$work/bin/markfit"
cat >"$stand_in" <<STAND_IN
#!/bin/sh
case "\$1" in
  --help) cat "\$MANUAL_TEXT" ;;
  --version) cat "$work/version" ;;
  *) exit 2 ;;
esac
STAND_IN
chmod +x "$stand_in"

# The commands a help text lists: the first word of each line indented by
# two blanks in its "Commands:" part.
commands_in() {
  awk '/^Commands:/ { on = 1; next }
       on && /^[^ ]/ { on = 0 }
       on && /^  [a-z][a-z0-9-]*( |$)/ { print $1 }' "$1"
}

# prepare TEXT DROP-COMMANDS ANCESTOR-TEXT...: the paragraphs of TEXT that
# no ancestor holds, without its usage line (and without its list of
# commands when DROP-COMMANDS is 1: they follow with parts of their own);
# a paragraph laid out by hand is put aside in verbatim/ and stands as a
# placeholder word.
prepare() {
  local text="$1" drop="$2"
  shift 2
  awk -v RS= -v ORS='\n\n' -v drop="$drop" -v dir="$work/verbatim" -v text="$text" \
      -v k="$(find "$work/verbatim" -type f | wc -l)" '
    FILENAME != text { seen[$0] = 1; next }
    $0 in seen || /^Usage: / { next }
    drop && /^Commands:/ { next }
    !/^(Commands|Options):/ && /^[^ ]/ && /\n / {
      k++; file = dir "/" k; printf "%s\n", $0 > file; close(file)
      print "MARKFITVERBATIM" k; next
    }
    { print }
  ' "$@" "$text"
}

# The roff of help2man's page, with each placeholder replaced by its
# paragraph as it stands (a first line ending in ":" as its heading).
verbatim() {
  awk -v dir="$work/verbatim" '
    function roff(s) {
      gsub(/\\/, "\\e", s); gsub(/-/, "\\-", s)
      return s ~ /^[.\047]/ ? "\\&" s : s
    }
    /^MARKFITVERBATIM[0-9]+$/ {
      file = dir "/" substr($0, 16); first = 1
      while ((getline line < file) > 0) {
        if (first && line ~ /:$/) print ".B " roff(line)
        if (first) print ".nf"
        if (!first || line !~ /:$/) print roff(line)
        first = 0
      }
      close(file); print ".fi"; next
    }
    { print }'
}

roff_text() {  # a line of text for a roff request's argument
  printf '%s' "$1" | sed 's/\\/\\e/g; s/-/\\-/g; s/"/\\(dq/g'
}

usages=()
: >"$work/commands.roff"
n=0
# walk TEXT ANCESTOR-TEXT... -- WORD...: the part of "markfit WORD..." and
# those of the commands below it, depth first, in the order of the helps.
walk() {
  local text="$1"
  shift
  local ancestors=()
  while [ "$1" != "--" ]; do ancestors+=("$1"); shift; done
  shift
  local words=("$@") subcommands usage
  subcommands="$(commands_in "$text")"
  if ((${#words[@]})); then
    usage="$(sed -n 's/^Usage: //p' "$text" | head -n 1)"
    if [ -z "$subcommands" ]; then usages+=("$usage"); fi
    {
      echo "Usage: $usage"
      echo
      prepare "$text" "$([ -n "$subcommands" ] && echo 1 || echo 0)" "${ancestors[@]}"
    } >"$text.show"
    MANUAL_TEXT="$text.show" help2man --no-info --no-discard-stderr --output="$text.1" "$stand_in"
    {
      printf '.SS "%s"\n' "$(roff_text "$usage")"
      # Its description, options and notes, one level down: a heading of
      # its own becomes a bold line.
      awk '/^\.SH DESCRIPTION/ { on = 1; next }
           !on { next }
           /^\.SH OPTIONS/ { print ".PP"; print ".B Options:"; next }
           /^\.S[HS] / { print ".PP"; print ".B " substr($0, 5); next }
           { print }' "$text.1" | verbatim
    } >>"$work/commands.roff"
  fi
  local name
  for name in $subcommands; do
    n=$((n + 1))
    "$program" "${words[@]}" "$name" --help >"$work/$n.txt"
    walk "$work/$n.txt" "${ancestors[@]}" "$text" -- "${words[@]}" "$name"
  done
}
"$program" --help >"$work/0.txt"
walk "$work/0.txt" --

# The program's own help, with every command's usage in the synopsis.
{
  sed -n '1p' "$work/0.txt"
  for u in "${usages[@]}"; do printf '  or:  %s\n' "$(printf '%s' "$u" | sed 's/\\/\\e/g')"; done
  echo
  prepare "$work/0.txt" 0
} >"$work/top.txt"
# COMMANDS first: help2man orders its sections as it first meets them.
{
  printf '[COMMANDS]\n'
  cat "$work/commands.roff"
  printf '\n'
  sed -n '/^\[/,$p' "$include"
} >"$work/include.h2m"

MANUAL_TEXT="$work/top.txt" help2man --no-info --no-discard-stderr --section=1 \
  --manual="User Commands" --source="$(cat "$work/version")" --include="$work/include.h2m" \
  --output="$work/markfit.1" "$stand_in"
verbatim <"$work/markfit.1" >"$output"
