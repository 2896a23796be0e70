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

API_KEY = "test-key-5d1e9c"
MAX_BODY_BYTES = 64 * 1024
PROGRAMS = Path(__file__).parents[1] / "programs"
SCRIPTED = Path(__file__).parents[1] / "system"


def free_port():
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


def environment(*paths, **settings):
    """This environment with absolute PYTHONPATH entries, so that the service, its workers and
    scripts import the same zuvoda as the tests."""
    entries = [*map(str, paths), *os.environ.get("PYTHONPATH", "").split(os.pathsep)]
    python_path = os.pathsep.join(os.path.abspath(p) for p in entries if p)
    return {**os.environ, "PYTHONPATH": python_path, "ZUVODA_API_KEY": API_KEY, **settings}


class RunningService:
    def __init__(self, url, process, verify):
        self.url, self.process, self.verify = url, process, verify

    def client(self, **options):
        return VazoVez(**{"api_key": API_KEY, "api_url": self.url, **options})

    def post(self, path, authorization=f"Bearer {API_KEY}", headers=(), **request):
        content_type = {protocol.RUN_PATH: protocol.CALL_CONTENT_TYPE}
        sent = {"Content-Type": content_type.get(path, protocol.PRE_WARM_CONTENT_TYPE)}
        sent.update({"Authorization": authorization} if authorization else {})
        return httpx.post(self.url + path, headers={**sent, **dict(headers)}, timeout=30,
                          verify=self.verify, **request)

    def stats(self):
        answer = httpx.get(f"{self.url}/v1/stats", headers={"Authorization": f"Bearer {API_KEY}"},
                           timeout=10, verify=self.verify)
        answer.raise_for_status()
        return answer.json()

    def script(self, statements, during=list, **settings):
        """The output lines of tests/programs/e2e_script.py running ``statements`` against this
        service, with ``settings`` (None: unset) in its environment, while ``during`` runs; the
        script must succeed."""
        env = environment(SCRIPTED, **{"ZUVODA_API_URL": self.url, **settings})
        env = {name: value for name, value in env.items() if value is not None}
        command = [sys.executable, str(PROGRAMS / "e2e_script.py"), statements]
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
    port = free_port()
    url = f"{'https' if '--tls-cert' in options else 'http'}://127.0.0.1:{port}"
    log_path = log_dir / f"service-{port}.log"
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
def service(tmp_path_factory):
    """Two local workers, a 64 KiB body limit and a 1 MiB result limit, shared by the tests."""
    options = ["--workers", "2", "--max-body-bytes", str(MAX_BODY_BYTES)]
    with start_service(tmp_path_factory.mktemp("service"), *options,
                       "--max-result-bytes", str(1 << 20)) as running:
        yield running


@pytest.fixture(scope="session")
def launch_service(tmp_path_factory):
    """``with launch_service(*options):`` a service of one's own."""
    return lambda *options, **settings: start_service(
        tmp_path_factory.mktemp("service"), *options, **settings)


@pytest.fixture
def client(service):
    with service.client() as opened:
        yield opened
