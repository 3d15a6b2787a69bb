# The peiboard command as a user meets it: exit codes, errors that name file, line and key,
# and the JSON contract. Run by CTest: cmake -DPEIBOARD=... -DSOURCE=... -P cli_test.cmake
set(RUN_DIRECTORY ${SOURCE})
include(${CMAKE_CURRENT_LIST_DIR}/expect_run.cmake)

file(WRITE ${WORK}/bad-key.toml "name = \"x\"\n[pmc]\nacpi_controll = 1\n")
file(WRITE ${WORK}/bad-range.toml "[pch]\nlpc_revision_id = 0x100\n")
file(WRITE ${WORK}/acpi7.toml "[pmc]\nacpi_control = 0x07\n")
file(WRITE ${WORK}/overlap.toml "[pch]\necam_base = 0x00000000\n")

expect_run(help 0 ARGS --help STDOUT "run" "check" "image")
expect_run(no-command 2 ARGS)
expect_run(unknown-option 2 ARGS run --jsn)
expect_run(run-help 0 ARGS run --help STDOUT "--gdb PORT" "target remote 127.0.0.1:1234")
expect_run(gdb-port-out-of-range 2 ARGS run --gdb 65536)
expect_run(gdb-and-instruction-trace 2 ARGS run --gdb 0 --trace=insn STDERR "use one")
expect_run(default-run 0 ARGS run STDOUT "Reinstall Descriptor Status = 0." "entry status 0x00000000"
           "sata[0]         1:01*      1:02*      1:08*")
expect_run(json 0 ARGS run ${WORK}/acpi7.toml --json
           STDOUT "\"pmc\": {\n    \"acpi_base\": 1280,\n    \"acpi_control\": 135\n  }"
                  "\"entry_status\": 0" "\"slot15_called\": true" "\"fault\": null")
expect_run(trace 0 ARGS run --trace STDOUT "== trace ==" "GetPchStepping+0x1F (ServerSktPkg" "PWRM+0x012C DWR"
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
           "reused/fresh" "40162 guest instructions per boot, CPU engine Unicorn 2.")
expect_run(version 0 ARGS --version STDOUT "peiboard, CPU engine Unicorn 2.")
expect_run(bench-zero 2 ARGS bench --runs 0)
expect_run(missing-image 2 ARGS run --image ${WORK}/none.efi STDERR "none.efi: cannot open the image")
file(WRITE ${WORK}/not-pe.efi "MZ but not a PE image")
expect_run(not-an-image 2 ARGS image ${WORK}/not-pe.efi STDERR "not-pe.efi:")

# Input that is not a scenario file, and output that cannot be written, are errors (exit 2).
file(MAKE_DIRECTORY ${WORK}/a-directory.toml)
execute_process(COMMAND mkfifo ${WORK}/fifo.toml)
expect_run(device 2 ARGS run /dev/zero STDERR "/dev/zero: is not a regular file")
expect_run(directory 2 ARGS run ${WORK}/a-directory.toml STDERR "a-directory.toml: is a directory")
expect_run(fifo 2 ARGS run ${WORK}/fifo.toml STDERR "fifo.toml: is not a regular file")
execute_process(COMMAND sh -c "\"$0\" run ''" ${PEIBOARD} RESULT_VARIABLE rc ERROR_VARIABLE err)
if(NOT rc EQUAL 2 OR NOT err MATCHES "an empty path names no scenario file")
  message(SEND_ERROR "empty-path: exit ${rc}, expected 2\n${err}")
endif()
expect_run(image-device 2 ARGS run --image /dev/zero STDERR "/dev/zero: is not a regular file")
execute_process(COMMAND ${PEIBOARD} run OUTPUT_FILE /dev/full RESULT_VARIABLE rc ERROR_VARIABLE err)
if(NOT rc EQUAL 2 OR NOT err MATCHES "cannot write the report")
  message(SEND_ERROR "full-output: exit ${rc}, expected 2\n${err}")
endif()
execute_process(COMMAND sh -c "exec >&-; \"$0\" run --json" ${PEIBOARD} RESULT_VARIABLE rc
                ERROR_VARIABLE err)
if(NOT rc EQUAL 2 OR NOT err MATCHES "cannot write the report")
  message(SEND_ERROR "closed-output: exit ${rc}, expected 2\n${err}")
endif()

# A guest fault is a report with exit status 1: here the PCI Express base the PCD gives puts
# the PMC's configuration registers over the image, and the entry point writes to them.
file(WRITE ${WORK}/fault.toml "[pcd]\npcie_base = 0xFFE06000\n")
expect_run(fault 1 ARGS run ${WORK}/fault.toml
           STDOUT "FAULT:    fault: write protected at 0xFFF00040" "in MmioWrite16"
                  "region: module headers")
expect_run(fault-json 1 ARGS run ${WORK}/fault.toml --json
           STDOUT "\"kind\": \"fault: write protected\"" "\"region\": \"module headers\"")

# With the debug file beside the image, reports name source lines; --trace=insn lists
# instructions.
expect_run(fault-source 1 ARGS run ${WORK}/fault.toml
           STDOUT "at MmioWrite16+0x" "(BasePkg/Library/BaseIoLibIntrinsic/IoLib.cpp:" "       => 0xFFF")
expect_run(trace-insn 0 ARGS run --trace=insn STDOUT "== instructions ==" "SystemBoardOverrideEntryPoint ("
           "  0xFFF012BC  ")
expect_run(trace-bad 2 ARGS run --trace=everything)
expect_run(missing-debug-file 2 ARGS run --debug-file ${WORK}/none.elf STDERR "none.elf")

# The image in its shipped forms: a volume without a link map is described, not booted.
file(COPY_FILE ${FIRMWARE_FV} ${WORK}/nomap.fv)
expect_run(image-volume-without-map 0 ARGS image ${WORK}/nomap.fv
           STDOUT "firmware volume, FFS2" "placed     at 0xFFF00000"
                  "depex      PUSH 06E81C58-4AD7-44BC-8390-F10265F72480 (PCD PPI) END"
                  "version    1.0 (build 1)" "cannot find SystemBoardOverrideEntryPoint")
expect_run(run-volume-without-map 2 ARGS run --image ${WORK}/nomap.fv
           STDERR "nomap.fv: the link map names no SystemBoardOverrideEntryPoint")
expect_run(run-volume 0 ARGS run --image ${FIRMWARE_FV} STDOUT "entry status 0x00000000")
file(WRITE ${WORK}/bad.map " Preferred load address is 00000000fff00000\n\n"
                           "  Address  Publics by Value\n"
                           " 0001:00000000  _X  0000000fff00220000  a.obj\n")
expect_run(bad-map 2 ARGS image --map ${WORK}/bad.map
           STDERR "bad.map:4: address '0000000fff00220000' is longer than 16 hex digits")

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
           --debug-file ${WORK}/none.elf STDERR "none.elf")
expect_run(coverage-unwritable 2 ARGS coverage scenarios/default.toml --lcov ${WORK}/no/such/dir/c.info
           STDERR "cannot write")
