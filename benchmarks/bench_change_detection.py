"""What noticing a call's changes adds to each call on the service: the arguments' and the
function's globals' fingerprints, taken before and after the call, for mutable arguments of a
few sizes, beside the whole of a worker's execution of the same call.

    python benchmarks/bench_change_detection.py [--calls 200]

Run it with the package importable (installed, or PYTHONPATH=build/dev).
"""

from __future__ import annotations

import argparse
import statistics
import time

import cloudpickle

from zuvoda.service import worker

TABLE = {"rows": 0}


def total(values: list[int] | bytearray, table: dict[str, int]) -> int:
    return len(values) + table["rows"]


def median_us(run: object, calls: int) -> float:
    times = []
    for _ in range(calls):
        started = time.perf_counter()
        run()  # type: ignore[operator]
        times.append(time.perf_counter() - started)
    return statistics.median(times) * 1e6


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--calls", type=int, default=200)
    args = parser.parse_args()
    print(f"{'mutable argument':>28} {'fingerprints':>14} {'whole execution':>16}")
    for size in (1_000, 1_000_000):
        for values in (bytearray(size), list(range(1000, 1000 + size // 3))):
            payload = cloudpickle.dumps(total) + cloudpickle.dumps(((values, TABLE), {}))
            func, call_args, kwargs, _ = worker._load_call(payload)
            watched = worker._watched(func, call_args, kwargs)

            def fingerprints(watched: dict = watched) -> None:
                worker._fingerprints(watched)
                worker._fingerprints(watched)

            added = median_us(fingerprints, args.calls)
            whole = median_us(lambda payload=payload: worker.execute(payload, 1 << 30), args.calls)
            kind = type(values).__name__
            pickled = len(cloudpickle.dumps(values))
            print(f"{kind:>9} of {pickled:>9} B {added:>11.1f} us {whole:>13.1f} us")


if __name__ == "__main__":
    main()
