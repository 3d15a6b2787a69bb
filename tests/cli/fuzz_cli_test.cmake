# `peiboard fuzz` as a user meets it: usage errors, a clean campaign, a campaign on the
# planted-fault image whose saved file `peiboard run` replays, findings saved only whole and
# only as new files (a cause saved before is counted, its file left alone), a corpus that a
# second campaign resumes from, and the JSON summary.
# Run by CTest: cmake -DPEIBOARD=... -DSOURCE=... -DPLANTED=... -DWORK=... -P fuzz_cli_test.cmake
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})

set(RUN_DIRECTORY ${WORK})
include(${CMAKE_CURRENT_LIST_DIR}/expect_run.cmake)

expect_run(fuzz-help 0 ARGS fuzz --help STDOUT "--mode" "--runs" "--time" "--seed" "--jobs" "--out"
           "--corpus" "--seed-scenarios" "--json")
expect_run(fuzz-bad-mode 2 ARGS fuzz --mode wild)
expect_run(fuzz-runs-and-time 2 ARGS fuzz --runs 10 --time 1)
expect_run(fuzz-no-runs 2 ARGS fuzz --runs 0)
expect_run(fuzz-no-jobs 2 ARGS fuzz --jobs 0)

# The released image keeps its contracts: no finding, exit 0, nothing saved. The banner comes
# before anything else the campaign prints, progress included.
execute_process(COMMAND sh -c "exec \"$0\" fuzz --runs 300 --seed 5 --jobs 2 --out clean 2>&1"
                        ${PEIBOARD}
                WORKING_DIRECTORY ${WORK} RESULT_VARIABLE rc OUTPUT_VARIABLE out TIMEOUT 120)
if(NOT rc EQUAL 0 OR NOT out MATCHES "^peiboard fuzz: platform mode, seed 5, 2 jobs\n"
   OR NOT out MATCHES "\nfuzz: 300 boots in [0-9]+ s, [0-9]+ boots/s, coverage [0-9]+ blocks [0-9]+ edges, corpus [0-9]+, findings 0, new coverage [0-9]+ s ago, ETA 0 s\n"
   OR NOT out MATCHES "\nboots     300 in" OR NOT out MATCHES "\nfindings  0\n")
  message(SEND_ERROR "fuzz-clean: exit ${rc}, expected 0 with the banner first\n${out}")
endif()
if(EXISTS ${WORK}/clean)
  message(SEND_ERROR "fuzz-clean: a folder of findings was made without findings")
endif()

# A corpus: the first campaign saves each platform that added coverage, the second boots them
# all before its first new platform and so starts with the first one's coverage.
function(fuzz_json name code)
  execute_process(COMMAND ${PEIBOARD} ${ARGN} --json RESULT_VARIABLE rc OUTPUT_VARIABLE out
                  ERROR_VARIABLE err WORKING_DIRECTORY ${WORK} TIMEOUT 120)
  string(JSON kind ERROR_VARIABLE bad TYPE "${out}")
  if(NOT rc EQUAL code OR bad OR NOT kind STREQUAL "OBJECT")
    message(SEND_ERROR "${name}: exit ${rc}, expected ${code} and one JSON object\n${out}\n${err}")
  endif()
  set(json "${out}" PARENT_SCOPE)
  set(err "${err}" PARENT_SCOPE)
