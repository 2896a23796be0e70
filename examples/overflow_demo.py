"""Overflow in action: while other jobs keep this machine's processors busy, the heavy functions
of this script run on the execution service instead, and their results come back as if computed
here.

Shaped like a real script: its heavy functions call helpers of their own and of a module beside
it (demo_geometry.py), which travel with them to the service.

Run it against a service (examples/run_demo.sh does all of it, once without overflow() and once
with it, and compares the times):
    ZUVODA_API_URL=http://127.0.0.1:8750 ZUVODA_API_KEY=... python examples/overflow_demo.py
    python examples/overflow_demo.py --without-overflow

The other jobs take every processor but the last, which is left to the service where there are
two or more (run_demo.sh pins it there); the script shares the busy ones. The threshold is set
below the jobs' share of the machine, so that the monitor sees the overload they make.
"""

import logging
import math
import multiprocessing
import os
import random
import sys
import time

import httpx
from demo_geometry import fraction_inside

from zuvoda.overflow import overflow

ROUNDS = 6
CORES = sorted(os.sched_getaffinity(0))
BUSY_CORES = CORES[:-1] if len(CORES) >= 2 else CORES


def primes_below(limit):
    """By trial division: deliberately CPU-heavy."""
    return [n for n in range(2, limit) if all(n % d for d in range(2, math.isqrt(n) + 1))]


def count_primes(limit):
    return len(primes_below(limit))


def estimate_pi(samples, seed):
    rng = random.Random(seed)
    points = [(rng.random(), rng.random()) for _ in range(samples)]
    return 4.0 * fraction_inside(points)


def _calls_run_by_the_service():
    answer = httpx.get(
        os.environ["ZUVODA_API_URL"].rstrip("/") + "/v1/stats",
        headers={"Authorization": f"Bearer {os.environ['ZUVODA_API_KEY']}"},
        timeout=10,
    )
    answer.raise_for_status()
    return answer.json()["calls"]["succeeded"]


def _other_job(core):
    """Stands for the other work on this machine: keeps one processor busy until ended."""
    os.sched_setaffinity(0, {core})
    while True:
        sum(i * i for i in range(10_000))


def main():
    use_overflow = "--without-overflow" not in sys.argv[1:]
    os.sched_setaffinity(0, set(BUSY_CORES))
    logging.basicConfig(level=logging.INFO, format="%(asctime)s  %(levelname)-7s %(message)s")
    logging.getLogger("httpx").setLevel(logging.WARNING)
    if use_overflow:
        threshold = 80.0 * len(BUSY_CORES) / len(CORES)
        monitor = overflow(threshold=threshold, check_interval=0.25)
        print("A calm machine: the heavy functions run here.")
        print("  primes below 60,000:", count_primes(60_000))

    print(f"Other jobs take {len(BUSY_CORES)} of {len(CORES)} processors ...")
    context = multiprocessing.get_context("spawn")
    jobs = [context.Process(target=_other_job, args=(core,), daemon=True) for core in BUSY_CORES]
    for job in jobs:
        job.start()
    if use_overflow:
        busy_by = time.monotonic() + 10.0
        while not monitor._overloaded and time.monotonic() < busy_by:
            time.sleep(monitor.check_interval)
    else:
        time.sleep(1.0)
    started = time.perf_counter()
    results = []
    for _ in range(ROUNDS):
        results.append(("primes below 60,000", count_primes(60_000), 6057))
        results.append(("pi from 200,000 samples", estimate_pi(200_000, seed=7), None))
    elapsed = time.perf_counter() - started
    for job in jobs:
        job.terminate()
        job.join()

    if use_overflow:
        print("The jobs are done: once the load has fallen, the heavy functions run here again.")
        calm_by = time.monotonic() + 10.0
        while monitor._overloaded and time.monotonic() < calm_by:
            time.sleep(monitor.check_interval)
        results.append(("primes below 60,000", count_primes(60_000), 6057))

    print()
    print("Results:")
    wrong = 0
    for label in dict.fromkeys(label for label, _, _ in results):
        values = [(value, expected) for name, value, expected in results if name == label]
        bad = sum(
            not (value == expected if expected is not None else abs(value - math.pi) < 0.02)
            for value, expected in values
        )
        wrong += bad
        print(f"  {label:<26} {len(values):3d} calls, last {values[-1][0]!s:<9}"
              f" {'all correct' if not bad else f'{bad} WRONG'}")
    print(f"Heavy work under load took {elapsed:.2f} s "
          f"({'with' if use_overflow else 'without'} overflow()).")
    if use_overflow:
        print(f"The service ran {_calls_run_by_the_service()} calls in all.")
    if wrong:
        raise SystemExit("some results are wrong")


if __name__ == "__main__":
    main()
