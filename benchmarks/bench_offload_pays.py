"""Whether offload pays: scripts of several shapes under a CPU hog, each run without overflow(),
with overflow() and no service, and with overflow() and a real service, alternating, in one run.

    PYTHONPATH=build/dev python benchmarks/bench_offload_pays.py [--repeat 3]

The hog takes every core but the last; the script shares the first with it, and the service
and its one worker have the last to themselves (one core: nobody is pinned). Each script waits
until the monitor reports overload (the threshold is set below the hog's share of the machine),
then times its shape alone. The figures of merit are the ratios: service run / overflow run
without a service for the shapes that should not be sent, service run / run without zuvoda for
the heavy ones, where offload must pay.
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import httpx
from local_service import local_service

SCRIPT = r'''
import asyncio, hashlib, json, logging, sys, time

SHAPE, MODE, THRESHOLD = sys.argv[1], sys.argv[2], float(sys.argv[3])
warnings = []


class Count(logging.Handler):
    def emit(self, record):
        if record.getMessage().startswith("Cloud offload of"):
            warnings.append(record.getMessage())


def spin(n):
    total = 0
    for i in range(n):
        total += i * i
    return total


def helper(x):
    return x + 1


def heavy():
    return spin(2_500_000)


def one_ms():
    return spin(20_000)


def digest(data):
    return hashlib.sha256(data).hexdigest()


def countdown(n):
    yield from range(n)


async def later(n):
    return n


def _small_loop():
    return sum(helper(i) for i in range(3000))


def _mixed():
    return [heavy() + sum(helper(i) for i in range(200)) for _ in range(6)]


def _millisecond_calls():
    return [one_ms() for _ in range(150)]


def _large_argument():
    data = bytes(16 << 20)
    return [digest(data + bytes([i])) for i in range(10)]


def _lazy():
    total = 0
    for i in range(100):
        total += sum(countdown(100))
        coroutine = later(i)
        try:
            coroutine.send(None)
        except StopIteration as stop:
            total += stop.value
    return total


def _heavy_calls():
    return [heavy() for _ in range(12)]


if MODE != "plain":
    logging.getLogger("zuvoda.overflow").addHandler(Count())
    from zuvoda.overflow import overflow

    monitor = overflow(threshold=THRESHOLD, check_interval=0.1, verbose=False)
    deadline = time.monotonic() + 10
    while not monitor._overloaded and time.monotonic() < deadline:
        time.sleep(0.05)
    overloaded = monitor._overloaded
else:
    overloaded = None
# The shapes' own functions are private: overflow() wraps the script's public ones, which a
# shape calls many times, not the shape itself, which it calls once.
shape = globals()["_" + SHAPE]
started = time.perf_counter()
shape()
elapsed = time.perf_counter() - started
print(json.dumps({"seconds": elapsed, "warnings": len(warnings), "overloaded": overloaded}))
'''

SHAPES = {
    "small_loop": "3,000 calls of a one-line helper",
    "mixed": "heavy calls, small helper loops between",
    "millisecond_calls": "150 calls of a ~1 ms function",
    "large_argument": "10 calls hashing a 16 MB argument",
    "lazy": "generator and async def functions",
    "heavy_calls": "12 calls of a ~100 ms function",
}
# Shape -> (the run it is compared with, the aim for service run / that run).
AIMS = {
    "small_loop": ("no service", 1.3),
    "mixed": ("plain", 0.9),
    "millisecond_calls": ("no service", 1.15),
    "large_argument": ("no service", 1.25),
    "lazy": ("no service", 1.2),
    "heavy_calls": ("plain", 0.8),
}
MODES = ("plain", "no service", "service")


def start_hog(cpus: list[int]) -> list[subprocess.Popen[bytes]]:
    hogs = []
    for cpu in cpus:
        hogs.append(subprocess.Popen([sys.executable, "-c", "while True: pass"],
                                     preexec_fn=lambda cpu=cpu: os.sched_setaffinity(0, {cpu})))
    return hogs


def calls_started(url: str, key: str) -> int:
    answer = httpx.get(f"{url}/v1/stats", headers={"Authorization": f"Bearer {key}"}, timeout=10)
    return int(answer.raise_for_status().json()["calls"]["started"])


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--shapes", nargs="*", default=list(SHAPES), choices=list(SHAPES))
    options = parser.parse_args()

    cores = sorted(os.sched_getaffinity(0))
    pinned = len(cores) >= 2
    hog_cpus = cores[:-1] if pinned else cores
    script_cpus = {cores[0]} if pinned else None
    service_cpus = {cores[-1]} if pinned else None
    # Below the hog's share of the machine, so that the monitor sees overload.
    threshold = 80.0 * len(hog_cpus) / len(cores)

    times: dict[tuple[str, str], list[float]] = {}
    warnings: dict[tuple[str, str], int] = {}
    sent: dict[str, list[int]] = {}
    not_overloaded = 0
    with tempfile.TemporaryDirectory() as directory, local_service(
        "--workers", "1", cpus=service_cpus
    ) as (url, key, _):
        script = Path(directory) / "shape.py"
        script.write_text(SCRIPT)
        hogs = start_hog(hog_cpus)
        try:
            time.sleep(1.0)
            for _ in range(options.repeat):
                for shape in options.shapes:
                    for mode in MODES:
                        env = {**os.environ, "ZUVODA_API_KEY": key, "ZUVODA_API_URL": url}
                        if mode == "no service":
                            env["ZUVODA_API_URL"] = "http://127.0.0.1:9"
                        env.pop("ZUVODA_OFFLOAD", None)
                        before = calls_started(url, key)
                        pin = (lambda: os.sched_setaffinity(0, script_cpus)) if pinned else None
                        run = subprocess.run(
                            [sys.executable, str(script), shape, mode, str(threshold)],
                            env=env, capture_output=True, text=True, timeout=600,
                            preexec_fn=pin, check=False,
                        )
                        if run.returncode != 0:
                            raise SystemExit(f"{shape} ({mode}) failed:\n{run.stderr}")
                        outcome = json.loads(run.stdout.strip().splitlines()[-1])
                        not_overloaded += outcome["overloaded"] is False
                        times.setdefault((shape, mode), []).append(outcome["seconds"])
                        warnings[shape, mode] = warnings.get((shape, mode), 0) + outcome[
                            "warnings"]
                        if mode == "service":
                            sent.setdefault(shape, []).append(calls_started(url, key) - before)
        finally:
            for hog in hogs:
                hog.kill()
                hog.wait()

    print(f"cores: {len(cores)}, hog on {hog_cpus}, script on {sorted(script_cpus or cores)}, "
          f"service on {sorted(service_cpus or cores)}; threshold {threshold:.0f}%; "
          f"medians of {options.repeat} runs")
    header = (f"{'shape':<42}{'plain s':>9}{'no svc s':>10}{'svc s':>9}{'sent':>6}"
              f"{'warn':>6}{'ratio':>8}{'aim':>7}")
    print(header)
    for shape in options.shapes:
        median = {mode: statistics.median(times[shape, mode]) for mode in MODES}
        against, aim = AIMS[shape]
        ratio = median["service"] / median[against]
        print(f"{SHAPES[shape]:<42}{median['plain']:>9.4f}{median['no service']:>10.4f}"
              f"{median['service']:>9.4f}{statistics.median(sent[shape]):>6.0f}"
              f"{warnings[shape, 'service']:>6d}{ratio:>8.2f}{'<=' + format(aim, 'g'):>7}"
              f"  vs {against}")
    if not_overloaded:
        print(f"warning: {not_overloaded} runs never saw overload; their figures mean little")


if __name__ == "__main__":
    main()
