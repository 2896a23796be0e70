"""Compares the outcome of every test between JUnit XML reports of the same test suite.

    python3 compare.py NAME PLAIN.xml OTHER.xml [OTHER.xml ...]

Prints the counts of each run and every test whose outcome differs from the plain run; exits 1
when there is one."""

import collections
import sys
import xml.etree.ElementTree as ET


def outcomes(path):
    """Test id -> outcome; a test reported more than once (subtests) keeps its worst outcome."""
    rank = {"passed": 0, "skipped": 1, "failed": 2, "error": 3}
    found = {}
    for case in ET.parse(path).getroot().iter("testcase"):
        test = f"{case.get('classname')}::{case.get('name')}"
        outcome = "passed"
        for child in case:
            if child.tag in ("failure", "error", "skipped"):
                outcome = {"failure": "failed"}.get(child.tag, child.tag)
        if rank[outcome] >= rank[found.get(test, "passed")]:
            found[test] = outcome
    return found


def main(name, plain_path, *other_paths):
    plain = outcomes(plain_path)
    differs = False
    for path in (plain_path, *other_paths):
        counts = collections.Counter(outcomes(path).values())
        print(f"{name}: {path.rsplit('/', 1)[-1]}: {len(outcomes(path))} tests, "
              + ", ".join(f"{count} {outcome}" for outcome, count in sorted(counts.items())))
    for path in other_paths:
        other = outcomes(path)
        for test in sorted(set(plain) | set(other)):
            if plain.get(test) != other.get(test):
                differs = True
                print(f"  DIFFERS in {path.rsplit('/', 1)[-1]}: {test}: "
                      f"{plain.get(test, 'absent')} -> {other.get(test, 'absent')}")
    return 1 if differs else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
