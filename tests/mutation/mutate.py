#!/usr/bin/env python3
"""Mutation runs over the module: does the test suite notice a condition changed by one?

Each mutation in mutations.toml names a firmware file, an exact piece of its text (which must
occur once), the text that replaces it, and what the change means. For every mutation this tool
changes a scratch copy of the tree, rebuilds the module image, runs the module tests and the
scenario checks, restores the file, and says whether the suite killed the mutant (some test
failed) or let it survive. The working tree is never touched.

A developer tool, not run by CI: a full run takes some minutes (one firmware rebuild and one
suite run per mutation). From the top of the tree:

    python3 tests/mutation/mutate.py                 # every mutation
    python3 tests/mutation/mutate.py --only HobLib   # those whose file or text mentions HobLib
    python3 tests/mutation/mutate.py --check         # only check that every mutation applies

The scratch copy and its build stay in --work (default $TMPDIR/peiboard-mutation), so a second
run only rebuilds what changed. Mutations marked `survives = "why"` are known not to be
observable through a boot (equivalent mutants); they are run and listed apart, and it is
reported if one of them is killed after all.
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time
import tomllib
from pathlib import Path

HERE = Path(__file__).resolve().parent
TOP = HERE.parent.parent
SUITE_TIMEOUT = 300  # seconds; the emulator's instruction budget ends hangs long before


def load_mutations(path):
    with open(path, "rb") as f:
        data = tomllib.load(f)
    mutations = data.get("mutation", [])
    for i, m in enumerate(mutations):
        for key in ("file", "from", "to", "what"):
            if key not in m:
                sys.exit(f"{path}: mutation {i + 1} has no '{key}'")
        m["index"] = i + 1
    return mutations


def tracked_files():
    out = subprocess.run(["git", "ls-files", "-co", "--exclude-standard"], cwd=TOP, check=True,
                         capture_output=True, text=True).stdout
    return [p for p in out.splitlines() if p and (TOP / p).is_file()]


def sync_tree(src):
    """Copies the tree (tracked and new files, as they are now) into src, rewriting only files
    whose content differs so that the scratch build stays incremental."""
    wanted = set(tracked_files())
    for rel in wanted:
        source, target = TOP / rel, src / rel
        data = source.read_bytes()
        if target.is_file() and target.read_bytes() == data:
            continue
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_bytes(data)
        shutil.copymode(source, target)
    for path in src.rglob("*"):
        if path.is_file() and str(path.relative_to(src)) not in wanted:
            path.unlink()


def run(cmd, cwd=None, timeout=None):
    try:
        p = subprocess.run(cmd, cwd=cwd, capture_output=True, text=True, timeout=timeout)
        return p.returncode, p.stdout + p.stderr
    except subprocess.TimeoutExpired as e:
        out = (e.stdout or b"").decode(errors="replace") if isinstance(e.stdout, bytes) else ""
        return -1, out + f"\n(timed out after {timeout} s)"


class Suite:
    def __init__(self, work, jobs):
        self.src = work / "src"
        self.build = work / "build"
        self.jobs = jobs

    def prepare(self):
        self.src.mkdir(parents=True, exist_ok=True)
        sync_tree(self.src)
        if not (self.build / "CMakeCache.txt").exists():
            rc, out = run(["cmake", "-S", str(self.src), "-B", str(self.build),
                           "-DCMAKE_BUILD_TYPE=RelWithDebInfo"])
            if rc != 0:
                sys.exit("configure failed:\n" + out)
        rc, out = run(["cmake", "--build", str(self.build), "-j", str(self.jobs), "--target",
                       "firmware", "module_tests", "peiboard"])
        if rc != 0:
            sys.exit("build of the unchanged tree failed:\n" + out)

    def build_firmware(self):
        return run(["cmake", "--build", str(self.build), "-j", str(self.jobs), "--target",
                    "firmware"])

    def scenario_files(self):
        return sorted(str(p) for p in self.src.glob("scenarios/*.toml")) + sorted(
            str(p) for p in self.src.glob("tests/scenarios/*.toml"))

    def run(self):
        """None when everything passes, else the name of the first thing that failed."""
        rc, out = run([str(self.build / "tests" / "module_tests"), "--gtest_brief=1",
                       "--gtest_fail_fast"], timeout=SUITE_TIMEOUT)
        if rc != 0:
            for line in out.splitlines():
                if line.startswith("[  FAILED  ]") and "." in line:
                    return line[len("[  FAILED  ]"):].strip().split(" ")[0]
            return "module_tests (exit %d)" % rc
        rc, out = run([str(self.build / "cli" / "peiboard"), "check"] + self.scenario_files(),
                      timeout=SUITE_TIMEOUT)
        if rc != 0:
            for line in out.splitlines():
                if line.startswith("FAIL "):
                    return "scenario " + Path(line.split()[-1]).name
            return "peiboard check (exit %d)" % rc
        return None


def apply(src, mutation):
    path = src / mutation["file"]
    if not path.is_file():
        return None, f"no file {mutation['file']}"
    text = path.read_text()
    found = text.count(mutation["from"])
    if found != 1:
        return None, f"its text occurs {found} times in {mutation['file']}"
    return text, text.replace(mutation["from"], mutation["to"], 1)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--work", type=Path,
                        default=Path(tempfile.gettempdir()) / "peiboard-mutation",
                        help="scratch copy and build (kept between runs)")
    parser.add_argument("--mutations", type=Path, default=HERE / "mutations.toml")
    parser.add_argument("--only", action="append", default=[],
                        help="run the mutations whose file, text or description has this")
    parser.add_argument("--check", action="store_true",
                        help="only check that every mutation applies to the current tree")
    parser.add_argument("-j", "--jobs", type=int, default=2)
    args = parser.parse_args()

    mutations = load_mutations(args.mutations)
    if args.only:
        mutations = [m for m in mutations if any(
            o in m["file"] or o in m["from"] or o in m["what"] for o in args.only)]

    if args.check:
        bad = 0
        for m in mutations:
            original, result = apply(TOP, m)
            if original is None:
                bad += 1
                print(f"#{m['index']:3} does not apply: {result} ({m['what']})")
        print(f"{len(mutations)} mutations, {bad} do not apply")
        return 1 if bad else 0

    suite = Suite(args.work.resolve(), args.jobs)
    print(f"preparing {suite.src} ...", flush=True)
    suite.prepare()
    failed = suite.run()
    if failed:
        sys.exit(f"the unchanged tree already fails: {failed}")

    started = time.monotonic()
    killed, survived, expected, surprising, broken = [], [], [], [], []
    for m in mutations:
        original, mutated = apply(suite.src, m)
        label = f"#{m['index']:3} {m['file'].split('/')[-1]}: {m['what']}"
        if original is None:
            broken.append((m, mutated))
            print(f"NOT APPLIED {label} ({mutated})", flush=True)
            continue
        path = suite.src / m["file"]
        try:
            path.write_text(mutated)
            rc, out = suite.build_firmware()
            if rc != 0:
                broken.append((m, "does not build"))
                print(f"NO BUILD    {label}", flush=True)
                continue
            failed = suite.run()
        finally:
            path.write_text(original)
        if failed and "survives" in m:
            surprising.append((m, failed))
            print(f"killed      {label}  <- {failed} (marked as a survivor)", flush=True)
        elif failed:
            killed.append((m, failed))
            print(f"killed      {label}  <- {failed}", flush=True)
        elif "survives" in m:
            expected.append(m)
            print(f"survived    {label}  (expected: {m['survives']})", flush=True)
        else:
            survived.append(m)
            print(f"SURVIVED    {label}", flush=True)
    suite.build_firmware()

    tried = len(killed) + len(survived) + len(expected) + len(surprising)
    print()
    print(f"{tried} mutations tried in {time.monotonic() - started:.0f} s: "
          f"{len(killed) + len(surprising)} killed, {len(survived)} survived, "
          f"{len(expected)} survived as expected, {len(broken)} not applied or not built")
    for m in survived:
        print(f"  survivor #{m['index']}: {m['file']}: {m['what']}")
    for m, why in broken:
        print(f"  broken #{m['index']}: {m['file']}: {m['what']} ({why})")
    return 1 if survived or broken else 0


if __name__ == "__main__":
    sys.exit(main())
