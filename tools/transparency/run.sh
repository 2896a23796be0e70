#!/usr/bin/env bash
# Transparency on real programs: downloads the source distributions of a few pure-Python projects,
# runs each one's own test suite in several modes and compares the outcome of every test with the
# plain run:
#   plain       without zuvoda (always run: the reference)
#   calm        overflow() active, never overloaded
#   overloaded  overflow() held overloaded from the start: every user function the profile hook
#               sees entered is wrapped, every wrapped call goes through an in-process stand-in
#               cloud client (overflow_plugin.py)
#   service     held overloaded the same way, with the real zuvoda.client and a real service
#               process (python -m zuvoda.service, one worker) that this script starts on a free
#               loopback port for each project and stops afterwards
# The stand-in runs calls on the caller's own objects, where the service would run them on
# copies. A function that changes its arguments and then raises is run again locally by the
# wrapper's fallback, on the changed arguments: under the stand-in only, the outcome can differ
# (toolz 1.0.0's test_factory tests do: its _get_factory pops from the dict it is given).
# The service gets only zuvoda on its path, not the project's source tree, and runs from an empty
# directory: the project's modules reach it by value, as those of a user's script would. An import
# statement run inside an offloaded call still needs its module by name there (cachetools 8.0.3's
# cachedmethod() imports ._cachedmethod when called): such calls fail remotely with
# ModuleNotFoundError and run locally, unless TRANSPARENCY_SERVICE_SOURCE=1.
#
# A tool, not part of the test run. Usage: tools/transparency/run.sh [BUILD_DIR], with BUILD_DIR a
# build made by tools/devbuild.sh (default build/dev). Environment:
#   TRANSPARENCY_MODES     modes besides plain (default "calm overloaded service")
#   TRANSPARENCY_PROJECTS  names of the projects to run (default all below)
#   TRANSPARENCY_PYTHON    the Python 3.11 that builds the tool's virtual environment (python3)
#   TRANSPARENCY_RESULTS   where results go (default BUILD_DIR/transparency): per project the
#                          JUnit XML and log of each mode, report.jsonl and server.log (the
#                          service's log); summary.md, one table row per project and mode;
#                          venv/, the tool's own environment (zuvoda's client and service
#                          requirements, pytest and the projects' test requirements), kept
#   TRANSPARENCY_RUN_TIMEOUT  seconds one test suite run may take (default 1800)
#   TRANSPARENCY_SERVICE_SOURCE  1: the service gets the project's import path too
# Exits 1 when an outcome differs.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=$(cd "${1:-$root/build/dev}" && pwd)
results=${TRANSPARENCY_RESULTS:-$build/transparency}
run_timeout=${TRANSPARENCY_RUN_TIMEOUT:-1800}

# requirement, test path and import path inside the unpacked source distribution, and the extra
# requirements of its tests (comma-separated, - for none)
projects=(
    "more-itertools==10.5.0 tests . -"
    "toolz==1.0.0 toolz . -"
    "cachetools==8.0.3 tests src -"
    "simplejson==4.3.0 simplejson/tests . -"
    "sqlparse==0.6.1 tests . -"
    "attrs==26.1.0 tests src hypothesis,pympler"
)

modes=(plain)
for mode in ${TRANSPARENCY_MODES:-calm overloaded service}; do
    case "$mode" in
        plain) ;;
        calm | overloaded | service) modes+=("$mode") ;;
        *) echo "unknown mode '$mode' (calm, overloaded, service)" >&2 && exit 2 ;;
    esac
done
selected=" ${TRANSPARENCY_PROJECTS:-} "

mkdir -p "$results"
results=$(cd "$results" && pwd)
venv="$results/venv"
if [[ ! -x $venv/bin/python ]]; then
    "${TRANSPARENCY_PYTHON:-python3}" -m venv "$venv"
fi
python="$venv/bin/python"
mapfile -t requirements < <("$python" - "$root/pyproject.toml" <<'PY'
import sys
import tomllib

with open(sys.argv[1], "rb") as file:
    project = tomllib.load(file)["project"]
extras = project["optional-dependencies"]
for requirement in project["dependencies"] + extras["client"] + extras["service"] + ["pytest"]:
    print(requirement)
PY
)
"$python" -m pip install --quiet --disable-pip-version-check "${requirements[@]}"

work=$(mktemp -d)
service_pid=""

