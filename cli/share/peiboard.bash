# bash completion for peiboard. The commands and options are read from peiboard's own --help
# when completing, so they never drift from what the program takes.
_peiboard() {
  local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]} command="" word value=""
  # The command is the first word that is neither an option nor the value of one.
  for word in "${COMP_WORDS[@]:1:COMP_CWORD-1}"; do
    if [[ -n $value ]]; then value=""; continue; fi
    case $word in
      --image|--map|--debug-file) value=1 ;;
      -*) ;;
      *) command=$word; break ;;
    esac
  done
  case $prev in
    --image|--map|--debug-file|--junit|--lcov|--out|--sources|--corpus|--seed-scenarios)
      COMPREPLY=($(compgen -f -- "$cur")); return ;;
  esac
  local help
  if [[ -z $command ]]; then
    help=$("${COMP_WORDS[0]}" --help 2>/dev/null)
    if [[ $cur != -* ]]; then
      COMPREPLY=($(compgen -W "$(sed -n '/^Subcommands:/,$s/^  \([a-z]*\).*/\1/p' <<<"$help")" -- "$cur"))
      return
    fi
  else
    help=$("${COMP_WORDS[0]}" "$command" --help 2>/dev/null)
  fi
  if [[ $cur == -* ]]; then
    COMPREPLY=($(compgen -W "$(grep -o -- '--[a-z][a-z-]*' <<<"$help" | sort -u)" -- "$cur"))
  else
    COMPREPLY=($(compgen -f -- "$cur"))
  fi
}
complete -o filenames -F _peiboard peiboard
