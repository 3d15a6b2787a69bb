#!/bin/bash
# peiboard run --gdb against the real client: gdb-multiarch loads the module's debug file,
# connects, and drives the boot. Each session checks what gdb printed, the exit status and the
# run's report. Every wait is bounded; a missing client or a silent stub fails, never hangs.
#
# usage: gdb_session_test.sh PEIBOARD DEBUG_ELF GDB WORK_DIR SCRIPTS_DIR
set -u
PEIBOARD=$1 ELF=$2 GDB=$3 WORK=$4 SCRIPTS=$5
mkdir -p "$WORK"
passed=0 failed=0

fail() { echo "FAIL: $*"; failed=$((failed + 1)); }
ok() { passed=$((passed + 1)); }

# start_stub NAME ARGS...: peiboard run --gdb 0 ARGS in the background, on the port it prints.
start_stub() {
  local name=$1
  shift
  rm -f "$WORK/$name.report" "$WORK/$name.stderr" "$WORK/$name.gdb"
  timeout 120 "$PEIBOARD" run --gdb 0 "$@" >"$WORK/$name.report" 2>"$WORK/$name.stderr" &
  STUB=$!
  PORT=
  for _ in $(seq 200); do
    PORT=$(sed -n 's/.*waiting for GDB on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$WORK/$name.stderr")
    [ -n "$PORT" ] && return 0
    kill -0 "$STUB" 2>/dev/null || break
    sleep 0.05
  done
  fail "$name: peiboard does not listen"
  cat "$WORK/$name.stderr"
  kill "$STUB" 2>/dev/null
  return 1
}

# debug NAME GDB-ARGS...: one batch session against the stub; its output in NAME.gdb.
debug() {
  local name=$1
  shift
  timeout 60 "$GDB" -batch -nx -ex "set pagination off" -ex "file $ELF" \
    -ex "target remote 127.0.0.1:$PORT" -x "$SCRIPTS/frames.py" "$@" >"$WORK/$name.gdb" 2>&1
  local status=$?
  if [ $status -ne 0 ]; then
    fail "$name: gdb exited with $status"
    kill "$STUB" 2>/dev/null  # a stub still waiting for its client ends now
  fi
}

# finished NAME STATUS: the stub's run ended with that exit status.
finished() {
  wait "$STUB"
  local status=$?
  if [ $status -eq "$2" ]; then ok; else fail "$1: peiboard exited with $status, expected $2"; fi
}

# says NAME COUNT TEXT: gdb's output holds TEXT on COUNT lines.
says() {
  local count
  count=$(grep -cF -- "$3" "$WORK/$1.gdb")
  if [ "$count" -eq "$2" ]; then ok; else fail "$1: '$3' on $count lines, expected $2"; fi
}

# same_report NAME FILE: the stub's report equals FILE (the same run without the stub).
same_report() {
  if cmp -s "$WORK/$1.report" "$2"; then
    ok
  else
    fail "$1: the report differs from the run without the stub"
    diff "$2" "$WORK/$1.report" | head -20
  fi
}

show() {
  echo "---- $1: gdb ----"
  cat "$WORK/$1.gdb"
  echo "---- $1: peiboard stderr ----"
  cat "$WORK/$1.stderr"
}

# 1. Break on slot 15, read the policy argument, step, run to the end.
"$PEIBOARD" run --json >"$WORK/default.json"
if start_stub slot --json; then
  debug slot -x "$SCRIPTS/slot.gdb"
  finished slot 0
  says slot 1 "Breakpoint 1, "
  says slot 1 "setup argument = 0x400000"
  says slot 1 "policy argument = 0x402000"
  says slot 1 "stepi ran one instruction: True"
  says slot 1 "[Inferior 1 (Remote target) exited normally]"
  same_report slot "$WORK/default.json"
  [ $failed -eq 0 ] || show slot
fi

# 2. A write to the setup record changes the run as the same setup in a scenario does; a
#    deleted breakpoint stops no more.
before=$failed
printf '[setup]\npcie_topology = [3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0]\n' \
  >"$WORK/topology3.toml"
"$PEIBOARD" run --json "$WORK/topology3.toml" | sed 's/"scenario": ".*"/"scenario": "default board"/' \
  >"$WORK/topology3.json"
if start_stub write --json; then
  debug write -x "$SCRIPTS/remove-and-write.gdb"
  finished write 0
  says write 1 "Breakpoint 1, ApplyBoardPtssTables (Setup=0x400000, Policy=0x402000)"
  says write 1 "root port 0 topology = 3"
  says write 2 "Breakpoint 2, MmioRead32"
  says write 1 "[Inferior 1 (Remote target) exited normally]"
  same_report write "$WORK/topology3.json"
  if cmp -s "$WORK/write.report" "$WORK/default.json"; then fail "write: the run did not change"; else ok; fi
  [ $failed -eq $before ] || show write
fi

# 3. A fault stops with SIGSEGV where it happened, says why, and ends the run.
before=$failed
printf '[pcd]\npcie_base = 0xFFE06000\n' >"$WORK/pmc-over-image.toml"
"$PEIBOARD" run --json "$WORK/pmc-over-image.toml" >"$WORK/fault.json"
if start_stub fault --json "$WORK/pmc-over-image.toml"; then
  debug fault -x "$SCRIPTS/fault.gdb"
  finished fault 1
  says fault 1 "peiboard: fault: write protected at 0xFFF00040 (module headers)"
  says fault 1 "Program received signal SIGSEGV, Segmentation fault."
  says fault 1 "MmioWrite16 (Address="
  says fault 1 "stopped at $(printf '%#x' "$(sed -n 's/.*"eip": \([0-9]*\).*/\1/p' "$WORK/fault.json" | head -1)")"
  says fault 1 "fault: MmioWrite16 <- SetPmcAcpiBase <- SystemBoardOverrideEntryPoint; 0 without"
  says fault 1 "[Inferior 1 (Remote target) exited with code 01]"
  same_report fault "$WORK/fault.json"
  [ $failed -eq $before ] || show fault
fi

# 4. Ctrl-C stops a running guest with SIGINT; a hang stops with SIGTRAP and says so.
before=$failed
if start_stub interrupt --json; then
  debug interrupt -x "$SCRIPTS/interrupt.gdb"
  finished interrupt 1
  says interrupt 1 "Program received signal SIGINT, Interrupt."
  says interrupt 1 "interrupted at 0x"
  says interrupt 1 "peiboard: hang: instruction budget exhausted at 0x"
  says interrupt 1 "Program received signal SIGTRAP, Trace/breakpoint trap."
  says interrupt 1 "[Inferior 1 (Remote target) exited with code 01]"
  if grep -qF '"kind": "hang: instruction budget exhausted"' "$WORK/interrupt.report"; then ok; else
    fail "interrupt: the report shows no hang"
  fi
  [ $failed -eq $before ] || show interrupt
fi

# 5. A write watchpoint stops after the store; detaching lets the run finish as it would have
#    without the stub.
before=$failed
if start_stub detach --json; then
  debug detach -x "$SCRIPTS/detach.gdb"
  finished detach 0
  says detach 1 "Breakpoint 1, MmioRead32"
  says detach 2 "Hardware watchpoint 2: *(unsigned int *)(0x402000 + 3538)"
  says detach 1 "Old value = 0"
  says detach 1 "watchpoint: ApplySataLanePtssEntry <- ApplySataControllerPtss <- ApplySataPtss <- ApplyBoardPtssTables <- host; 0 without a source line"
  says detach 1 "[Inferior 1 (Remote target) detached]"
  same_report detach "$WORK/default.json"
  [ $failed -eq $before ] || show detach
fi

# 6. Call frames from the debug file's call-frame information: a backtrace through an inlined
#    routine with every frame's line, up, info frame, finish with the value returned, and the
#    callers at every instruction of a routine, its prologue and epilogue included.
before=$failed
if start_stub backtrace --json; then
  debug backtrace -x "$SCRIPTS/backtrace.gdb"
  finished backtrace 0
  says backtrace 1 "two calls deep: PcdGet64 <- GetPciExpressBase <- PciExpressRead8 <- SystemBoardOverrideEntryPoint; 0 without a source line"
  says backtrace 2 "#1  0x"  # bt and up
  says backtrace 1 " inlined into frame 2, caller of frame at 0x"
  says backtrace 1 "  eip at 0x"
  says backtrace 3 "in GetPciExpressBase () at "  # bt, up, and where finish returns
  says backtrace 1 "Value returned is \$1 = 2147483648"
  says backtrace 1 "walked PchPwrmBaseGet: 27 instructions, 0 with another chain, returned to its caller: True"
  says backtrace 1 "[Inferior 1 (Remote target) exited normally]"
  same_report backtrace "$WORK/default.json"
  [ $failed -eq $before ] || show backtrace
fi

echo "gdb sessions: $passed passed, $failed failed"
[ $failed -eq 0 ]
