#!/bin/bash
# The module moved to another flash address, in each packaged form, reads as the module at its
# link address: the same routine names and source lines (inlined ones too) in a traced run,
# the same coverage tracefile from `coverage` and from `fuzz --lcov`.
#   moved_module_test.sh PEIBOARD FWPACK IMAGE MAP DEBUG_FILE CBFSTOOL_MOVED_FV SOURCE WORK
set -u
PEIBOARD=$1 FWPACK=$2 IMAGE=$3 MAP=$4 DEBUG=$5 CBFS_MOVED=$6 SOURCE=$7 WORK=$8
fail() { echo "FAIL: $*" >&2; exit 1; }
rm -rf "$WORK" && mkdir -p "$WORK"
cd "$SOURCE" || fail "no source tree $SOURCE"
"$FWPACK" "$IMAGE" --te "$WORK/fwpack.te" --ffs "$WORK/fwpack.ffs" --fv "$WORK/fwpack.fv" \
    --base 0xFFE80000 --size 0x20000 > /dev/null || fail "fwpack cannot move the image"

# Writes NAME.run (a traced run), NAME.coverage.info and NAME.fuzz.info for the module
# given by the arguments after NAME.
read_module() {
  local name=$1
  shift
  "$PEIBOARD" run --trace "$@" > "$WORK/$name.run" || fail "$name: run failed"
  "$PEIBOARD" coverage scenarios/default.toml --lcov "$WORK/$name.coverage.info" "$@" \
      > "$WORK/$name.coverage.txt" || fail "$name: coverage failed"
  "$PEIBOARD" fuzz --runs 256 --jobs 1 --seed 11 --out "$WORK/$name-findings" \
      --lcov "$WORK/$name.fuzz.info" "$@" > "$WORK/$name.fuzz.txt" 2> /dev/null
  [ $? -le 1 ] || fail "$name: fuzz failed"
}

read_module linked --image "$IMAGE" --map "$MAP"
grep -q " inlined in " "$WORK/linked.run" || fail "the traced run names no inlined routine"
grep -q "^LH:[1-9]" "$WORK/linked.coverage.info" || fail "the boot covers no line"

# Each moved form: its volume, and the arguments that name its link map and debug file (one
# names the debug file, one finds it beside the map).
forms=(
  "cbfstool|$CBFS_MOVED|--map $MAP --debug-file $DEBUG"
  "fwpack|$WORK/fwpack.fv|--map $MAP"
)
for form in "${forms[@]}"; do
  IFS='|' read -r name volume options <<< "$form"
  [ -f "$volume" ] || fail "$name: no moved volume $volume"
  # shellcheck disable=SC2086
  read_module "$name" --image "$volume" $options
  for what in run coverage.info coverage.txt fuzz.info; do
    diff "$WORK/linked.$what" "$WORK/$name.$what" > "$WORK/$name.$what.diff" ||
      fail "$name: the moved module's $what differs:
$(head -n 20 "$WORK/$name.$what.diff")"
  done
  diff <(grep "^lines " "$WORK/linked.fuzz.txt" | cut -d';' -f1) \
       <(grep "^lines " "$WORK/$name.fuzz.txt" | cut -d';' -f1) ||
    fail "$name: fuzz reports other line counts"
  diff <(grep "^routines " "$WORK/linked.fuzz.txt") <(grep "^routines " "$WORK/$name.fuzz.txt") ||
    fail "$name: fuzz names other routines entered, never entered or only inlined"
  echo "$name: names, lines and coverage as at the link address ($(grep "^lines" "$WORK/$name.coverage.txt" | cut -d, -f1))"
done
