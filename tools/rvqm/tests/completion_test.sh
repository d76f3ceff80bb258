#!/usr/bin/env bash
# Runs rvqm's bash completion against a data root that the built rvqm set up, and compares
# what it offers for each command line with what that data root and rvqm's help hold.
#   completion_test.sh RVQM COMPLETION_SCRIPT
set -euo pipefail
rvqm=$1 script=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")

work=$(mktemp -d "${TMPDIR:-/tmp}/rvqm-completion.XXXXXX")
trap 'rm -rf "$work"' EXIT
failures=0

export RV_DATA_DIR=$work/root
"$rvqm" create QM1 --default
"$rvqm" define QM1 A.Q B.Q
"$rvqm" create QM2
"$rvqm" define QM2 C.Q
"$rvqm" create A/B
# A queue manager on a broker: its queues are those recorded at definition. Defining one
# needs the broker, so the record is written as rvqm define would leave it.
printf 'secret\n' >"$work/password"
"$rvqm" create WF.QM --amqp amqp://probes@broker.invalid/probes --password-file "$work/password"
printf 'X.Q 50000\nY.Q 10\n' >"$RV_DATA_DIR/qmgrs/WF%2EQM/amqp-queues"
mkdir "$work/files" && touch "$work/files/request.xml" "$work/files/reply.xml"

# The words offered for a command line; its last word is the one being completed.
complete_line() {
  (
    cd "$work/files"
    # shellcheck source=/dev/null
    . "$script"
    read -r -a COMP_WORDS <<<"$1"
    [[ $1 == *" " ]] && COMP_WORDS+=("")
    COMP_WORDS[0]=$rvqm
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    _rvqm rvqm "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}" 2>/dev/null
    printf '%s\n' "${COMPREPLY[@]}" | sort | tr '\n' ' ' | sed 's/ $//'
  )
}

expect() { # command line, the words it should offer
  local got
  got=$(complete_line "$1")
  if [ "$got" != "$2" ]; then
    echo "\"$1\": offers \"$got\", expected \"$2\"" >&2
    failures=$((failures + 1))
  fi
}

# The commands are those that rvqm --help lists.
commands=$("$rvqm" --help | sed -n 's/^  rvqm \([a-z]*\).*/\1/p' | sort | tr '\n' ' ')
# shellcheck disable=SC2086  # the commands are words
expect "rvqm " "$(printf '%s\n' $commands --help --version | sort | tr '\n' ' ' | sed 's/ $//')"
expect "rvqm qu" "quiesce"

# Queue managers, and the queues of the one named, wherever the synopsis takes them.
expect "rvqm list " "A/B QM1 QM2 WF.QM"
expect "rvqm list Q" "QM1 QM2"
expect "rvqm list QM1 " ""
expect "rvqm get QM1 " "A.Q B.Q"
expect "rvqm get QM2 " "C.Q"
expect "rvqm browse WF.QM " "X.Q Y.Q"
expect "rvqm undefine A/B " ""
expect "rvqm get NO.QM " ""
expect "rvqm put QM1 A.Q --reply-to " "A.Q B.Q"
expect "rvqm put QM1 A.Q --reply-to-qmgr Q" "QM1 QM2"
expect "rvqm put QM1 --reply-to B.Q A" "A.Q"

# Options of the command, and arguments that are no names of the data root.
expect "rvqm get QM1 A.Q --" "--help --wait"
expect "rvqm create QM3 --" "--amqp --default --help --password-file"
expect "rvqm get QM1 A.Q --wait " ""
expect "rvqm put QM1 A.Q re" "reply.xml request.xml"
expect "rvqm create --default " ""
expect "rvqm define QM1 " ""
expect "rvqm define " "A/B QM1 QM2 WF.QM"
expect "rvqm reason " ""
expect "rvqm nosuch " ""

# Without RV_DATA_DIR the default data root under XDG_STATE_HOME, then HOME.
mkdir -p "$work/state" "$work/home/.local/state"
mv "$RV_DATA_DIR" "$work/state/rv"
unset RV_DATA_DIR
XDG_STATE_HOME=$work/state expect "rvqm get QM2 " "C.Q"
mv "$work/state/rv" "$work/home/.local/state/rv"
XDG_STATE_HOME='' HOME=$work/home expect "rvqm list QM" "QM1 QM2"

[ "$failures" = 0 ] || exit 1
echo "completion_test: all checks passed"
