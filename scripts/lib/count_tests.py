#!/usr/bin/env python3
"""Prints "<passed> <failed>" for one `meson test` run.

Cases are counted from the JUnit log (each GoogleTest case, and each plain
test, is one case). A test program that failed without any failing case in
the log (a crash, a timeout) counts as one more failure.
"""
import json
import os
import sys
import xml.etree.ElementTree as ET


def main(junit_path):
    log_dir = os.path.dirname(junit_path)
    try:
        root = ET.parse(junit_path).getroot()
    except (OSError, ET.ParseError):
        print("0 1")
        return
    passed = failed = 0
    failing_suites = set()
    for suite in root.iter("testsuite"):
        for case in suite.findall("testcase"):
            tags = {child.tag for child in case}
            if tags & {"failure", "error"}:
                failed += 1
                failing_suites.add(suite.get("name"))
            elif "skipped" not in tags:
                passed += 1
    extra = 0
    try:
        with open(os.path.join(log_dir, "testlog.json")) as f:
            for line in f:
                entry = json.loads(line)
                if entry.get("result") not in ("OK", "SKIP", "EXPECTEDFAIL"):
                    name = entry.get("name", "")
                    if not any(s and name.endswith(s.split(":")[-1]) for s in failing_suites):
                        extra += 1
    except OSError:
        extra += 1
    print(passed, failed + extra)


if __name__ == "__main__":
    main(sys.argv[1])
