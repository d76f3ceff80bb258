#!/usr/bin/env bash
# Checks one manual page: it formats without a single groff warning, its footer names the
# project's version, and it documents what the program or headers really offer.
#
#   manual_page_test.sh --page PAGE --version VERSION
#                       [--program PROGRAM --help-argument ARG... [--commands]]
#                       [--header HEADER...]
#
# With --program, "PROGRAM ARG..." prints the usage text; every option in it (an indented line
# that starts with options, "[-x " in a synopsis, and every "--long" word) must have an entry
# in the page: a line of the formatted page that starts with it, alone or in a list such as
# "-j, --jobs N". With --commands, the usage text lists commands (indented lines "PROGRAM NAME"
# or "NAME"); each needs an entry that starts with its name, and so do the options of
# "PROGRAM NAME --help".
# With --header, every call that the header exports (RV_API) must be named in the page.
set -euo pipefail

page='' version='' program='' commands=0
help_args=() headers=()
while [ $# -gt 0 ]; do
  case "$1" in
    --page) page=$2; shift 2 ;;
    --version) version=$2; shift 2 ;;
    --program) program=$2; shift 2 ;;
    --help-argument) help_args+=("$2"); shift 2 ;;
    --commands) commands=1; shift ;;
    --header) headers+=("$2"); shift 2 ;;
    *) echo "manual_page_test: unknown argument $1" >&2; exit 2 ;;
  esac
done

failures=0
fail() {
  echo "$(basename "$page"): $*" >&2
  failures=$((failures + 1))
}

warnings=$(groff -man -Tutf8 -ww -z "$page" 2>&1) || fail "groff failed"
[ -z "$warnings" ] || fail "groff warns:
$warnings"

# Plain text without bold, underline or overstrike, so that options read as typed.
rendered=$(groff -man -Tascii -P-c -P-b -P-u -P-o "$page" 2>/dev/null)

grep -q "probes $version " <<<"$rendered" || fail "the footer does not name version $version"

# True when a line of the page, after its indentation, starts with word: alone, followed by a
# blank, "=" or "[", or as one entry of a list "A, B, C" of options.
has_entry() {
  awk -v w="$1" '
    {
      sub(/^[ \t]+/, "")
      n = split($0, parts, /, /)
      for (i = 1; i <= n; i++) {
        t = parts[i]
        if (substr(t, 1, length(w)) == w && index(" =[", substr(t, length(w) + 1, 1)) > 0) found = 1
        if (t !~ /^-/) break
      }
    }
    END { exit !found }' <<<"$rendered"
}

# The options that a usage text names, one a line.
options_of() {
  {
    sed -nE 's/^[[:space:]]+(-[^[:space:]]*)/\1/p' <<<"$1" |
      grep -oE '^-{1,2}[A-Za-z?][A-Za-z0-9-]*:?(, -{1,2}[A-Za-z?][A-Za-z0-9-]*)*' |
      sed 's/:$//; s/, /\n/g'
    grep -oE '\[-[A-Za-z?][] ]' <<<"$1" | cut -c2-3 || true
    grep -oE -- '--[a-z][a-z0-9-]*' <<<"$1" || true
  } | sort -u
}

check_options() { # usage text, what it belongs to
  local option
  while read -r option; do
    [ -n "$option" ] || continue
    has_entry "$option" || fail "$2 has option $option, which the page has no entry for"
  done <<<"$(options_of "$1")"
}

if [ -n "$program" ]; then
  name=$(basename "$program")
  usage=$("$program" "${help_args[@]}" 2>&1) || true
  [ -n "$usage" ] || fail "$name ${help_args[*]} printed nothing"
  check_options "$usage" "the usage text of $name"
  if [ "$commands" = 1 ]; then
    listed=$(sed -nE "s/^[[:space:]]+(${name}[[:space:]]+)?([a-z][a-z-]*)([[:space:]].*)?$/\2/p" <<<"$usage")
    [ -n "$listed" ] || fail "$name ${help_args[*]} lists no commands"
    for command in $listed; do
      has_entry "$command" || fail "the page has no entry for command $command"
      check_options "$("$program" "$command" --help 2>&1 || true)" "$name $command"
    done
  fi
fi

for header in "${headers[@]}"; do
  for call in $(grep -ho '^RV_API [^(]*(' "$header" | sed 's/($//; s/.*[ *]//'); do
    grep -qw -- "$call" <<<"$rendered" || fail "the page does not name $call of $(basename "$header")"
  done
done

[ "$failures" = 0 ] || exit 1
echo "$(basename "$page"): checked"
