#!/usr/bin/env bash
# The main job: installs zuvoda into its own environment, starts a local execution service on
# loopback, runs the demo script under the same artificial load twice, without overflow() and
# with it, compares the times and stops the service again.
set -euo pipefail
cd "$(dirname "$0")/.."

# Built and installed again only when the package's sources changed since the last run.
stamp=$(find pyproject.toml CMakeLists.txt src -type f -print0 | sort -z | xargs -0 sha256sum | sha256sum)
if [ "$(cat .venv-demo/.source-stamp 2>/dev/null)" != "$stamp" ]; then
    python3 -m venv .venv-demo
    .venv-demo/bin/pip install --quiet '.[service,prewarm]'
    echo "$stamp" > .venv-demo/.source-stamp
fi

port=${ZUVODA_SERVICE_PORT:-8750}
export ZUVODA_API_URL="http://127.0.0.1:${port}"
export ZUVODA_API_KEY="${ZUVODA_API_KEY:-demo-$(od -An -N8 -tx8 /dev/urandom | tr -d ' ')}"
service_log=$(mktemp)
# The service's worker gets the last processor to itself where there are two or more; the demo's
# other jobs and the script share the rest.
pin=()
last=$(($(nproc) - 1))
if [ "$last" -ge 1 ] && command -v taskset >/dev/null; then
    pin=(taskset -c "$last")
fi
${pin[@]+"${pin[@]}"} .venv-demo/bin/python -m zuvoda.service --port "$port" --workers 1 >"$service_log" 2>&1 &
service=$!
trap 'kill "$service" 2>/dev/null || true; wait "$service" 2>/dev/null || true; rm -f "$service_log"' EXIT

.venv-demo/bin/python - "$ZUVODA_API_URL" <<'PY'
import sys, time, httpx
deadline = time.monotonic() + 60
while True:
    try:
        if httpx.get(sys.argv[1] + "/v1/health", timeout=1).status_code == 200:
            break
    except httpx.HTTPError:
        pass
    if time.monotonic() > deadline:
        sys.exit("the service did not start")
    time.sleep(0.2)
PY
echo "Service up at $ZUVODA_API_URL${pin:+, its worker on processor $last}"
run_log=$(mktemp)
trap 'kill "$service" 2>/dev/null || true; wait "$service" 2>/dev/null || true; rm -f "$service_log" "$run_log"' EXIT
echo
echo "=== Without overflow() ==="
.venv-demo/bin/python examples/overflow_demo.py --without-overflow | tee "$run_log"
without=$(grep "^Heavy work under load took" "$run_log")
echo
echo "=== With overflow() ==="
.venv-demo/bin/python examples/overflow_demo.py | tee "$run_log"
with=$(grep "^Heavy work under load took" "$run_log")
echo
echo "Service log (one line per request):"
grep -E "POST|GET" "$service_log" | tail -n 20 || true
echo
echo "$without"
echo "$with"
grep "^The service ran" "$run_log" || true
