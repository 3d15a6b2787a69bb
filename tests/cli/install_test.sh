#!/usr/bin/env bash
# `cmake --install` puts the command, its man page and its bash completion where they belong,
# and the completion offers the commands and each command's options from --help.
#   install_test.sh BUILD_DIR WORK
set -euo pipefail
BUILD=$1 WORK=$2
fail() { echo "FAIL: $*" >&2; exit 1; }
rm -rf "$WORK"
cmake --install "$BUILD" --prefix "$WORK" --component Unspecified >/dev/null
man=$WORK/share/man/man1/peiboard.1
completion=$WORK/share/bash-completion/completions/peiboard
[[ -x $WORK/bin/peiboard ]] || fail "no bin/peiboard"
grep -q '^\.TH PEIBOARD 1' "$man" || fail "$man is no man page"
for command in run check image bench fuzz coverage; do
  grep -q "^\.SS $command\$" "$man" || fail "the man page has no section for $command"
done
grep -q -- '--junit FILE' "$man" || fail "the man page lacks check's --junit"
source "$completion"
complete_words() {  # WORDS...: what completing the last one offers
  COMP_WORDS=("$WORK/bin/peiboard" "$@"); COMP_CWORD=$#; COMPREPLY=(); _peiboard
  echo "${COMPREPLY[*]}"
}
[[ $(complete_words c) == "check coverage" ]] || fail "'peiboard c' completes to '$(complete_words c)'"
[[ $(complete_words check --j) == "--json --junit" ]] || fail "'check --j' completes to '$(complete_words check --j)'"
[[ $(complete_words --image x.fv image --j) == "--json" ]] || fail "'image --j' completes to '$(complete_words --image x.fv image --j)'"
echo "installed: peiboard, its man page and its completion"
