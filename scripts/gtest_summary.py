#!/usr/bin/env python3
"""Counts a GoogleTest XML report: passed, failed and skipped tests, with the
failures' names and the reason of every skip (grouped). With --total, one line
over several reports. Exit status 1 when a test failed or a report is missing
or cut short (the binary crashed)."""
import sys
import xml.etree.ElementTree as ET
from collections import Counter


def count(path):
    try:
        root = ET.parse(path).getroot()
    except (OSError, ET.ParseError) as e:
        return None, f"no complete report ({e})"
    passed, failed, skipped = 0, [], Counter()
    for case in root.iter("testcase"):
        name = f"{case.get('classname')}.{case.get('name')}"
        if case.find("failure") is not None:
            failed.append(name)
        elif case.get("result") == "skipped" or case.find("skipped") is not None:
            node = case.find("skipped")
            reason = (node.get("message") if node is not None else "") or ""
            skipped[reason.strip().splitlines()[-1] if reason.strip() else "(no reason given)"] += 1
        elif case.get("status") == "run":
            passed += 1
    return (passed, failed, skipped), None


def main(argv):
    total = argv[:1] == ["--total"]
    paths = argv[1:] if total else argv
    sums = [0, 0, 0]
    ok = True
    for path in paths:
        result, problem = count(path)
        if result is None:
            print(f"{path}: {problem}")
            ok = False
            continue
        passed, failed, skipped = result
        sums[0] += passed
        sums[1] += len(failed)
        sums[2] += sum(skipped.values())
        ok = ok and not failed
        if total:
            continue
        print(f"{passed} passed, {len(failed)} failed, {sum(skipped.values())} skipped")
        for name in failed:
            print(f"  FAILED  {name}")
        for reason, n in sorted(skipped.items()):
            print(f"  skipped {n:3}  {reason}")
    if total:
        print(f"wine: {sums[0]} passed, {sums[1]} failed, {sums[2]} skipped")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
