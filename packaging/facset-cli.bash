# bash completion for facset-cli. Commands and options are read from the
# program's own --help, so the completion follows the installed version.
_facset_cli() {
  local cur prev cmd words
  cur=${COMP_WORDS[COMP_CWORD]}
  prev=${COMP_WORDS[COMP_CWORD-1]}
  if [[ $COMP_CWORD -eq 1 ]]; then
    words="$(facset-cli --help 2>/dev/null | sed -n '/^commands:/,/^$/s/^  \([a-z][a-z0-9-]*\).*/\1/p') --help --version"
    COMPREPLY=($(compgen -W "$words" -- "$cur"))
    return
  fi
  cmd=${COMP_WORDS[1]}
  case $prev in
    --firmware) COMPREPLY=($(compgen -f -- "$cur")); return ;;
    --com) COMPREPLY=($(compgen -W "COM1 COM2 COM3 COM9 COM10 COM16" -- "$cur") $(compgen -f -- "$cur")); return ;;
    --targets) COMPREPLY=($(compgen -f -- "$cur")); return ;;
    --speed)
      # The speeds the command's help lists after --speed, up to the next option.
      words=$(facset-cli "$cmd" --help 2>/dev/null | sed -n '/^ *--speed/,/^ *--[a-z]/{/^ *--[a-z]/!p;/^ *--speed/p}' |
              grep -oE '\b[0-9]{4,6}\b')
      COMPREPLY=($(compgen -W "$words" -- "$cur"))
      return ;;
  esac
  if [[ $cur == -* ]]; then
    words=$(facset-cli "$cmd" --help 2>/dev/null | grep -o -- '--[a-z][a-z0-9-]*' | sort -u)
    COMPREPLY=($(compgen -W "$words --help" -- "$cur"))
  else
    COMPREPLY=($(compgen -f -- "$cur"))
  fi
}
complete -o filenames -F _facset_cli facset-cli
