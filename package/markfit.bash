# bash completion for markfit.
#
# Everything it offers comes from the installed program itself at the moment
# of completion, so a new command or option is offered as soon as the
# program has it: the commands from the "Commands:" lists of the --help
# texts, the options and what their values are from the "Options:" lists,
# the place of each word from the usage line, translation table names from
# "markfit table list" (when the program has that command), file names
# where a file goes. Nothing here prints: a failing program just offers
# nothing.

# _markfit_describe PROGRAM WORD...: what the help of "markfit WORD..." says,
# one fact a line:
#   c NAME                    a command below this one
#   o NAME VALUE [CHOICE...]  an option; VALUE is "-" for a flag; the
#                             choices are the words its help names as values
#   u PLACEHOLDER...          the words the usage line asks for
_markfit_describe() {
  local program="$1"
  shift
  "$program" "$@" --help 2>/dev/null | awk '
    function unique(words,   n, w, i, seen, out) {
      n = split(words, w, / /); out = ""
      for (i = 1; i <= n; i++) if (w[i] != "" && !(w[i] in seen)) { seen[w[i]] = 1; out = out " " w[i] }
      return out
    }
    function flush(   n, parts, i, name, value, choices, text, w) {
      if (option == "") return
      choices = ""
      text = description
      # Words given as values: "none (default): ...", "; all: ...",
      # "crlf (default) or lf", "json or csv".
      while (match(text, /(^|[;,] )[a-z][a-z0-9]*( \(default\))?:/)) {
        w = substr(text, RSTART, RLENGTH); sub(/^[;,] /, "", w); sub(/[ :(].*/, "", w)
        choices = choices " " w; text = substr(text, RSTART + RLENGTH)
      }
      text = description
      while (match(text, /[a-z][a-z0-9]*( \(default\))? or [a-z][a-z0-9]*/)) {
        w = substr(text, RSTART, RLENGTH)
        choices = choices " " substr(w, 1, index(w, " ") - 1)
        sub(/.* or /, "", w); choices = choices " " w
        text = substr(text, RSTART + RLENGTH)
      }
      # "-o, --output FILE": the value belongs to every name.
      n = split(option, parts, /, /)
      value = parts[n]; if (!sub(/^[^ =]+[ =]/, "", value)) value = "-"
      if (value == "-") choices = ""
      for (i = 1; i <= n; i++) {
        name = parts[i]; sub(/[ =].*/, "", name)
        print "o", name, value unique(choices)
      }
      option = ""
    }
    /^[A-Z][A-Za-z ]*:$/ { flush(); section = $0; next }
    /^Usage: / {
      line = $0; sub(/^Usage: +[^ ]+/, "", line)
      n = split(line, words, / +/); out = "u"
      for (i = 1; i <= n; i++) if (words[i] ~ /[A-Z]/ && words[i] != "[OPTIONS]") out = out " " words[i]
      print out; next
    }
    section == "Commands:" && /^  [a-z][a-z0-9-]*( |$)/ { print "c", $1; next }
    section == "Options:" && /^  ( |  |   |    )?-/ {
      flush()
      line = $0; sub(/^ +/, "", line)
      option = line; sub(/  .*/, "", option)
      description = line; if (!sub(/^[^ ]+( [^ ]+)*  +/, "", description)) description = ""
      next
    }
    section == "Options:" && /^        / && option != "" { line = $0; sub(/^ +/, "", line); description = description " " line; next }
    { flush() }
    END { flush() }'
}

# _markfit_tables PROGRAM DIR: the names of the translation tables.
_markfit_tables() {
  local line args=(table list)
  [ -n "$2" ] && args+=(-C "$2")
  "$1" "${args[@]}" 2>/dev/null | while IFS= read -r line; do
    [[ $line =~ ^\ *[0-9]+\ \ (.*[^ ])\ +[0-9]+\ *$ ]] && printf '%s\n' "${BASH_REMATCH[1]}"
  done
}

# _markfit_values PLACEHOLDER CHOICES: COMPREPLY for a value of that kind.
_markfit_values() {
  local kind="${1#[}" name
  kind="${kind%%[]\[.]*}"
  case "$kind" in
    *DIR*)
      compopt -o filenames 2>/dev/null
      mapfile -t COMPREPLY < <(compgen -d -- "$cur") ;;
    NAME | TABLE)
      local wanted="${cur//\\ / }"
      local commands
      commands="$(_markfit_describe "$program" | awk '$1 == "c" { print $2 }')"
      if grep -qx table <<<"$commands"; then
        while IFS= read -r name; do
          [[ $name == "$wanted"* ]] && COMPREPLY+=("$(printf '%q' "$name")")
        done < <(_markfit_tables "$program" "$directory")
      fi ;;
    *FILE* | INPUT* | OUTPUT*)
      compopt -o filenames 2>/dev/null
      mapfile -t COMPREPLY < <(compgen -f -- "$cur") ;;
    COMMAND)
      mapfile -t COMPREPLY < <(compgen -W "$commands" -- "$cur") ;;
    N | TEXT | PASSWORD | ARGS | "") ;;
    *)
      [ -n "$2" ] && mapfile -t COMPREPLY < <(compgen -W "$2" -- "$cur") ;;
  esac
}

