"""Overflow in action: while other jobs keep this machine's processors busy, the heavy functions
of this script run on the execution service instead, and their results come back as if computed
here.

Shaped like a real script: its heavy functions call helpers of their own and of a module beside
it (demo_geometry.py), which travel with them to the service.

Run it against a service (examples/run_demo.sh does all of it):
    ZUVODA_API_URL=http://127.0.0.1:8750 ZUVODA_API_KEY=... python examples/overflow_demo.py
"""

import logging
import math
import multiprocessing
import os
import random
import time

import httpx
from demo_geometry import fraction_inside

from zuvoda.overflow import overflow

BUSY_SECONDS = 12.0


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


def _other_job(seconds):
    """Stands for the other work on this machine: keeps one processor busy."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        sum(i * i for i in range(10_000))


def main():
    logging.basicConfig(level=logging.INFO, format="%(asctime)s  %(levelname)-7s %(message)s")
    logging.getLogger("httpx").setLevel(logging.WARNING)
    monitor = overflow(check_interval=0.25)

    print("A calm machine: the heavy functions run here.")
    print("  primes below 60,000:", count_primes(60_000))

    print(f"Other jobs take every processor for {BUSY_SECONDS:.0f} s ...")
    context = multiprocessing.get_context("spawn")
    jobs = [context.Process(target=_other_job, args=(BUSY_SECONDS,)) for _ in range(os.cpu_count())]
    for job in jobs:
        job.start()
    deadline = time.monotonic() + BUSY_SECONDS
    results = []
    while time.monotonic() < deadline - 1.0:
        results.append(("primes below 60,000", count_primes(60_000), 6057))
        results.append(("pi from 200,000 samples", estimate_pi(200_000, seed=7), None))
    for job in jobs:
        job.join()

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
    print(f"The service ran {_calls_run_by_the_service()} of these calls.")
    if wrong:
        raise SystemExit("some results are wrong")


if __name__ == "__main__":
    main()
