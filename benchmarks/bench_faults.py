"""Load and fault figures of the client and the service, each against a fresh local service:

- calls per second, and p50/p99 latency, of small calls from 8 client threads;
- /v1/health latency while a pre-warm scans a source of about a mebibyte;
- time from stopping the service (SIGSTOP) in the middle of a call to the client's error;
- the service's peak memory, above its idle size, while it sends a 200 MB result.

    python benchmarks/bench_faults.py [--workers 2] [--calls 200] [--silence 5]

Run it with the package importable (installed, or PYTHONPATH=src). Linux only (SIGSTOP, RSS).
"""

from __future__ import annotations

import argparse
import signal
import statistics
import threading
import time
from concurrent.futures import ThreadPoolExecutor

import httpx
import psutil

from local_service import local_service

from zuvoda.client import CallTimeoutError, VazoVez

MB = 1000 * 1000


def percentile(values: list[float], fraction: float) -> float:
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(fraction * len(ordered)))]


def load(workers: int, calls: int) -> None:
    with local_service("--workers", str(workers)) as (url, key, _):
        with VazoVez(api_url=url, api_key=key) as client:

            def timed(n: int) -> float:
                started = time.perf_counter()
                assert client.run(abs, -n) == n
                return time.perf_counter() - started

            with ThreadPoolExecutor(8) as pool:
                list(pool.map(timed, range(40)))  # connections and worker start-up
                started = time.perf_counter()
                latencies = list(pool.map(timed, range(calls * 8)))
                elapsed = time.perf_counter() - started
    print(
        f"load: {len(latencies)} calls from 8 threads on {workers} workers: "
        f"{len(latencies) / elapsed:.0f} calls/s, p50 {statistics.median(latencies) * 1000:.1f} ms,"
        f" p99 {percentile(latencies, 0.99) * 1000:.1f} ms"
    )


def health_during_pre_warm() -> None:
    source = "import colorsys\n" + "values = [(1, 2), {'a': [3]}]  # comment\n" * 24_000
    with local_service("--workers", "1") as (url, key, _):
        headers = {"Authorization": f"Bearer {key}"}
        done = threading.Event()
        took: list[float] = []

        def pre_warm() -> None:
            started = time.perf_counter()
            body = {"source_code": source, "fast": False}
            httpx.post(f"{url}/v1/pre-warm", json=body, headers=headers, timeout=60)
            took.append(time.perf_counter() - started)
            done.set()

        latencies = []
        with httpx.Client(base_url=url, timeout=10) as probe:
            probe.get("/v1/health")
            threading.Thread(target=pre_warm).start()
            while not done.is_set():
                started = time.perf_counter()
                probe.get("/v1/health")
                latencies.append(time.perf_counter() - started)
    print(
        f"health during a {len(source) / MB:.2f} MB pre-warm ({took[0]:.2f} s): "
        f"{len(latencies)} probes, max {max(latencies) * 1000:.1f} ms, "
        f"p50 {statistics.median(latencies) * 1000:.1f} ms"
    )


def fall_back_from_stopped(silence: float) -> None:
    with local_service("--workers", "1") as (url, key, process):
        with VazoVez(api_url=url, api_key=key, silence_timeout=silence) as client:
            client.run(abs, 1)
            stopped = 0.0

            def stop_soon() -> None:
                nonlocal stopped
                time.sleep(0.5)
                process.send_signal(signal.SIGSTOP)
                stopped = time.perf_counter()

            threading.Thread(target=stop_soon).start()
            try:
                client.run(time.sleep, 120)
            except CallTimeoutError:
                waited = time.perf_counter() - stopped
    print(f"stopped service: the call failed {waited:.2f} s after SIGSTOP (bound {silence} s)")


def large_result(size: int) -> None:
    with local_service("--workers", "1", "--max-result-bytes", str(size + MB)) as (url, key, proc):
        service = psutil.Process(proc.pid)
        with VazoVez(api_url=url, api_key=key) as client:
            client.run(abs, 1)
            idle = service.memory_info().rss
            peak = idle
            done = threading.Event()

            def sample() -> None:
                nonlocal peak
                while not done.is_set():
                    peak = max(peak, service.memory_info().rss)
                    time.sleep(0.005)

            sampler = threading.Thread(target=sample)
            sampler.start()
            started = time.perf_counter()
            result = client.run(bytes, size)
            took = time.perf_counter() - started
            done.set()
            sampler.join()
            assert len(result) == size
    print(
        f"{size / MB:.0f} MB result in {took:.2f} s: service peak {(peak - idle) / MB:.0f} MB "
        f"above its idle {idle / MB:.0f} MB ({(peak - idle) / size:.2f} copies)"
    )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--calls", type=int, default=200, help="calls per client thread")
    parser.add_argument("--silence", type=float, default=5.0, help="client silence bound, s")
    parser.add_argument("--result-mb", type=int, default=200)
    args = parser.parse_args()
    load(args.workers, args.calls)
    health_during_pre_warm()
    fall_back_from_stopped(args.silence)
    large_result(args.result_mb * MB)


if __name__ == "__main__":
    main()
