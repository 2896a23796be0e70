"""Overflow in action: while other jobs keep this machine's processors busy, the heavy functions
of this script run on the execution service instead, and their results come back as if computed
here.

Run it against a service (examples/run_demo.sh does all of it):
    ZUVODA_API_URL=http://127.0.0.1:8750 ZUVODA_API_KEY=... python examples/overflow_demo.py
"""

import logging
import math
import multiprocessing
import os
import random
import time

from zuvoda.overflow import overflow

BUSY_SECONDS = 12.0


def count_primes(limit):
    """Primes below `limit`, by trial division: deliberately CPU-heavy."""
    count = 0
    for n in range(2, limit):
        if all(n % d for d in range(2, math.isqrt(n) + 1)):
            count += 1
    return count


def estimate_pi(samples, seed):
    rng = random.Random(seed)
    inside = sum(1 for _ in range(samples) if rng.random() ** 2 + rng.random() ** 2 <= 1.0)
    return 4.0 * inside / samples


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
    if wrong:
        raise SystemExit("some results are wrong")


if __name__ == "__main__":
    main()
