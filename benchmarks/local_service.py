"""A zuvoda service of the benchmarks' own, on a free loopback port."""

from __future__ import annotations

import contextlib
import os
import secrets
import signal
import socket
import subprocess
import sys
import time
from collections.abc import Iterator

import httpx


@contextlib.contextmanager
def local_service(
    *options: str, cpus: set[int] | None = None
) -> Iterator[tuple[str, str, subprocess.Popen[bytes]]]:
    """The service, its workers on ``cpus`` when given (they inherit the service's affinity)."""
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        port = sock.getsockname()[1]
    key = secrets.token_urlsafe(16)
    url = f"http://127.0.0.1:{port}"
    env = {**os.environ, "ZUVODA_API_KEY": key, "ZUVODA_LOG_LEVEL": "warning"}
    command = [sys.executable, "-m", "zuvoda.service", "--port", str(port), *options]
    pin = (lambda: os.sched_setaffinity(0, cpus)) if cpus else None
    process = subprocess.Popen(command, env=env, preexec_fn=pin)
    try:
        deadline = time.monotonic() + 30
        while True:
            with contextlib.suppress(httpx.TransportError):
                if httpx.get(f"{url}/v1/health", timeout=1).status_code == 200:
                    break
            if process.poll() is not None or time.monotonic() > deadline:
                raise SystemExit("the service did not start")
            time.sleep(0.05)
        yield url, key, process
    finally:
        process.send_signal(signal.SIGCONT)
        process.terminate()
        process.wait(timeout=15)