endfunction()
fuzz_json(fuzz-corpus-first 0 fuzz --runs 400 --seed 3 --jobs 2 --corpus corpus)
string(JSON size GET "${json}" corpus size)
string(JSON saved GET "${json}" corpus saved)
string(JSON blocks GET "${json}" blocks)
string(JSON edges GET "${json}" edges)
string(JSON runs GET "${json}" runs)
string(JSON found LENGTH "${json}" findings)
file(GLOB corpus ${WORK}/corpus/*.toml)
list(LENGTH corpus files)
if(NOT runs EQUAL 400 OR NOT found EQUAL 0 OR size LESS 10 OR NOT saved EQUAL size
   OR NOT files EQUAL size OR NOT err MATCHES "^peiboard fuzz: platform mode, seed 3, 2 jobs\n")
  message(SEND_ERROR "fuzz-corpus-first: ${files} files for a corpus of ${size}, ${saved} saved\n${json}\n${err}")
endif()
fuzz_json(fuzz-corpus-resumed 0 fuzz --runs 1 --seed 4 --jobs 2 --corpus corpus)
string(JSON loaded GET "${json}" seeds corpus_files)
string(JSON seeded_blocks GET "${json}" seeds blocks)
string(JSON seeded_edges GET "${json}" seeds edges)
file(GLOB again ${WORK}/corpus/*.toml)
list(LENGTH again files_again)
if(NOT loaded EQUAL size OR NOT seeded_blocks EQUAL blocks OR NOT seeded_edges EQUAL edges
   OR files_again LESS files OR NOT err MATCHES "\nseeds     ${size} files \\(${size} from the corpus corpus\\)")
  message(SEND_ERROR "fuzz-corpus-resumed: loaded ${loaded} of ${size}, ${seeded_blocks} blocks "
                     "and ${seeded_edges} edges of ${blocks} and ${edges}\n${json}\n${err}")
endif()
# Scenario files seed a campaign too.
file(GLOB examples ${SOURCE}/scenarios/*.toml)
list(LENGTH examples count)
expect_run(fuzz-seed-scenarios 0 ARGS fuzz --runs 1 --jobs 2 --seed-scenarios ${examples}
           STDOUT "seeds     ${count} files: corpus ")

# The planted fault: found, saved once, exit 1; the saved file reproduces it.
expect_run(fuzz-planted 1 ARGS --image ${PLANTED} fuzz --runs 3000 --seed 1 --jobs 2 --out found
           STDOUT "findings  1" "fault: write unmapped in __wrap_ApplyBoardPtssTables"
                  "found/fault-write-unmapped-__wrap_ApplyBoardPtssTables.toml")
file(GLOB saved ${WORK}/found/*.toml)
list(LENGTH saved count)
if(NOT count EQUAL 1)
  message(SEND_ERROR "fuzz-planted: ${count} files saved, expected 1: ${saved}")
endif()
expect_run(fuzz-replay 1 ARGS --image ${PLANTED} run found/fault-write-unmapped-__wrap_ApplyBoardPtssTables.toml
           STDOUT "FAULT:    fault: write unmapped at 0x00000000, eip 0xFFF0" "in __wrap_ApplyBoardPtssTables")
expect_run(fuzz-check 0 ARGS --image ${PLANTED} check found/fault-write-unmapped-__wrap_ApplyBoardPtssTables.toml
           STDOUT "ok")

# A finding never overwrites a file: a second campaign into the same folder finds the cause
# saved before, counts each boot that shows it (here the saved file, seeded twice) and leaves
# the file as it was.
file(READ ${WORK}/found/fault-write-unmapped-__wrap_ApplyBoardPtssTables.toml first HEX)
fuzz_json(fuzz-planted-again 1 --image ${PLANTED} fuzz --runs 1 --jobs 2 --out found --seed-scenarios
          found/fault-write-unmapped-__wrap_ApplyBoardPtssTables.toml
          found/fault-write-unmapped-__wrap_ApplyBoardPtssTables.toml)
file(READ ${WORK}/found/fault-write-unmapped-__wrap_ApplyBoardPtssTables.toml first_after HEX)
file(GLOB saved ${WORK}/found/*)
list(LENGTH saved count)
string(JSON found LENGTH "${json}" findings)
string(JSON again GET "${json}" findings 0 count)
string(JSON before GET "${json}" findings 0 saved_before)
string(JSON where GET "${json}" findings 0 file)
if(NOT count EQUAL 1 OR NOT first STREQUAL first_after OR NOT found EQUAL 1 OR NOT again EQUAL 2
   OR NOT before OR NOT where STREQUAL "found/fault-write-unmapped-__wrap_ApplyBoardPtssTables.toml")
  message(SEND_ERROR "fuzz-planted-again: the finding changed, or ${count} files: ${saved}\n${json}")
endif()

# A finding that cannot be written whole (here files may not pass 512 bytes) ends the campaign
# with its file named, and leaves no part of it.
execute_process(COMMAND sh -c "trap '' XFSZ; ulimit -f 1; exec \"$0\" --image \"$1\" fuzz --runs 3000 --seed 1 --jobs 2 --out limited"
                        ${PEIBOARD} ${PLANTED}
                WORKING_DIRECTORY ${WORK} RESULT_VARIABLE rc ERROR_VARIABLE err TIMEOUT 120)
file(GLOB left ${WORK}/limited/*)
if(NOT rc EQUAL 2 OR NOT err MATCHES "limited/fault-write-unmapped-__wrap_ApplyBoardPtssTables.toml: cannot write" OR left)
  message(SEND_ERROR "fuzz-write-fails: exit ${rc}, expected 2 naming the file; left: ${left}\n${err}")
endif()

# Seconds must be a finite number above zero.
foreach(seconds IN ITEMS nan inf -inf -1 0 1e400 "''")
  execute_process(COMMAND sh -c "exec \"$0\" fuzz --time ${seconds}" ${PEIBOARD} RESULT_VARIABLE rc
                  ERROR_VARIABLE err TIMEOUT 60)
  if(NOT rc EQUAL 2 OR NOT err MATCHES "^peiboard: --time: ")
    message(SEND_ERROR "fuzz --time ${seconds}: exit ${rc}, expected 2\n${err}")
  endif()
endforeach()
