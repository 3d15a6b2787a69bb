#!/usr/bin/env python3
"""Reads a JUnit XML file with a real XML parser and checks its verdicts.

    junit_check.py FILE PATH=ok|failure|error[:TEXT] ...

Each PATH names a test case that must be there with that outcome (and TEXT in the failure's
or error's text); the suite's counts must match the cases listed, which must be all of them.
"""
import sys
import xml.etree.ElementTree as ET


def fail(why):
    sys.exit(f"junit_check: {sys.argv[1]}: {why}")


def main():
    root = ET.parse(sys.argv[1]).getroot()  # raises on anything that is not well-formed XML
    if root.tag != "testsuites":
        fail(f"root element is <{root.tag}>, not <testsuites>")
    suites = root.findall("testsuite")
    if len(suites) != 1:
        fail(f"{len(suites)} test suites, expected 1")
    suite = suites[0]
    cases = {case.get("name"): case for case in suite.findall("testcase")}
    wanted = [arg.split("=", 1) for arg in sys.argv[2:]]
    if sorted(cases) != sorted(path for path, _ in wanted):
        fail(f"test cases {sorted(cases)}, expected {sorted(p for p, _ in wanted)}")
    counts = {"failure": 0, "error": 0}
    for path, outcome in wanted:
        kind, _, text = outcome.partition(":")
        case = cases[path]
        children = [child.tag for child in case]
        if kind == "ok":
            if children:
                fail(f"{path}: passed, yet has {children}")
            continue
        counts[kind] += 1
        found = case.find(kind)
        if found is None or children != [kind]:
            fail(f"{path}: expected one <{kind}>, has {children}")
        if text and text not in (found.text or ""):
            fail(f"{path}: <{kind}> lacks {text!r}: {found.text!r}")
        if not found.get("message"):
            fail(f"{path}: <{kind}> has no message")
    for element in (root, suite):
        for name, want in (("tests", len(wanted)), ("failures", counts["failure"]),
                           ("errors", counts["error"])):
            if element.get(name) != str(want):
                fail(f"<{element.tag}> {name}={element.get(name)!r}, expected {want}")
    print(f"junit_check: {len(wanted)} test cases as expected")


main()
