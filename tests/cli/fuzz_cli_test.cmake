# `peiboard fuzz` as a user meets it: usage errors, a clean campaign, a campaign on the
# planted-fault image whose saved file `peiboard run` replays, and findings saved only whole
# and only as new files.
# Run by CTest: cmake -DPEIBOARD=... -DSOURCE=... -DPLANTED=... -DWORK=... -P fuzz_cli_test.cmake
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})

set(RUN_DIRECTORY ${WORK})
include(${CMAKE_CURRENT_LIST_DIR}/expect_run.cmake)

expect_run(fuzz-help 0 ARGS fuzz --help STDOUT "--mode" "--runs" "--time" "--seed" "--jobs" "--out")
expect_run(fuzz-bad-mode 2 ARGS fuzz --mode wild)
expect_run(fuzz-runs-and-time 2 ARGS fuzz --runs 10 --time 1)
expect_run(fuzz-no-runs 2 ARGS fuzz --runs 0)
expect_run(fuzz-no-jobs 2 ARGS fuzz --jobs 0)

# The released image keeps its contracts: no finding, exit 0, nothing saved.
expect_run(fuzz-clean 0 ARGS fuzz --runs 300 --seed 5 --jobs 2 --out clean
           STDOUT "peiboard fuzz: platform mode, seed 5, 2 jobs" "boots     300 in" "findings  0"
           STDERR "fuzz: 300 boots")
if(EXISTS ${WORK}/clean)
  message(SEND_ERROR "fuzz-clean: a folder of findings was made without findings")
endif()

# The planted fault: found, saved once, exit 1; the saved file reproduces it.
expect_run(fuzz-planted 1 ARGS --image ${PLANTED} fuzz --runs 3000 --seed 1 --jobs 2 --out found
           STDOUT "findings  1" "fault: write unmapped in ApplyBoardPtssTables"
                  "found/fault-write-unmapped-ApplyBoardPtssTables.toml")
file(GLOB saved ${WORK}/found/*.toml)
list(LENGTH saved count)
if(NOT count EQUAL 1)
  message(SEND_ERROR "fuzz-planted: ${count} files saved, expected 1: ${saved}")
endif()
expect_run(fuzz-replay 1 ARGS --image ${PLANTED} run found/fault-write-unmapped-ApplyBoardPtssTables.toml
           STDOUT "FAULT:    fault: write unmapped at 0x00000000, eip 0xFFF0" "in ApplyBoardPtssTables")
expect_run(fuzz-check 0 ARGS --image ${PLANTED} check found/fault-write-unmapped-ApplyBoardPtssTables.toml
           STDOUT "ok")

# A finding is a new file: a second campaign into the same folder leaves the first one's as it
# was and takes the next free name.
file(READ ${WORK}/found/fault-write-unmapped-ApplyBoardPtssTables.toml first)
expect_run(fuzz-planted-again 1 ARGS --image ${PLANTED} fuzz --runs 3000 --seed 1 --jobs 2 --out found
           STDOUT "found/fault-write-unmapped-ApplyBoardPtssTables-2.toml")
file(READ ${WORK}/found/fault-write-unmapped-ApplyBoardPtssTables.toml first_after)
file(GLOB saved ${WORK}/found/*)
list(LENGTH saved count)
if(NOT count EQUAL 2 OR NOT first STREQUAL first_after)
  message(SEND_ERROR "fuzz-planted-again: the first finding changed, or ${count} files: ${saved}")
endif()

# A finding that cannot be written whole (here files may not pass 512 bytes) ends the campaign
# with its file named, and leaves no part of it.
execute_process(COMMAND sh -c "trap '' XFSZ; ulimit -f 1; exec \"$0\" --image \"$1\" fuzz --runs 3000 --seed 1 --jobs 2 --out limited"
                        ${PEIBOARD} ${PLANTED}
                WORKING_DIRECTORY ${WORK} RESULT_VARIABLE rc ERROR_VARIABLE err TIMEOUT 120)
file(GLOB left ${WORK}/limited/*)
if(NOT rc EQUAL 2 OR NOT err MATCHES "limited/fault-write-unmapped-ApplyBoardPtssTables.toml: cannot write" OR left)
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
