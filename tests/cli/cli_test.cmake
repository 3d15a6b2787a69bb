# The peiboard command as a user meets it: exit codes, errors that name file, line and key,
# and the JSON contract. Run by CTest: cmake -DPEIBOARD=... -DSOURCE=... -P cli_test.cmake
set(failures 0)

function(expect_run name code)
  cmake_parse_arguments(ARG "" "" "ARGS;STDOUT;STDERR" ${ARGN})
  execute_process(COMMAND ${PEIBOARD} ${ARG_ARGS} RESULT_VARIABLE rc OUTPUT_VARIABLE out
                  ERROR_VARIABLE err WORKING_DIRECTORY ${SOURCE})
  if(NOT rc EQUAL code)
    message(SEND_ERROR "${name}: exit ${rc}, expected ${code}\n${out}\n${err}")
  endif()
  foreach(text IN LISTS ARG_STDOUT)
    string(FIND "${out}" "${text}" at)
    if(at EQUAL -1)
      message(SEND_ERROR "${name}: stdout lacks '${text}'\n${out}")
    endif()
  endforeach()
  foreach(text IN LISTS ARG_STDERR)
    string(FIND "${err}" "${text}" at)
    if(at EQUAL -1)
      message(SEND_ERROR "${name}: stderr lacks '${text}'\n${err}")
    endif()
  endforeach()
endfunction()

file(WRITE ${WORK}/bad-key.toml "name = \"x\"\n[pmc]\nacpi_controll = 1\n")
file(WRITE ${WORK}/bad-range.toml "[pch]\nlpc_revision_id = 0x100\n")
file(WRITE ${WORK}/acpi7.toml "[pmc]\nacpi_control = 0x07\n")
file(WRITE ${WORK}/overlap.toml "[pch]\necam_base = 0x00000000\n")

expect_run(help 0 ARGS --help STDOUT "run" "check" "image")
expect_run(no-command 2 ARGS)
expect_run(unknown-option 2 ARGS run --jsn)
expect_run(default-run 0 ARGS run STDOUT "Reinstall Descriptor Status = 0." "entry status 0x00000000"
           "sata[0]         1:01*      1:02*      1:08*")
expect_run(json 0 ARGS run ${WORK}/acpi7.toml --json
           STDOUT "\"pmc\": {\n    \"acpi_base\": 1280,\n    \"acpi_control\": 135\n  }"
                  "\"entry_status\": 0" "\"slot15_called\": true" "\"fault\": null")
expect_run(trace 0 ARGS run --trace STDOUT "== trace ==" "[GetPchStepping]" "PWRM+0x012C DWR"
           "Heci.SendwAck" "PCR port 0x13+0x0258" "PCR port 0xE0+0x0000")
expect_run(missing-file 2 ARGS run ${WORK}/none.toml STDERR "none.toml: cannot open")
expect_run(unknown-key 2 ARGS run ${WORK}/bad-key.toml STDERR "bad-key.toml:3: key 'pmc.acpi_controll'")
expect_run(out-of-range 2 ARGS run ${WORK}/bad-range.toml STDERR "bad-range.toml:2: key 'pch.lpc_revision_id'")
expect_run(overlapping-window 2 ARGS run ${WORK}/overlap.toml STDERR "ecam_base")
expect_run(check-fails 1 ARGS check tests/cli/wrong-expectation.toml
           STDOUT "FAIL" "entry_status: expected 5, got 0" "policy.sata[0]: expected [1,2,3]")
expect_run(check-needs-expect 2 ARGS check ${WORK}/acpi7.toml STDERR "no [expect]")
expect_run(image 0 ARGS image STDOUT "PE32, i386, EFI boot service driver" "SystemBoardOverrideEntryPoint")

file(WRITE ${WORK}/halt.toml "[debug]\nhalt_on_assert = true\n[hob.platform_info]\npresent = false\n")
expect_run(halted-run 1 ARGS run ${WORK}/halt.toml STDOUT "FAULT:    halt: assertion (halt_on_assert)"
           "in GetBoardId" "!! ASSERT QuarnelPkg/Library/SystemBoardPpiLib/SystemBoardPpiLib(91)")
expect_run(bench 0 ARGS bench --runs 3 --fresh STDOUT "reused        3 boots in" "fresh         3 boots in"
           "reused/fresh" "40158 guest instructions per boot")
expect_run(bench-zero 2 ARGS bench --runs 0)
expect_run(missing-image 2 ARGS run --image ${WORK}/none.efi STDERR "none.efi: cannot open the image")
file(WRITE ${WORK}/not-pe.efi "MZ but not a PE image")
expect_run(not-an-image 2 ARGS image ${WORK}/not-pe.efi STDERR "not-pe.efi:")

file(REMOVE ${WORK}/coverage.info)
expect_run(coverage 0 ARGS coverage scenarios/default.toml scenarios/lp-part.toml --lcov ${WORK}/coverage.info
           STDOUT "ok    scenarios/default.toml" "ok    scenarios/lp-part.toml" "lines " "branches ")
file(READ ${WORK}/coverage.info tracefile)
string(FIND "${tracefile}" "TN:scenarios\nSF:${SOURCE}/firmware/" at)
if(NOT at EQUAL 0)
  message(SEND_ERROR "coverage: the tracefile does not name sources under firmware/")
endif()
expect_run(coverage-halted 1 ARGS coverage ${WORK}/halt.toml --lcov ${WORK}/coverage.info
           STDOUT "fault ${WORK}/halt.toml: halt: assertion")
expect_run(coverage-needs-lcov 2 ARGS coverage scenarios/default.toml STDERR "--lcov")
expect_run(coverage-bad-debug 2 ARGS coverage scenarios/default.toml --lcov ${WORK}/c.info
           --debug ${WORK}/none.elf STDERR "none.elf")
expect_run(coverage-unwritable 2 ARGS coverage scenarios/default.toml --lcov ${WORK}/no/such/dir/c.info
           STDERR "cannot write")
