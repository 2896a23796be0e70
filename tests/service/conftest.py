"""The real service, started as a separate process on a free loopback port."""
import contextlib
import os
import signal
import socket
import subprocess
import sys
import time
from pathlib import Path

import httpx
import pytest

from zuvoda import protocol
from zuvoda.client import VazoVez

API_KEY, MAX_BODY_BYTES = "test-key-5d1e9c", 64 * 1024
TESTS = Path(__file__).parents[1]


def environment(*paths, **settings):
    """This environment with absolute PYTHONPATH entries, so that the service, its workers and
    scripts import the same zuvoda as the tests; settings of None are left out."""
    entries = [*map(str, paths), *os.environ.get("PYTHONPATH", "").split(os.pathsep)]
    python_path = os.pathsep.join(os.path.abspath(p) for p in entries if p)
    env = {**os.environ, "PYTHONPATH": python_path, "ZUVODA_API_KEY": API_KEY, **settings}
    return {name: value for name, value in env.items() if value is not None}


class RunningService:
    api_key, max_body_bytes = API_KEY, MAX_BODY_BYTES

    def __init__(self, url, process, verify):
        self.url, self.process, self.verify = url, process, verify

    def client(self, **options):
        return VazoVez(**{"api_key": API_KEY, "api_url": self.url, **options})

    def post(self, path, authorization=f"Bearer {API_KEY}", headers=(), **request):
        sent = {"Content-Type": protocol.CALL_CONTENT_TYPE, "Authorization": authorization,
                **dict(headers)}  # None: not sent
        return httpx.post(self.url + path, headers={k: v for k, v in sent.items() if v}, timeout=30,
                          verify=self.verify, **request)

    def stats(self):
        return httpx.get(f"{self.url}/v1/stats", headers={"Authorization": f"Bearer {API_KEY}"},
                         timeout=10, verify=self.verify).raise_for_status().json()

    def script(self, statements, during=list, **settings):
        """The output lines of tests/programs/e2e_script.py running ``statements`` against this
        service with ``settings`` in its environment, while ``during`` runs; it must succeed."""
        env = environment(TESTS / "system", **{"ZUVODA_API_URL": self.url, **settings})
        command = [sys.executable, str(TESTS / "programs" / "e2e_script.py"), statements]
        with subprocess.Popen(command, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              text=True) as process:
            try:
                during()
                stdout, stderr = process.communicate(timeout=120)
            finally:
                process.kill()
        assert process.returncode == 0, stdout + stderr
        return stdout.splitlines()


@contextlib.contextmanager
def start_service(log_dir, *options, verify=True):
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        port = sock.getsockname()[1]
    url = f"{'https' if '--tls-cert' in options else 'http'}://127.0.0.1:{port}"
    log_path = log_dir / "service.log"
    with open(log_path, "wb") as log:
        process = subprocess.Popen([sys.executable, "-m", "zuvoda.service", "--port", str(port),
                                    *options], env=environment(), stdout=log, stderr=log)
    try:
        deadline = time.monotonic() + 30
        while True:
            assert process.poll() is None and time.monotonic() < deadline, log_path.read_text()
            with contextlib.suppress(httpx.TransportError):
                if httpx.get(f"{url}/v1/health", timeout=1, verify=verify).status_code == 200:
                    break
            time.sleep(0.05)
        yield RunningService(url, process, verify)
    finally:
        process.send_signal(signal.SIGCONT)  # in case a test stopped it
        process.terminate()
        try:
            process.wait(timeout=15)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait(timeout=5)


@pytest.fixture(scope="session")
def launch_service(tmp_path_factory):
    """``with launch_service(*options):`` a service of one's own."""
    return lambda *options, **settings: start_service(
        tmp_path_factory.mktemp("service"), *options, **settings)


@pytest.fixture(scope="session")
def service(launch_service):
    """Two workers, a 64 KiB body limit and a 1 MiB result limit, shared by the tests."""
    with launch_service("--workers", "2", "--max-body-bytes", str(MAX_BODY_BYTES),
                        "--max-result-bytes", str(1 << 20)) as running:
        yield running


@pytest.fixture
def client(service):
    with service.client() as opened:
        yield opened
