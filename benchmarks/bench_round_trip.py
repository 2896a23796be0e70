"""Round trip of one small offloaded call: client -> service -> worker process -> back.

    python benchmarks/bench_round_trip.py [--calls 500] [--payload-bytes 1000]
    python benchmarks/bench_round_trip.py --api-url http://host:8750 --api-key KEY

Without --api-url it starts a local service (one worker process) on a free loopback port.
Run it with the package importable (installed, or PYTHONPATH=src).
"""

from __future__ import annotations

import argparse
import contextlib
import os
import statistics
import time

from local_service import local_service

from zuvoda.client import VazoVez


def add_one(x: int, blob: bytes = b"") -> int:
    return x + 1 + len(blob)


def measure(client: VazoVez, calls: int, blob: bytes, resend: bool) -> list[float]:
    """With ``resend``, the client forgets that the service holds add_one, as if every call
    were its first: the function's bytes travel each time."""
    for i in range(20):  # connection, worker start-up, first unpickling of add_one
        client.run(add_one, i, blob)
    times = []
    for i in range(calls):
        if resend:
            client._known_functions.clear()
        started = time.perf_counter()
        result = client.run(add_one, i, blob)
        times.append(time.perf_counter() - started)
        assert result == i + 1 + len(blob)
    return times


def report(label: str, times: list[float]) -> None:
    ms = sorted(t * 1000 for t in times)
    p90 = ms[min(len(ms) - 1, int(0.9 * len(ms)))]
    p99 = ms[min(len(ms) - 1, int(0.99 * len(ms)))]
    print(
        f"{label:>34}: n={len(ms)} median={statistics.median(ms):.3f} ms p90={p90:.3f} ms "
        f"p99={p99:.3f} ms min={ms[0]:.3f} ms"
    )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--calls", type=int, default=500)
    parser.add_argument("--payload-bytes", type=int, nargs="*", default=[1000, 1_000_000])
    parser.add_argument("--workers", type=int, default=1)
    parser.add_argument("--api-url", help="use this running service instead of starting one")
    parser.add_argument("--api-key", default=os.environ.get("ZUVODA_API_KEY"))
    args = parser.parse_args()

    with contextlib.ExitStack() as stack:
        if args.api_url:
            url, key = args.api_url, args.api_key
        else:
            url, key, _ = stack.enter_context(local_service("--workers", str(args.workers)))
        with VazoVez(api_key=key, api_url=url) as client:
            print(f"round trip of add_one via {url}, {args.calls} calls each")
            for size in args.payload_bytes:
                for resend in (True, False):
                    label = f"{size} B, function {'each call' if resend else 'by digest'}"
                    report(label, measure(client, args.calls, b"x" * size, resend))


if __name__ == "__main__":
    main()
