"""Compares the outcome of every test between the runs of one project's test suite.

    python3 compare.py NAME DIR MODE [MODE ...] [--table FILE]

DIR holds plain.xml and MODE.xml, the JUnit XML reports of the runs, and report.jsonl, the lines
overflow_plugin.py wrote. Prints the counts of each run and every test whose outcome differs from
the plain run; with --table, appends a Markdown row per mode to FILE. Exits 1 when an outcome
differs or a run left no report."""

import collections
import json
import os
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


def counted(found):
    counts = collections.Counter(found.values())
    return f"{len(found)} tests, " + ", ".join(
        f"{count} {outcome}" for outcome, count in sorted(counts.items())
    )


def reports(directory):
    """Mode -> the plugin's last report line for it."""
    found = {}
    path = os.path.join(directory, "report.jsonl")
    if os.path.exists(path):
        with open(path, encoding="utf-8") as lines:
            for line in lines:
                report = json.loads(line)
                found[report["mode"]] = report
    return found


def offloaded(report):
    calls = report["offloaded"]
    if set(calls) == {"started"}:
        return str(calls["started"])
    return f"{calls['started']} ({calls['succeeded']} succeeded, {calls['failed']} failed)"


def fallbacks(report):
    causes = report["fallbacks"]
    if not causes:
        return "0"
    return f"{sum(causes.values())}: " + ", ".join(f"{name} {n}" for name, n in causes.items())


def main(name, directory, *modes, table=None):
    plain = outcomes(os.path.join(directory, "plain.xml"))
    print(f"{name}: plain: {counted(plain)}")
    found_reports = reports(directory)
    failed = False
    rows = []
    for mode in modes:
        path = os.path.join(directory, f"{mode}.xml")
        other = outcomes(path) if os.path.exists(path) else {}
        differing = [t for t in sorted(set(plain) | set(other)) if plain.get(t) != other.get(t)]
        report = found_reports.get(mode)
        failed = failed or bool(differing) or report is None
        summary = (
            f"wrapped {report['wrapped']}, offloaded {offloaded(report)}, "
            f"fallbacks {fallbacks(report)}"
            if report
            else "no report from the plugin"
        )
        identical = len(set(plain) - set(differing))
        print(f"{name}: {mode}: {counted(other)}; {identical} identical, "
              f"{len(differing)} differ; {summary}")
        for found, example in (report or {}).get("first_fallback_of_each_cause", {}).items():
            print(f"  first fallback of cause {found}: {example}")
        for test in differing:
            print(f"  DIFFERS in {mode}: {test}: {plain.get(test, 'absent')} -> "
                  f"{other.get(test, 'absent')}")
        rows.append(
            f"| {name} | {mode} | {len(plain)} | {identical} "
            f"| {len(differing)} | {report['wrapped'] if report else '?'} "
            f"| {offloaded(report) if report else '?'} | {fallbacks(report) if report else '?'} |"
        )
    if table:
        with open(table, "a", encoding="utf-8") as out:
            out.write("\n".join(rows) + "\n")
    return 1 if failed else 0


if __name__ == "__main__":
    arguments = sys.argv[1:]
    table = None
    if "--table" in arguments:
        at = arguments.index("--table")
        table = arguments[at + 1]
        del arguments[at : at + 2]
    sys.exit(main(*arguments, table=table))
