# bash completion for zarvek and zarvek-cable. Subcommands, options and speeds
# are read from the program's own --help, so they cannot fall behind it.

# _zarvek_help COMMAND...: the help text of that command line.
_zarvek_help() { "$@" --help 2>/dev/null; }

_zarvek() {
  local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}
  local program=${COMP_WORDS[0]} sub= word i
  local -a command=("$program")
  [[ $program == *zarvek-cable ]] && sub=cable
  # The first word that is not an option names the subcommand: the options
  # before it take no value.
  for ((i = 1; i < COMP_CWORD; i++)); do
    word=${COMP_WORDS[i]}
    if [[ -z $sub && $word != -* ]]; then sub=$word; command+=("$sub"); fi
  done
  COMPREPLY=()

  case $prev in
    -p | --port)
      if [[ $cur == /* ]]; then
        COMPREPLY=($(compgen -f -- "$cur"))
      else
        COMPREPLY=($(compgen -W "COM1 COM2 COM3 COM4 $("$program" ports 2>/dev/null | awk '{ print $1 }')" -- "$cur"))
      fi
      return ;;
    -s | --speed)
      COMPREPLY=($(compgen -W "$(_zarvek_help "${command[@]}" |
        sed -n 's/.*--speed INT:{\([0-9,]*\)}.*/\1/p' | tr , ' ')" -- "$cur"))
      return ;;
    -d | --dir)
      COMPREPLY=($(compgen -d -- "$cur"))
      return ;;
    --link-a | --link-b)
      COMPREPLY=($(compgen -f -- "$cur"))
      return ;;
    -n | --files | -r | --retry-limit | --baud | --flip | --drop | --pause | --replace | \
      --ber | --noise | --latency | --usb | --seed)
      return ;;
  esac

  if [[ $cur == -* ]]; then
    COMPREPLY=($(compgen -W "$(_zarvek_help "${command[@]}" |
      awk '/^  -/ { n = split($1, names, ","); for (i = 1; i <= n; i++) print names[i] }')" -- "$cur"))
  elif [[ -z $sub ]]; then
    COMPREPLY=($(compgen -W "$(_zarvek_help "$program" |
      awk '/^Subcommands:/ { on = 1; next } on && NF == 0 { on = 0 } on { print $1 }')" -- "$cur"))
  elif [[ $sub == send ]]; then
    compopt -o filenames 2>/dev/null
    COMPREPLY=($(compgen -f -- "$cur"))
  fi
}
complete -F _zarvek zarvek zarvek-cable