stop_service() {
    [[ -n $service_pid ]] || return 0
    # The service leads its own process group, its worker processes with it.
    kill -TERM -- "-$service_pid" 2>/dev/null || true
    for _ in $(seq 100); do
        kill -0 -- "-$service_pid" 2>/dev/null || break
        sleep 0.1
    done
    kill -KILL -- "-$service_pid" 2>/dev/null || true
    wait "$service_pid" 2>/dev/null || true
    service_pid=""
}

# Starts a service on a free loopback port, with PATH_ENTRIES importable; sets service_url and
# service_key.
start_service() {
    local log=$1 path_entries=$2
    service_key=$("$python" -c 'import secrets; print(secrets.token_urlsafe(24))')
    local port
    port=$("$python" -c '
import socket
with socket.socket() as s:
    s.bind(("127.0.0.1", 0))
    print(s.getsockname()[1])')
    service_url="http://127.0.0.1:$port"
    mkdir -p "$work/service-cwd"
    (
        cd "$work/service-cwd"
        exec setsid env PYTHONPATH="$path_entries" ZUVODA_API_KEY="$service_key" \
            "$python" -m zuvoda.service --host 127.0.0.1 --port "$port" --workers 1
    ) >"$log" 2>&1 &
    service_pid=$!
    "$python" - "$service_url" "$service_pid" <<'PY' || { stop_service; return 1; }
import os
import sys
import time
import urllib.request

url, pid = sys.argv[1] + "/v1/health", int(sys.argv[2])
deadline = time.monotonic() + 60
while time.monotonic() < deadline:
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        sys.exit("the service exited before it answered")
    try:
        with urllib.request.urlopen(url, timeout=2) as answer:
            if answer.status == 200:
                sys.exit(0)
    except OSError:
        pass
    time.sleep(0.2)
sys.exit("the service did not answer within 60 s")
PY
}

trap 'stop_service; rm -rf "$work"' EXIT
trap 'exit 130' INT TERM

summary="$results/summary.md"
{
    echo "| project | mode | tests | identical | differ | wrapped | offloaded | fallbacks |"
    echo "|---|---|---|---|---|---|---|---|"
} >"$summary"
status=0
for project in "${projects[@]}"; do
    read -r requirement tests import_path extra <<<"$project"
    name=${requirement%%==*}
    [[ $selected == "  " || $selected == *" $name "* ]] || continue
    if [[ $extra != - ]]; then
        "$python" -m pip install --quiet --disable-pip-version-check ${extra//,/ }
    fi
    out="$results/$name"
    rm -rf "$out" && mkdir -p "$out" "$work/$name"
    "$python" -m pip download --quiet --disable-pip-version-check --no-binary :all: --no-deps \
        --dest "$work/$name" "$requirement"
    archive=$(ls "$work/$name"/*.tar.gz)
    tar xzf "$archive" -C "$work/$name"
    source_tree="$work/$name/$(tar tzf "$archive" | awk -F/ 'NR == 1 { print $1 }')"
    for mode in "${modes[@]}"; do
        plugin=()
        [[ $mode == plain ]] || plugin=(-p overflow_plugin)
        service=()
        if [[ $mode == service ]]; then
            service_path=$build
            [[ ${TRANSPARENCY_SERVICE_SOURCE:-0} != 1 ]] ||
                service_path="$source_tree/$import_path:$build"
            start_service "$out/server.log" "$service_path"
            service=(ZUVODA_API_URL="$service_url" ZUVODA_API_KEY="$service_key")
        fi
        # --foreground: the run stays in this script's process group, so an interrupt reaches it.
        (
            cd "$source_tree"
            env -u ZUVODA_API_URL -u ZUVODA_API_KEY -u VAZOVEZ_API_KEY "${service[@]}" \
                PYTHONPATH="$source_tree/$import_path:$here:$build" OVERFLOW_TRANSPARENCY=$mode \
                OVERFLOW_TRANSPARENCY_REPORT="$out/report.jsonl" \
                timeout --foreground --kill-after=30 "$run_timeout" \
                "$python" -m pytest -q -p no:cacheprovider "${plugin[@]}" \
                --junitxml="$out/$mode.xml" "$tests" >"$out/$mode.log" 2>&1
        ) || true
        [[ $mode != service ]] || stop_service
    done
    "$python" "$here/compare.py" "$name" "$out" "${modes[@]:1}" --table "$summary" || status=1
done
echo "results in $results"
exit "$status"
