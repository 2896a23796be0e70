"""What recording a call's warnings and environment reads adds to each call on the service:
the call inside recording.Recorded (and its notes) against the bare call, for a pure function,
one that reads the environment and the working directory, and one that raises a warning; and
the whole of a worker's execution of the same call, with and without recording.

    python benchmarks/bench_recording.py [--calls 2000]

Run it with the package importable (installed, or PYTHONPATH=build/dev).
"""

from __future__ import annotations

import argparse
import os
import statistics
import time
import warnings
from collections.abc import Callable

import cloudpickle

from zuvoda.service import recording, worker
from zuvoda.service.recording import Recorded


def pure(n: int) -> int:
    return n + 1


def reads(n: int) -> int:
    home = os.path.expanduser("~")
    return n + len(home) + len(os.environ.get("LANG", "")) + len(os.getcwd())


def warns(n: int) -> int:
    warnings.warn("old", DeprecationWarning, stacklevel=1)
    return n + 1


def median_us(run: Callable[[], object], calls: int) -> float:
    times = []
    for _ in range(calls):
        started = time.perf_counter()
        run()
        times.append(time.perf_counter() - started)
    return statistics.median(times) * 1e6


class Unrecorded:
    """What the worker would do without recording."""

    def __enter__(self) -> None:
        pass

    def __exit__(self, *exc_info: object) -> None:
        pass

    def notes(self) -> dict[str, object]:
        return {}


def recorded(func: Callable[[int], int]) -> None:
    recording = Recorded()
    with recording:
        func(1)
    recording.notes()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--calls", type=int, default=2000)
    args = parser.parse_args()
    print(
        f"{'call':>8} {'bare':>9} {'recorded':>10} {'added':>9}"
        f" {'execution, unrecorded':>22} {'recorded':>10}"
    )
    warnings.simplefilter("ignore")  # the bare warning call as a worker's default filters take it
    for func in (pure, reads, warns):
        payload = cloudpickle.dumps(func) + cloudpickle.dumps(((1,), {}))
        bare = median_us(lambda func=func: func(1), args.calls)
        with_recording = median_us(lambda func=func: recorded(func), args.calls)
        whole = median_us(lambda payload=payload: worker.execute(payload, 1 << 30), args.calls)
        recording.Recorded = Unrecorded  # type: ignore[assignment, misc]
        try:
            plain = median_us(lambda payload=payload: worker.execute(payload, 1 << 30), args.calls)
        finally:
            recording.Recorded = Recorded  # type: ignore[misc]
        added = with_recording - bare
        print(
            f"{func.__name__:>8} {bare:>6.2f} us {with_recording:>7.2f} us {added:>6.2f} us"
            f" {plain:>19.1f} us {whole:>7.1f} us"
        )


if __name__ == "__main__":
    main()
