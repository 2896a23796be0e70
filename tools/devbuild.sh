#!/usr/bin/env bash
# Builds the extension into BUILD_DIR (default build/dev) with the package's Python files linked
# beside it, so that `PYTHONPATH=BUILD_DIR python -m pytest` runs against the fresh build without
# reinstalling. Extra arguments go to cmake's configure step (e.g. -DOVERFLOW_SANITIZE=ON).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-build/dev}
shift || true
case "$build" in /*) ;; *) build="$root/$build" ;; esac
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
cmake --build "$build"
mkdir -p "$build/zuvoda"
for entry in "$root"/src/zuvoda/*; do
    ln -sfn "$entry" "$build/zuvoda/$(basename "$entry")"
done
echo "PYTHONPATH=$build"
