#!/bin/bash
# The tracefiles of `coverage --lcov` and `fuzz --lcov` as lcov's own tools take them: genhtml
# renders each from a directory other than the source tree, and `lcov -a` merges the two into
# one record per source file, lines counted once. Exit 77 (skipped) without the tools.
#   lcov_tools_test.sh PEIBOARD SOURCE WORK
set -u
PEIBOARD=$1 SOURCE=$2 WORK=$3
fail() { echo "FAIL: $*" >&2; exit 1; }
command -v genhtml > /dev/null && command -v lcov > /dev/null || { echo "lcov absent"; exit 77; }
rm -rf "$WORK" && mkdir -p "$WORK/elsewhere"
cd "$SOURCE" || fail "no source tree $SOURCE"
"$PEIBOARD" coverage scenarios/default.toml --lcov "$WORK/coverage.info" > /dev/null ||
  fail "coverage failed"
"$PEIBOARD" fuzz --runs 256 --jobs 1 --seed 3 --out "$WORK/findings" --lcov "$WORK/fuzz.info" \
    > "$WORK/fuzz.txt" 2> /dev/null
[ $? -le 1 ] || fail "fuzz failed"

# The campaign's routine list: a routine the compiler inlined into the code the boots ran is
# not "never" entered, and two names of one address are one routine.
routines=$(grep "^routines " "$WORK/fuzz.txt")
grep -q "only inlined: .*IsPchLpDeviceId" <<< "$routines" ||
  fail "IsPchLpDeviceId, inlined where the boots ran, is not listed as such: $routines"
never=$(sed -n 's/.*never: \([^;]*\).*/\1/p' <<< "$routines" | tr -d ' ' | tr ',' '\n')
grep -qx "IsPchLpDeviceId\|DebugPrintEnabled\|DebugAssertEnabled" <<< "$never" &&
  fail "the routine list counts an inlined routine or one alias alone as never entered: $routines"

# Branch outcomes the fuzzer reached are in its tracefile.
reached=$(awk -F: '/^BRH:/ { n += $2 } END { print n + 0 }' "$WORK/fuzz.info")
[ "$reached" -gt 0 ] || fail "fuzz --lcov records no branch outcome"

cd "$WORK/elsewhere" || fail "no $WORK/elsewhere"
rc="--rc lcov_branch_coverage=1"
for info in coverage fuzz; do
  genhtml -q $rc -o "html-$info" "../$info.info" > "genhtml-$info.log" 2>&1 ||
    fail "genhtml refuses $info.info: $(head -n 5 "genhtml-$info.log")"
  [ -f "html-$info/index.html" ] || fail "genhtml wrote no index for $info.info"
done
lcov -q $rc -a ../coverage.info -a ../fuzz.info -o merged.info > lcov.log 2>&1 ||
  fail "lcov cannot merge the two: $(head -n 5 lcov.log)"

# "lines......: 72.1% (392 of 544 lines)" -> "392 544"
totals() { lcov $rc --summary "$1" 2>&1 | sed -n 's/.*lines\.*: .*(\([0-9]*\) of \([0-9]*\) lines).*/\1 \2/p'; }
read -r coverage_hit coverage_found <<< "$(totals ../coverage.info)"
read -r fuzz_hit fuzz_found <<< "$(totals ../fuzz.info)"
read -r merged_hit merged_found <<< "$(totals merged.info)"
[ -n "$merged_found" ] || fail "lcov gives no totals for the merged file"
[ "$coverage_found" = "$fuzz_found" ] ||
  fail "the two files name other lines: $coverage_found and $fuzz_found"
[ "$merged_found" = "$coverage_found" ] ||
  fail "merged, the lines count $merged_found times, not $coverage_found: one file's records stayed apart"
[ "$merged_hit" -ge "$coverage_hit" ] && [ "$merged_hit" -ge "$fuzz_hit" ] &&
  [ "$merged_hit" -le "$merged_found" ] || fail "merged lines hit $merged_hit of $merged_found"
# One path per source file: each test name keeps its records, over the same files.
[ "$(grep '^SF:' merged.info | sort -u | wc -l)" = "$(grep -c '^SF:' ../coverage.info)" ] ||
  fail "the merged file names more source files than either"
echo "genhtml renders both; merged: $merged_hit of $merged_found lines (coverage $coverage_hit, fuzz $fuzz_hit)"
