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
           STDOUT "FAIL" "entry_status: expected 5, got 0" "sata[0] setting 1: expected 1:00, got 1:01"
                  "sata[0] setting 2: expected 0:00, got 1:02" "0 ok, 1 failed\n")
expect_run(check-needs-expect 2 ARGS check ${WORK}/acpi7.toml STDOUT "FAIL" "acpi7.toml: no [expect]")

# check for CI: a file that cannot be read or has nothing to check is one failed entry and the
# files after it still run; the results also go out as JUnit XML (read back by a real XML
# parser) and as JSON.
file(REMOVE ${WORK}/check.xml)
set(CHECKED scenarios/default.toml tests/cli/wrong-expectation.toml ${WORK}/none.toml
            ${WORK}/acpi7.toml scenarios/lp-part.toml "${WORK}/<a&b>.toml")
expect_run(check-ci 2 ARGS check ${CHECKED} --junit ${WORK}/check.xml
           STDOUT "ok    scenarios/default.toml\nFAIL  tests/cli/wrong-expectation.toml\n"
                  "FAIL  ${WORK}/none.toml\n      ${WORK}/none.toml: cannot open"
                  "ok    scenarios/lp-part.toml\n" "2 ok, 4 failed\n")
execute_process(COMMAND python3 ${CMAKE_CURRENT_LIST_DIR}/junit_check.py ${WORK}/check.xml
                        scenarios/default.toml=ok
                        "tests/cli/wrong-expectation.toml=failure:sata[0] setting 2: expected 0:00, got 1:02"
                        "${WORK}/none.toml=error:cannot open"
                        "${WORK}/acpi7.toml=error:no [expect]" scenarios/lp-part.toml=ok
                        "${WORK}/<a&b>.toml=error:<a&b>.toml: cannot open"
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(SEND_ERROR "check-junit: ${out}${err}")
endif()
execute_process(COMMAND ${PEIBOARD} check ${CHECKED} --json WORKING_DIRECTORY ${SOURCE}
                RESULT_VARIABLE rc OUTPUT_VARIABLE out)
string(JSON verdict GET "${out}" scenarios 1 verdict)
string(JSON difference GET "${out}" scenarios 1 differences 1)
string(JSON error GET "${out}" scenarios 3 error)
string(JSON counts GET "${out}" ok)
string(JSON failed_count GET "${out}" failed)
if(NOT rc EQUAL 2 OR NOT verdict STREQUAL "failed" OR NOT counts EQUAL 2 OR NOT failed_count EQUAL 4
   OR NOT difference STREQUAL "sata[0] setting 1: expected 1:00, got 1:01"
   OR NOT error MATCHES "acpi7.toml: no \\[expect\\] to check$")
  message(SEND_ERROR "check-json: exit ${rc}\n${out}")
endif()
expect_run(check-junit-unwritable 2 ARGS check scenarios/default.toml --junit ${WORK}/no/dir/c.xml
           STDERR "cannot write")
expect_run(image 0 ARGS image STDOUT "form       PE32 image\nverdict    intact\n" "machine         i386"
           "subsystem       EFI boot service driver" "names      from the link map" "base       0xFFF00000\nentry      0xFFF012BC\n"
           "  0xFFF012BC  SystemBoardOverrideEntryPoint\n")
# The names split into routines (in code) and data (elsewhere).
execute_process(COMMAND ${PEIBOARD} image --json RESULT_VARIABLE rc OUTPUT_VARIABLE out)
set(kinds "")
foreach(kind IN ITEMS routines data)
  string(JSON count LENGTH "${out}" names ${kind})
  math(EXPR last "${count} - 1")
  foreach(i RANGE ${last})
    string(JSON name GET "${out}" names ${kind} ${i} name)
    if(name MATCHES "^(SystemBoardOverrideEntryPoint|ApplyBoardPtssTables|PtssTableA|gPcdPpiGuid)$")
      list(APPEND kinds "${name}=${kind}")
    endif()
  endforeach()
endforeach()
list(SORT kinds)
if(NOT rc EQUAL 0 OR NOT kinds STREQUAL
   "ApplyBoardPtssTables=routines;PtssTableA=data;SystemBoardOverrideEntryPoint=routines;gPcdPpiGuid=data")
  message(SEND_ERROR "image-names: exit ${rc}, ${kinds}")
endif()

file(WRITE ${WORK}/halt.toml "[debug]\nhalt_on_assert = true\n[hob.platform_info]\npresent = false\n")
expect_run(halted-run 1 ARGS run ${WORK}/halt.toml STDOUT "FAULT:    halt: assertion (halt_on_assert)"
           "in GetBoardId" "!! ASSERT QuarnelPkg/Library/SystemBoardPpiLib/SystemBoardPpiLib(91)")
expect_run(bench 0 ARGS bench --runs 3 --fresh STDOUT "reused        3 boots in" "fresh         3 boots in"
           "reused/fresh" "40162 guest instructions per boot, CPU engine Unicorn 2.")
expect_run(version-engine 0 ARGS --version STDOUT ", CPU engine Unicorn 2.")
expect_run(bench-zero 2 ARGS bench --runs 0)
expect_run(missing-image 2 ARGS run --image ${WORK}/none.efi STDERR "none.efi: cannot open the image")
file(WRITE ${WORK}/not-pe.efi "MZ but not a PE image")
expect_run(not-an-image 1 ARGS image ${WORK}/not-pe.efi
           STDOUT "verdict    broken: 1 problem" "image PE32 image  BROKEN" "!! headers: holds not a PE or TE image (no DOS header)")
expect_run(image-unreadable 2 ARGS image ${WORK}/none.efi STDERR "none.efi: cannot open")

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
# A reader that goes away (a pipe into head) ends the run quietly, by SIGPIPE, as other Unix
# tools end: no message, and the shell sees 128 + 13.
execute_process(COMMAND bash -c "\"$0\" run --trace=insn | head -1 > /dev/null; echo \${PIPESTATUS[0]}"
                        ${PEIBOARD} OUTPUT_VARIABLE status ERROR_VARIABLE err)
string(STRIP "${status}" status)
if(NOT status EQUAL 141 OR NOT err STREQUAL "")
  message(SEND_ERROR "closed-pipe: status ${status}, expected 141 (SIGPIPE)\n${err}")
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
# The instruction trace lists what the stats count: the module's instructions.
execute_process(COMMAND ${PEIBOARD} run --trace=insn --json OUTPUT_VARIABLE out RESULT_VARIABLE rc)
string(JSON listed LENGTH "${out}" instructions)
string(JSON dropped GET "${out}" instructions_dropped)
string(JSON counted GET "${out}" stats instructions)
math(EXPR traced "${listed} + ${dropped}")
if(NOT rc EQUAL 0 OR NOT traced EQUAL counted)
  message(SEND_ERROR "trace-insn-count: ${traced} instructions traced, ${counted} counted")
endif()
# --trace alone is the calls trace and leaves the scenario to the scenario.
expect_run(trace-then-scenario 0 ARGS run --trace scenarios/lp-part.toml
           STDOUT "(scenarios/lp-part.toml)" "== trace ==")
expect_run(version 0 ARGS --version STDOUT "peiboard 0.1.0")
expect_run(parser-error-prefix 2 ARGS run --jsn STDERR "peiboard: The following argument")
expect_run(defaults-shown 0 ARGS bench --help STDOUT "--runs INT:INT in [1 - 10000000]=2000")
expect_run(missing-debug-file 2 ARGS run --debug-file ${WORK}/none.elf STDERR "none.elf")

# The image in its shipped forms: a volume without a link map is described, and boots on the
# entry point its header gives; its names come from the debug file when one is passed.
file(COPY_FILE ${FIRMWARE_FV} ${WORK}/nomap.fv)
set(NAMES_HINT "pass its link map (--map QuarnelPeiSystemBoardOverride.map) or its debug file (--debug-file QuarnelPeiSystemBoardOverride.debug.elf)")
expect_run(image-volume-without-map 0 ARGS image ${WORK}/nomap.fv
           STDOUT "form       firmware volume" "placed     at 0xFFF00000" "file system     8C8CE578-8A3D-4F1C-9935-896185C32DD3 (FFS2)"
                  "0x00000148  0x000032D8        image TE image" "adjusted base   0xFFF00148"
                  "expression      PUSH 06E81C58-4AD7-44BC-8390-F10265F72480 (PCD PPI) END"
                  "names      none: ${NAMES_HINT}")
expect_run(image-volume-debug-file 0 ARGS image ${WORK}/nomap.fv --debug-file ${FIRMWARE_DEBUG_ELF}
           STDOUT "names      from the debug file" "  0xFFF012BC  SystemBoardOverrideEntryPoint\n")
expect_run(run-volume-without-map 0 ARGS run --image ${WORK}/nomap.fv STDOUT "entry status 0x00000000")
file(WRITE ${WORK}/ptss.toml "[ptss]\nentries = []\n")
expect_run(run-volume-needs-names 2 ARGS run --image ${WORK}/nomap.fv ${WORK}/ptss.toml
           STDERR "hold no PtssTableA: ${NAMES_HINT}")
expect_run(run-volume-debug-names 0 ARGS run --image ${WORK}/nomap.fv ${WORK}/ptss.toml
           --debug-file ${FIRMWARE_DEBUG_ELF} STDOUT "slot 15 called")
expect_run(run-volume 0 ARGS run --image ${FIRMWARE_FV} STDOUT "entry status 0x00000000")

# The dispatch order and the dependency expression: the System Board PPI first, then the same
# scenario from the FFS file without the PCD PPI, which the expression needs.
string(REPLACE ".fv" ".ffs" FIRMWARE_FFS ${FIRMWARE_FV})
expect_run(board-ppi-first 0 ARGS run scenarios/system-board-ppi-first.toml
           STDOUT "order:    System Board PPI installed before the entry point"
                  "notify:   SystemBoardPpiNotifyCallback by NotifyPpi [dispatch/notify] -> 0x00000000"
                  "            SystemBoardPpiNotifyCallback by ReInstallPpi [dispatch/notify] -> 0x00000000"
                  "chipset:  slot 15 called" "sata[0]         1:01*")
expect_run(board-ppi-first-json 0 ARGS run scenarios/system-board-ppi-first.toml --json
           STDOUT "\"system_board_ppi\": \"before-entry\"" "\"trigger\": \"NotifyPpi\",\n      \"depth\": 1"
                  "\"trigger\": \"ReInstallPpi\",\n      \"depth\": 2"
                  "\"phase\": \"dispatch/notify\",\n      \"kind\": \"print\"")
file(READ ${SOURCE}/scenarios/system-board-ppi-first.toml board_first)
string(FIND "${board_first}" "[expect]" expect_at)
string(SUBSTRING "${board_first}" 0 ${expect_at} board_first_inputs)
file(WRITE ${WORK}/no-pcd.toml
     "${board_first_inputs}[pcd]\nppi_present = false\n\n[expect]\ndispatched = false\n")
set(PCD_GUID 06E81C58-4AD7-44BC-8390-F10265F72480)
expect_run(not-dispatched 4 ARGS run ${WORK}/no-pcd.toml --image ${FIRMWARE_FFS}
           STDOUT "dispatch: not dispatched: the dependency expression PUSH ${PCD_GUID} (PCD PPI) END does not hold; not installed: ${PCD_GUID}"
                  "chipset:  slot 15 not called" "instructions 0,")
expect_run(not-dispatched-json 4 ARGS run ${WORK}/no-pcd.toml --image ${FIRMWARE_FFS} --json
           STDOUT "\"not_dispatched\": {\n    \"expression\": \"PUSH ${PCD_GUID} (PCD PPI) END\",\n    \"missing\": [\n      \"${PCD_GUID}\"\n    ]\n  }"
                  "\"entry_status\": null")
expect_run(check-not-dispatched 0 ARGS check ${WORK}/no-pcd.toml --image ${FIRMWARE_FV}
           STDOUT "ok    ")
# A PE32 image carries no expression: the module runs, and asserts without its PCD PPI.
expect_run(check-dispatched-without-expression 1 ARGS check ${WORK}/no-pcd.toml
           STDOUT "FAIL  " "dispatched: expected false, got dispatched")
file(WRITE ${WORK}/bad.map " Preferred load address is 00000000fff00000\n\n"
                           "  Address  Publics by Value\n"
                           " 0001:00000000  _X  0000000fff00220000  a.obj\n")
expect_run(bad-map 2 ARGS image --map ${WORK}/bad.map
           STDERR "bad.map:4: address '0000000fff00220000' is longer than 16 hex digits")

file(REMOVE ${WORK}/coverage.info)
expect_run(coverage 0 ARGS coverage scenarios/default.toml scenarios/lp-part.toml --lcov ${WORK}/coverage.info
           STDOUT "ok    scenarios/default.toml" "ok    scenarios/lp-part.toml" "lines " "branches ")
file(READ ${WORK}/coverage.info tracefile)
string(FIND "${tracefile}" "TN:peiboard_coverage\nSF:${SOURCE}/firmware/" at)
if(NOT at EQUAL 0)
  message(SEND_ERROR "coverage: the tracefile does not name sources under firmware/")
endif()
expect_run(coverage-halted 1 ARGS coverage ${WORK}/halt.toml --lcov ${WORK}/coverage.info
           STDOUT "FAIL  ${WORK}/halt.toml\n      fault: halt: assertion")
# coverage judges a boot as check does: by its [expect] when it has one.
expect_run(coverage-expectation 1 ARGS coverage tests/cli/wrong-expectation.toml --lcov ${WORK}/coverage.info
           STDOUT "FAIL  tests/cli/wrong-expectation.toml\n      entry_status: expected 5, got 0")
file(WRITE ${WORK}/halt-expected.toml "[debug]\nhalt_on_assert = true\n[hob.platform_info]\npresent = false\n"
                                      "[expect]\nfault = true\n")
expect_run(coverage-expected-fault 0 ARGS coverage ${WORK}/halt-expected.toml --lcov ${WORK}/coverage.info
           STDOUT "ok    ${WORK}/halt-expected.toml")
expect_run(check-expected-fault 0 ARGS check ${WORK}/halt-expected.toml STDOUT "1 ok, 0 failed")
expect_run(coverage-needs-lcov 2 ARGS coverage scenarios/default.toml STDERR "--lcov")
expect_run(coverage-bad-debug 2 ARGS coverage scenarios/default.toml --lcov ${WORK}/c.info
           --debug-file ${WORK}/none.elf STDERR "none.elf")
expect_run(coverage-unwritable 2 ARGS coverage scenarios/default.toml --lcov ${WORK}/no/such/dir/c.info
           STDERR "cannot write")

# Empty values name nothing: each is refused (exit 2) with the option named.
foreach(case IN ITEMS "run --gdb ''|--gdb" "run --map ''|--map" "run --debug-file ''|--debug-file"
                      "--image '' run|--image" "image ''|path" "fuzz --runs 1 --out ''|--out"
                      "fuzz --runs 1 --lcov ''|--lcov" "fuzz --runs 1 --corpus ''|--corpus"
                      "fuzz --runs 1 --seed-scenarios ''|--seed-scenarios" "coverage scenarios/default.toml --lcov ''|--lcov"
                      "coverage scenarios/default.toml --lcov c.info --sources ''|--sources")
  string(REPLACE "|" ";" parts "${case}")
  list(GET parts 0 arguments)
  list(GET parts 1 option)
  execute_process(COMMAND sh -c "exec \"$0\" ${arguments}" ${PEIBOARD} RESULT_VARIABLE rc
                  ERROR_VARIABLE err WORKING_DIRECTORY ${WORK} TIMEOUT 120)
  if(NOT rc EQUAL 2 OR NOT err MATCHES "^peiboard: ${option}: an empty value names nothing")
    message(SEND_ERROR "empty value '${arguments}': exit ${rc}, expected 2 naming ${option}\n${err}")
  endif()
endforeach()

# Names reach the terminal escaped as the JSON report escapes text: a file name holding an
# escape sequence (ESC c, a terminal reset) and a byte that is not UTF-8, and a scenario name
# holding one (ESC ( 0, line-drawing characters) and a bell, are shown, never acted on.
file(GLOB old_escape_files ${WORK}/esc*.toml)
file(REMOVE ${WORK}/escape.toml ${old_escape_files})
file(WRITE ${WORK}/escape.toml "name = \"x\\u001B(0\\u0007\"\n")
execute_process(COMMAND sh -c "mv escape.toml \"$(printf 'esc\\033c\\377.toml')\""
                WORKING_DIRECTORY ${WORK})
file(GLOB escape_files ${WORK}/esc*.toml)
string(ASCII 27 escape)
expect_run(escaped-name 2 ARGS check ${escape_files}
           STDOUT "esc\\x1Bc\\xFF.toml\n" "esc\\x1Bc\\xFF.toml: no [expect] to check")
expect_run(escaped-run 0 ARGS run ${escape_files}
           STDOUT "peiboard: x\\x1B(0\\x07 (" "esc\\x1Bc\\xFF.toml)\n")
execute_process(COMMAND ${PEIBOARD} run ${escape_files} OUTPUT_VARIABLE out ERROR_VARIABLE err)
string(FIND "${out}${err}" "${escape}" at)
if(NOT at EQUAL -1)
  message(SEND_ERROR "escaped-name: a raw escape character reached the output")
endif()

# A bench that stops names the scenario that made it stop.
expect_run(bench-fault 1 ARGS bench ${WORK}/fault.toml --runs 1
           STDERR "fault.toml: boot 0 stopped: fault: write protected")

# An internal error has its own status, 3, never the module's 1: here the CPU engine cannot
# have the room it translates code into. (AddressSanitizer cannot start under such a limit.)
if(NOT SANITIZE)
  execute_process(COMMAND sh -c "ulimit -v 600000; exec \"$0\" run" ${PEIBOARD} RESULT_VARIABLE rc
                  OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 120)
  if(NOT rc EQUAL 3 OR NOT err MATCHES "internal error: the CPU engine needs 1 GiB")
    message(SEND_ERROR "memory-limit: exit ${rc}, expected 3\n${err}")
  endif()
endif()
expect_run(help-exit-codes 0 ARGS --help STDOUT "3 an internal error")
