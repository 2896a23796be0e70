#!/usr/bin/env bash
# Transparency on real programs: downloads the source distributions of a few pure-Python projects,
# runs each one's own test suite three ways and compares the outcome of every test:
#   plain       without zuvoda
#   calm        overflow() active, never overloaded
#   overloaded  overflow() held overloaded from the start: every user function the profile hook
#               sees entered is wrapped, every wrapped call goes through an in-process stand-in
#               cloud client (overflow_plugin.py)
# The stand-in runs calls on the caller's own objects, where the service would run them on
# copies. A function that changes its arguments and then raises is run again locally by the
# wrapper's fallback, on the changed arguments: under the stand-in only, the outcome can differ
# (toolz 1.0.0's test_factory tests do: its _get_factory pops from the dict it is given).
# A tool, not part of the test run. Usage: tools/transparency/run.sh [BUILD_DIR], with BUILD_DIR a
# build made by tools/devbuild.sh (default build/dev). Exits 1 when an outcome differs.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=$(cd "${1:-$root/build/dev}" && pwd)

# requirement, test path and import path inside the unpacked source distribution
projects=(
    "more-itertools==10.5.0 tests ."
    "toolz==1.0.0 toolz ."
    "cachetools==8.0.3 tests src"
)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0
for project in "${projects[@]}"; do
    read -r requirement tests import_path <<<"$project"
    name=${requirement%%==*}
    mkdir -p "$work/$name"
    pip download --quiet --no-binary :all: --no-deps --dest "$work/$name" "$requirement"
    archive=$(ls "$work/$name"/*.tar.gz)
    tar xzf "$archive" -C "$work/$name"
    source_tree="$work/$name/$(tar tzf "$archive" | awk -F/ 'NR == 1 { print $1 }')"
    for mode in plain calm overloaded; do
        plugin=()
        [[ $mode == plain ]] || plugin=(-p overflow_plugin)
        (
            cd "$source_tree"
            PYTHONPATH="$source_tree/$import_path:$here:$build" OVERFLOW_TRANSPARENCY=$mode \
                OVERFLOW_TRANSPARENCY_REPORT="$work/$name/report.txt" \
                python3 -m pytest -q -p no:cacheprovider "${plugin[@]}" \
                --junitxml="$work/$name/$mode.xml" "$tests" >"$work/$name/$mode.log" 2>&1
        ) || true
    done
    sed "s/^/$name: /" "$work/$name/report.txt"
    python3 "$here/compare.py" "$name" "$work/$name/plain.xml" "$work/$name/calm.xml" \
        "$work/$name/overloaded.xml" || status=1
done
exit "$status"
