#!/usr/bin/env python3
"""The summary of one architecture's test run, from GoogleTest's XML reports (scripts/test):
  test_summary.py ARCH REPORTS SUITE...
prints "ARCH: N passed, N failed, N skipped", then "  skipped Suite.Case: reason" for each skipped case, and
exits 1 when any case failed. SUITE names every CTest suite of the run: one that left no report in REPORTS
(its process died) is named and counts as one failure, as does a report that cannot be read."""
import os
import sys
import xml.etree.ElementTree as ElementTree


def main(arch, reports, suites):
    missing = 0
    for suite in suites:
        if not os.path.isfile(os.path.join(reports, f"{suite}.xml")):
            print(f"{arch}: {suite} left no report")
            missing += 1
    cases = failed = 0
    skipped = []
    names = sorted(n for n in os.listdir(reports) if n.endswith(".xml")) if os.path.isdir(reports) else []
    for name in names:
        try:
            root = ElementTree.parse(os.path.join(reports, name)).getroot()
        except ElementTree.ParseError as error:
            print(f"{arch}: {name} cannot be read: {error}")
            missing += 1
            continue
        for case in root.iter("testcase"):
            if case.get("status") != "notrun":
                cases += 1
            if case.find("failure") is not None:
                failed += 1
            if case.get("result") == "skipped":
                # The skip's text is its location on the first line, then the reason given.
                text = case.find("skipped")
                lines = (text.text or "").split("\n")[1:] if text is not None else []
                reason = "".join(f": {line}" for line in lines if line)
                skipped.append(f"{case.get('classname')}.{case.get('name')}{reason}")
    print(f"{arch}: {cases - failed - len(skipped)} passed, {failed + missing} failed, {len(skipped)} skipped")
    for case in skipped:
        print(f"  skipped {case}")
    return 1 if failed + missing > 0 else 0


if __name__ == "__main__":
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    sys.exit(main(sys.argv[1], sys.argv[2], sys.argv[3:]))
