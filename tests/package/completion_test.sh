#!/usr/bin/env bash
# tests/package/completion_test.sh PROGRAM COMPLETION: what the bash
# completion offers, with the program itself answering its questions, and
# a stand-in for "markfit table list" where the program lacks that command.
set -euo pipefail
program="$(cd "$(dirname "$1")" && pwd)/$(basename "$1")"
completion="$(realpath "$2")"
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
failures=0

# The program as "markfit" on the PATH, and a stand-in that knows a table
# command: its table list answers with names that need quoting, and one
# list for -C elsewhere.
mkdir -p "$work/real" "$work/stand-in" "$work/home/sub" "$work/home/other"
ln -s "$program" "$work/real/markfit"
cat >"$work/stand-in/markfit" <<STAND_IN
#!/usr/bin/env bash
if [ "\$*" = "--help" ]; then
  "$program" --help | sed 's/^Commands:\$/&\n  table        move translation tables/'
elif [ "\$*" = "table list" ]; then
  printf '        ID  NAME                  CHARACTERS\n'
  printf '         1  Standard              96\n         2  My table              12\n'
  printf '        10  Caf\xc3\xa9 \xc3\xa0 la carte    3\n'
elif [ "\$*" = "table list -C other" ]; then
  printf '        ID  NAME                  CHARACTERS\n         1  Elsewhere             5\n'
else
  exec "$program" "\$@"
fi
STAND_IN
chmod +x "$work/stand-in/markfit"
touch "$work/home/page.htm" "$work/home/pages.txt"

# expect BIN LINE WORD...: completing LINE (the cursor at its end) with
# BIN's markfit offers exactly WORD... (in any order), and prints nothing.
expect() {
  local bin="$1" line="$2"
  shift 2
  local got
  got="$(cd "$work/home" && PATH="$work/$bin:$PATH" LC_ALL=C.UTF-8 bash -c '
    source "$1"
    # bash breaks words at "=" too: "--mode=i" is --mode, "=", i.
    read -r -a COMP_WORDS <<<"${2//=/ = }"
    [[ $2 == *" " ]] && COMP_WORDS+=("")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    _markfit markfit "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}" >out 2>&1
    [ -s out ] && { echo "printed: $(cat out)"; exit; }
    rm -f out
    printf "%s\n" "${COMPREPLY[@]}" | sort' _ "$completion" "$line")"
  local want
  want="$(printf '%s\n' "$@" | sed '/^$/d' | sort)"
  if [ "$got" != "$want" ]; then
    echo "FAIL: '$line' offers [$(echo $got)], expected [$(echo $want)]" >&2
    failures=$((failures + 1))
  fi
}

commands="$("$program" --help | awk '/^Commands:/ { on = 1; next } on && /^[^ ]/ { on = 0 } on && /^  [a-z]/ { print $1 }')"
# shellcheck disable=SC2086
expect real "markfit " $commands
expect real "markfit --v" --version
expect real "markfit conv" convert
expect real "markfit convert --out" --output
expect real "markfit convert -m " none international all
expect real "markfit convert --mode=i" international   # "=" is a word of its own to bash
expect real "markfit convert --eol " crlf lf
expect real "markfit convert --max-line " ""
expect real "markfit convert -o page" page.htm pages.txt
expect real "markfit convert -C " sub other
expect real "markfit convert -i 3 -b x page.htm pa" page.htm pages.txt
expect real "markfit convert -- --o" ""
expect real "markfit ksf " check dump load
expect real "markfit ksf dump --j" --json
# Table names: none, quietly, from a program without the table command.
if ! grep -qx table <<<"$commands"; then expect real "markfit convert -t " ""; fi
expect stand-in "markfit convert -t " Standard 'My\ table' 'Café\ à\ la\ carte'
expect stand-in "markfit convert --table My" 'My\ table'
expect stand-in "markfit convert -C other --table " Elsewhere

((failures == 0)) || exit 1
echo "completion offers what was expected"
