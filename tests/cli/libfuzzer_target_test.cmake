# The libFuzzer target as a fleet runs it: on the planted-fault image it finds the fault within
# a bounded number of runs, saves the minimized scenario file `peiboard fuzz` saves (which
# `peiboard run` replays) and leaves libFuzzer a crash input that shows it again; on the
# released image the same campaign finds nothing.
# Run by CTest: cmake -DTARGET=... -DPEIBOARD=... -DIMAGE=... -DPLANTED=... -DWORK=...
#                     -P libfuzzer_target_test.cmake
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})
set(saved ${WORK}/found/fault-write-unmapped-__wrap_ApplyBoardPtssTables.toml)

function(fuzz_target name image)
  execute_process(COMMAND ${CMAKE_COMMAND} -E env PEIBOARD_IMAGE=${image}
                          PEIBOARD_FUZZ_MODE=platform PEIBOARD_FUZZ_OUT=found
                          ${TARGET} -seed=1 -artifact_prefix=${WORK}/${name}- ${ARGN}
                  WORKING_DIRECTORY ${WORK} RESULT_VARIABLE rc OUTPUT_VARIABLE out
                  ERROR_VARIABLE err TIMEOUT 300)
  set(rc "${rc}" PARENT_SCOPE)
  set(err "${err}" PARENT_SCOPE)
endfunction()

fuzz_target(clean ${IMAGE} -runs=3000)
if(NOT rc EQUAL 0 OR NOT err MATCHES "Done 3000 runs" OR EXISTS ${WORK}/found)
  message(SEND_ERROR "libfuzzer-clean: exit ${rc}, expected 0 and nothing saved\n${err}")
endif()

fuzz_target(planted ${PLANTED} -runs=60000)
file(GLOB crashes ${WORK}/planted-crash-*)
if(NOT rc EQUAL 77 OR NOT crashes OR NOT EXISTS ${saved}
   OR NOT err MATCHES "platform mode: fault: write unmapped in __wrap_ApplyBoardPtssTables\n")
  message(SEND_ERROR "libfuzzer-planted: exit ${rc}, expected 77, a crash input and ${saved}\n${err}")
  return()
endif()
file(READ ${saved} text)
if(NOT text MATCHES "^# peiboard_libfuzzer, seed [^\n]*; minimized from [0-9]+ keys to [0-9]+\\.\n# fault: write unmapped at 0x00000000, eip 0x[0-9A-F]+ in __wrap_ApplyBoardPtssTables\n# Reproduce: peiboard run found/fault-write-unmapped-__wrap_ApplyBoardPtssTables.toml\n\nname = \"fuzz: fault: write unmapped in __wrap_ApplyBoardPtssTables\"\n"
   OR NOT text MATCHES "\n\\[expect\\]\nfault = true\n")
  message(SEND_ERROR "libfuzzer-saved: not the file `peiboard fuzz` saves\n${text}")
endif()
execute_process(COMMAND ${PEIBOARD} --image ${PLANTED} run ${saved} RESULT_VARIABLE rc
                OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 120)
if(NOT rc EQUAL 1 OR NOT out MATCHES "FAULT: +fault: write unmapped at 0x00000000, eip 0xFFF0[^\n]* in __wrap_ApplyBoardPtssTables")
  message(SEND_ERROR "libfuzzer-replay: exit ${rc}, expected 1 and the fault\n${out}\n${err}")
endif()

# The crash input libFuzzer kept is the same platform: run alone, it stops the same way.
list(GET crashes 0 crash)
file(REMOVE_RECURSE ${WORK}/found)
fuzz_target(again ${PLANTED} ${crash})
if(NOT rc EQUAL 77 OR NOT EXISTS ${saved})
  message(SEND_ERROR "libfuzzer-crash-input: exit ${rc}, expected 77 and ${saved}\n${err}")
endif()
