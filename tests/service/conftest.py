"""Fixtures starting the real service as a separate process on a free loopback port."""

from __future__ import annotations

import contextlib
import os
import signal
import socket
import subprocess
import sys
import time
from collections.abc import Iterator
from pathlib import Path
from typing import Any

import httpx
import pytest

from zuvoda import protocol
from zuvoda.client import VazoVez

API_KEY = "test-key-5d1e9c"
MAX_BODY_BYTES = 64 * 1024
MAX_RESULT_BYTES = 1024 * 1024
STARTUP_TIMEOUT_S = 30.0
CONTENT_TYPES = {
    protocol.RUN_PATH: protocol.CALL_CONTENT_TYPE,
    protocol.PRE_WARM_PATH: protocol.PRE_WARM_CONTENT_TYPE,
}


def free_port() -> int:
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


def service_environment() -> dict[str, str]:
    """The tests' environment, with PYTHONPATH made absolute so that the service and its
    workers import the same zuvoda as the tests, from the source tree or an installed copy."""
    env = dict(os.environ)
    entries = [os.path.abspath(p) for p in env.get("PYTHONPATH", "").split(os.pathsep) if p]
    if entries:
        env["PYTHONPATH"] = os.pathsep.join(entries)
    env["ZUVODA_API_KEY"] = API_KEY
    return env


class RunningService:
    api_key = API_KEY
    max_body_bytes: int | None = None

    def __init__(
        self, url: str, process: subprocess.Popen[bytes], log_path: Path, verify: Any
    ) -> None:
        self.url = url
        self.process = process
        self.log_path = log_path
        self.verify = verify

    def client_environment(self) -> dict[str, str]:
        """Environment for a script that reaches this service through ZUVODA_API_URL/KEY."""
        return {**service_environment(), "ZUVODA_API_URL": self.url}

    def client(self, **options: Any) -> VazoVez:
        return VazoVez(**{"api_key": API_KEY, "api_url": self.url, **options})

    def post(self, path: str, api_key: str | None = API_KEY, **request: Any) -> httpx.Response:
        headers = {"Content-Type": CONTENT_TYPES[path], **request.pop("headers", {})}
        if api_key is not None:
            headers["Authorization"] = f"Bearer {api_key}"
        request.setdefault("timeout", 30)
        return httpx.post(self.url + path, headers=headers, verify=self.verify, **request)

    def stats(self) -> dict[str, Any]:
        answer = httpx.get(
            f"{self.url}/v1/stats",
            headers={"Authorization": f"Bearer {API_KEY}"},
            timeout=10,
            verify=self.verify,
        )
        answer.raise_for_status()
        return answer.json()

    def wait_for_log(self, fragment: str, timeout: float = 10.0) -> bool:
        deadline = time.monotonic() + timeout
        while fragment not in self.log_path.read_text(errors="replace"):
            if time.monotonic() > deadline:
                return False
            time.sleep(0.05)
        return True


@contextlib.contextmanager
def start_service(log_dir: Path, *options: str, verify: Any = True) -> Iterator[RunningService]:
    """The service started with ``options``; ``verify`` is how to check its certificate when
    ``options`` make it serve https."""
    port = free_port()
    url = f"{'https' if '--tls-cert' in options else 'http'}://127.0.0.1:{port}"
    log_path = log_dir / f"service-{port}.log"
    command = [sys.executable, "-m", "zuvoda.service", "--port", str(port), *options]
    with open(log_path, "wb") as log:
        process = subprocess.Popen(
            command, env=service_environment(), stdout=log, stderr=subprocess.STDOUT
        )
    try:
        deadline = time.monotonic() + STARTUP_TIMEOUT_S
        while True:
            if process.poll() is not None:
                pytest.fail(f"service exited with {process.returncode}:\n{log_path.read_text()}")
            try:
                if httpx.get(f"{url}/v1/health", timeout=1, verify=verify).status_code == 200:
                    break
            except httpx.TransportError:
                pass
            if time.monotonic() > deadline:
                pytest.fail(f"service not ready in {STARTUP_TIMEOUT_S} s:\n{log_path.read_text()}")
            time.sleep(0.05)
        yield RunningService(url, process, log_path, verify)
    finally:
        process.send_signal(signal.SIGCONT)  # in case a test stopped it
        process.terminate()
        try:
            process.wait(timeout=15)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait(timeout=5)


@pytest.fixture(scope="session")
def service(tmp_path_factory: pytest.TempPathFactory) -> Iterator[RunningService]:
    """A service with two local worker processes and small body and result limits, shared by
    the tests."""
    log_dir = tmp_path_factory.mktemp("service")
    options = ["--workers", "2", "--max-body-bytes", str(MAX_BODY_BYTES)]
    options += ["--max-result-bytes", str(MAX_RESULT_BYTES)]
    with start_service(log_dir, *options) as svc:
        svc.max_body_bytes = MAX_BODY_BYTES
        yield svc


@pytest.fixture(scope="session")
def launch_service(tmp_path_factory: pytest.TempPathFactory) -> Any:
    """Starts a service of one's own with the given options: ``with launch_service(...)``."""
    return lambda *options, **settings: start_service(
        tmp_path_factory.mktemp("service"), *options, **settings
    )


@pytest.fixture
def unused_port() -> int:
    return free_port()


@pytest.fixture
def client(service: RunningService) -> Iterator[VazoVez]:
    with service.client() as opened:
        yield opened
