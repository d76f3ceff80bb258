# bash completion for rvqm: its commands and their options (as "rvqm --help" and
# "rvqm COMMAND --help" list them), and the queue managers and queues of the data root that
# RV_DATA_DIR names (default ${XDG_STATE_HOME:-$HOME/.local/state}/rv). Names are read from the
# definitions in the data root; nothing connects to a queue manager or a broker.

_rvqm_data_root() {
  if [[ -n ${RV_DATA_DIR-} ]]; then
    printf '%s\n' "$RV_DATA_DIR"
  elif [[ -n ${XDG_STATE_HOME-} ]]; then
    printf '%s\n' "$XDG_STATE_HOME/rv"
  else
    printf '%s\n' "${HOME:-.}/.local/state/rv"
  fi
}

# The value of "name=" in a definition file (its last line may lack a line end).
_rvqm_name_in() {
  local line
  while IFS= read -r line || [[ -n $line ]]; do
    if [[ $line == name=* ]]; then
      printf '%s\n' "${line#name=}"
      return
    fi
  done <"$1"
}

# The folder of queue manager $1 (empty: the default one).
_rvqm_qmgr_dir() {
  local root qm=$1 definition
  root=$(_rvqm_data_root)
  if [[ -z $qm && -f $root/default.ini ]]; then
    qm=$(_rvqm_name_in "$root/default.ini")
  fi
  for definition in "$root"/qmgrs/*/qmgr.ini; do
    if [[ -f $definition && $(_rvqm_name_in "$definition") == "$qm" ]]; then
      printf '%s\n' "${definition%/qmgr.ini}"
      return
    fi
  done
}

_rvqm_qmgrs() {
  local definition
  for definition in "$(_rvqm_data_root)"/qmgrs/*/qmgr.ini; do
    [[ -f $definition ]] && _rvqm_name_in "$definition"
  done
}

# The queues of queue manager $1: those kept in its folder, or those that rvqm define declared
# on its broker (the first word of each line of amqp-queues).
_rvqm_queues() {
  local dir definition name rest
  dir=$(_rvqm_qmgr_dir "$1")
  [[ -n $dir ]] || return 0
  for definition in "$dir"/queues/*/queue.ini; do
    [[ -f $definition ]] && _rvqm_name_in "$definition"
  done
  if [[ -f $dir/amqp-queues ]]; then
    while read -r name rest || [[ -n $name ]]; do
      [[ -n $name ]] && printf '%s\n' "$name"
    done <"$dir/amqp-queues"
  fi
  return 0
}

# Completes the word for an argument shown as $1 in the command's synopsis; $2 is the queue
# manager named so far.
_rvqm_complete_kind() {
  local cur=$3
  case $1 in
    QM) mapfile -t COMPREPLY < <(compgen -W "$(_rvqm_qmgrs)" -- "$cur") ;;
    QUEUE | Q) mapfile -t COMPREPLY < <(compgen -W "$(_rvqm_queues "$2")" -- "$cur") ;;
    FILE*)
      mapfile -t COMPREPLY < <(compgen -f -- "$cur")
      [[ $1 == *'|-' && - == "$cur"* ]] && COMPREPLY+=(-)
      compopt -o filenames 2>/dev/null
      ;;
  esac
}

_rvqm() {
  local cur=${COMP_WORDS[COMP_CWORD]}
  local program=${COMP_WORDS[0]}
  # A program typed as ~/bin/rvqm reaches the function unexpanded.
  # shellcheck disable=SC2088
  [[ $program == "~/"* ]] && program=$HOME/${program#"~/"}
  COMPREPLY=()

  if ((COMP_CWORD == 1)); then
    local commands
    commands=$("$program" --help 2>/dev/null | sed -n 's/^  rvqm \([a-z][a-z-]*\).*/\1/p')
    mapfile -t COMPREPLY < <(compgen -W "$commands --help --version" -- "$cur")
    return 0
  fi

  # The synopsis, e.g. "put QM QUEUE FILE|- [--reply-to Q] [--reply-to-qmgr QM]": its options,
  # the argument that each option takes (none for a flag), and the positional arguments.
  local command=${COMP_WORDS[1]} synopsis
  synopsis=$("$program" "$command" --help 2>/dev/null | sed -n '1s/^usage: rvqm //p')
  [[ -n $synopsis ]] || return 0
  local -a words positional=()
  local -A takes=()
  read -r -a words <<<"${synopsis//[\[\]]/ }"
  local i
  for ((i = 1; i < ${#words[@]}; i++)); do
    if [[ ${words[i]} == --* ]]; then
      takes[${words[i]}]=
      if [[ $((i + 1)) -lt ${#words[@]} && ${words[i + 1]} != --* ]]; then
        takes[${words[i]}]=${words[i + 1]}
        ((i++))
      fi
    else
      positional+=("${words[i]}")
    fi
  done

  # Walk the words typed so far: skip options and their values, count positional arguments.
  local count=0 qm=
  for ((i = 2; i < COMP_CWORD; i++)); do
    local word=${COMP_WORDS[i]}
    if [[ $word == --* ]]; then
      [[ -n ${takes[$word]-} && $word != *=* ]] && ((i++))
    else
      ((count == 0)) && qm=$word
      ((count++))
    fi
  done

  local prev=${COMP_WORDS[COMP_CWORD - 1]}
  if ((COMP_CWORD > 2)) && [[ $prev == --* && -n ${takes[$prev]-} ]]; then
    _rvqm_complete_kind "${takes[$prev]}" "$qm" "$cur"
    return 0
  fi
  if [[ $cur == -* ]]; then
    mapfile -t COMPREPLY < <(compgen -W "${!takes[*]} --help" -- "$cur")
    return 0
  fi

  # The positional argument at this place; "QUEUE..." repeats. New names (the queue manager of
  # create, the queues of define) are not completed.
  local last=$((${#positional[@]} - 1)) kind=
  if ((count <= last)); then
    kind=${positional[count]}
  elif ((last >= 0)) && [[ ${positional[last]} == *... ]]; then
    kind=${positional[last]}
  fi
  [[ $command == create || $kind == *... ]] && return 0
  _rvqm_complete_kind "$kind" "$qm" "$cur"
  return 0
}

complete -F _rvqm rvqm