_markfit() {
  local program="${1:-markfit}" cur="${COMP_WORDS[COMP_CWORD]}" prev=""
  ((COMP_CWORD > 0)) && prev="${COMP_WORDS[COMP_CWORD - 1]}"
  COMPREPLY=()
  type -P "$program" >/dev/null 2>&1 || [ -x "$program" ] || return 0

  # Which command the words so far select, its facts, the positional words
  # given, and the folder a -C names (for the table names).
  local path=() facts commands positional=0 directory="" i word after_dashes=0
  facts="$(_markfit_describe "$program")"
  commands="$(awk '$1 == "c" { print $2 }' <<<"$facts")"
  for ((i = 1; i < COMP_CWORD; i++)); do
    word="${COMP_WORDS[i]}"
    if ((!after_dashes)) && [ "$word" = "--" ]; then
      after_dashes=1
    elif ((!after_dashes)) && [[ $word == -?* ]]; then
      local spec
      spec="$(awk -v n="${word%%=*}" '$1 == "o" && $2 == n { print $3; exit }' <<<"$facts")"
      if [ -n "$spec" ] && [ "$spec" != "-" ] && [[ $word != *=* ]] && ((i + 1 < COMP_CWORD)); then
        i=$((i + 1))
        # "--opt=value" reaches us as three words: --opt, "=", value.
        if [ "${COMP_WORDS[i]}" = "=" ] && ((i + 1 < COMP_CWORD)); then i=$((i + 1)); fi
        case "$word" in -C | --directory) directory="${COMP_WORDS[i]}" ;; esac
      fi
    elif ((positional == 0)) && grep -qxF -- "$word" <<<"$commands"; then
      path+=("$word")
      facts="$(_markfit_describe "$program" "${path[@]}")"
      commands="$(awk '$1 == "c" { print $2 }' <<<"$facts")"
    else
      positional=$((positional + 1))
    fi
  done

  # The value of an option: "--opt VALUE", "--opt=VALUE" (the words --opt,
  # "=", VALUE) or "--opt=" with nothing yet.
  local option=""
  if [ "$cur" = "=" ]; then
    option="$prev" cur=""
  elif [ "$prev" = "=" ] && ((COMP_CWORD > 1)); then
    option="${COMP_WORDS[COMP_CWORD - 2]}"
  elif [[ $prev == -?* ]] && ((!after_dashes)); then
    option="$prev"
  fi
  if [ -n "$option" ]; then
    local spec
    spec="$(awk -v n="$option" '$1 == "o" && $2 == n { $1 = ""; $2 = ""; print; exit }' <<<"$facts")"
    read -r value choices <<<"$spec"
    if [ -n "$value" ] && [ "$value" != "-" ]; then
      _markfit_values "$value" "$choices"
      return 0
    fi
  fi

  if [[ $cur == -* ]] && ((!after_dashes)); then
    mapfile -t COMPREPLY < <(compgen -W "$(awk '$1 == "o" { print $2 }' <<<"$facts")" -- "$cur")
    return 0
  fi
  # A positional word: the usage line says of which kind; past its last
  # word, the last kind again ("INPUT...").
  local usage=()
  read -r -a usage <<<"$(awk '$1 == "u" { $1 = ""; print; exit }' <<<"$facts")"
  ((${#usage[@]})) || return 0
  local at=$positional
  ((at >= ${#usage[@]})) && at=$((${#usage[@]} - 1))
  _markfit_values "${usage[at]}" ""
}
complete -F _markfit markfit
