#!/usr/bin/env bash
# Memory checks of the extension module against the test suite.
#
#   tools/memcheck.sh [pytest args]            AddressSanitizer + UBSan build in build/asan; the
#                                              whole suite, subprocesses included; any report fails
#   tools/memcheck.sh --valgrind [pytest args] valgrind memcheck on the in-process tests against
#                                              build/dev; fails only on definitely lost blocks and
#                                              on invalid reads, writes or frees whose stack passes
#                                              through the module
#
# Without pytest arguments the default test selection of the mode is run. Build directories can
# be chosen with MEMCHECK_BUILD. The interpreter itself is not instrumented and leaks by design at
# exit, so leak checking is left to valgrind, filtered to the module.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

mode=asan
if [[ "${1:-}" == "--valgrind" ]]; then
    mode=valgrind
    shift
fi

# The interpreter itself, not a launcher script in front of it: valgrind follows no exec.
python=$(python3 -c 'import sys; print(sys.executable)')
reports=$(mktemp -d)
trap 'rm -rf "$reports"' EXIT

if [[ $mode == asan ]]; then
    build=${MEMCHECK_BUILD:-$root/build/asan}
    tools/devbuild.sh "$build" -DOVERFLOW_SANITIZE=ON >/dev/null
    (($#)) || set -- tests
    # Reports go to files, so that one from a subprocess (a whole-program test, the service) is
    # seen even when the test that started it does not look at its output.
    status=0
    LD_PRELOAD="$(g++ -print-file-name=libasan.so):$(g++ -print-file-name=libubsan.so)" \
        ASAN_OPTIONS="detect_leaks=0:log_path=$reports/asan" \
        UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$reports/ubsan" \
        PYTHONMALLOC=malloc PYTHONPATH="$build" \
        "$python" -m pytest -q -p no:cacheprovider "$@" || status=$?
    if compgen -G "$reports/*" >/dev/null; then
        cat "$reports"/*
        echo "memcheck: sanitizer reports above" >&2
        exit 1
    fi
    if ((status)); then
        echo "memcheck: the tests failed under the sanitizers (exit $status)" >&2
        exit "$status"
    fi
    echo "memcheck: no sanitizer report"
    exit 0
fi

build=${MEMCHECK_BUILD:-$root/build/dev}
tools/devbuild.sh "$build" >/dev/null
# Subprocess-heavy folders run their programs outside valgrind anyway; leave them out.
(($#)) || set -- tests/module tests/monitor tests/sampling tests/detection tests/offload \
    tests/robustness
status=0
PYTHONMALLOC=malloc PYTHONPATH="$build" \
    valgrind --tool=memcheck --leak-check=full --show-leak-kinds=definite --num-callers=40 \
    --xml=yes --xml-file="$reports/valgrind.%p.xml" \
    "$python" -m pytest -q -p no:cacheprovider "$@" || status=$?
"$python" - "$reports"/valgrind.*.xml <<'EOF' || exit 1
import sys
import xml.etree.ElementTree as ET

FATAL = {"Leak_DefinitelyLost", "InvalidRead", "InvalidWrite", "InvalidFree", "MismatchedFree"}


def errors(path):
    with open(path, encoding="utf-8", errors="replace") as file:
        text = file.read()
    # A child that a test forks and that then runs another program leaves an unfinished file
    # behind, with nothing of its own in it.
    if "</valgrindoutput>" not in text and "<error>" not in text:
        return []
    return list(ET.fromstring(text).iter("error"))


found = 0
for error in [error for path in sys.argv[1:] for error in errors(path)]:
    kind = error.findtext("kind")
    frames = error.findall("./stack/frame")
    if kind not in FATAL or not any("overflow.cpython" in (f.findtext("obj") or "") for f in frames):
        continue
    found += 1
    what = error.findtext("what") or error.findtext("./xwhat/text")
    print(f"{kind}: {what}")
    for frame in frames:
        where = frame.findtext("fn") or frame.findtext("obj")
        line = f"{frame.findtext('file')}:{frame.findtext('line')}" if frame.findtext("file") else ""
        print(f"    {where} {line}")
print(f"memcheck: {found} valgrind error(s) in the module")
sys.exit(1 if found else 0)
EOF
# Tests that wait on other threads may miss their marks at valgrind's pace: the verdict is the
# valgrind errors alone.
if ((status)); then
    echo "memcheck: some tests failed under valgrind (exit $status); not a memory error" >&2
fi
