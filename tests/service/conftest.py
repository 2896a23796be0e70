"""The real service, started as a separate process on a free loopback port."""
import contextlib
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


class RunningService:
    api_key, max_body_bytes = API_KEY, MAX_BODY_BYTES

    def __init__(self, url, process, verify, environment):
        self.url, self.process, self.verify, self.environment = url, process, verify, environment

    def client(self, **options):
        return VazoVez(**{"api_key": API_KEY, "api_url": self.url, **options})

    def post(self, path, headers=(), **request):
        sent = {"Content-Type": protocol.CALL_CONTENT_TYPE, "Authorization": f"Bearer {API_KEY}",
                **dict(headers)}  # None: not sent
        return httpx.post(self.url + path, headers={k: v for k, v in sent.items() if v}, timeout=30,
                          verify=self.verify, **request)

    def stats(self):
        return httpx.get(f"{self.url}/v1/stats", headers={"Authorization": f"Bearer {API_KEY}"},
                         timeout=10, verify=self.verify).raise_for_status().json()

    def script(self, statements, during=list, flags=(), **settings):
        """The lines printed and the lines logged by tests/programs/e2e_script.py running
        ``statements`` against this service with ``settings`` (None: unset) in its environment
        and the interpreter's ``flags``, while ``during`` runs."""
        env = {**self.environment(TESTS / "system"), "ZUVODA_API_URL": self.url, **settings}
        command = [sys.executable, *flags, str(TESTS / "programs" / "e2e_script.py"), statements]
        with subprocess.Popen(command, env={k: v for k, v in env.items() if v is not None},
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True) as run:
            try:
                during()
                printed, logged = run.communicate(timeout=120)
            finally:
                run.kill()
        assert run.returncode == 0, printed + logged
        return printed.splitlines(), logged.splitlines()


@pytest.fixture(scope="session")
def launch_service(tmp_path_factory, child_environment):
    """``with launch_service(*options):`` a service of one's own, as on another machine: its
    home and working directory are a directory of its own."""
    def environment(*paths):
        return {**child_environment(*paths), "ZUVODA_API_KEY": API_KEY}

    @contextlib.contextmanager
    def launch(*options, verify=True):
        with socket.socket() as sock:
            sock.bind(("127.0.0.1", 0))
            port = sock.getsockname()[1]
        url = f"{'https' if '--tls-cert' in options else 'http'}://127.0.0.1:{port}"
        home = tmp_path_factory.mktemp("service")
        log_path = home / "service.log"
        with open(log_path, "wb") as log:
            process = subprocess.Popen(
                [sys.executable, "-m", "zuvoda.service", "--port", str(port), *options],
                env={**environment(), "HOME": str(home)}, cwd=home, stdout=log, stderr=log)
        try:
            deadline = time.monotonic() + 30
            while True:
                assert process.poll() is None and time.monotonic() < deadline, log_path.read_text()
                with contextlib.suppress(httpx.TransportError):
                    if httpx.get(f"{url}/v1/health", timeout=1, verify=verify).status_code == 200:
                        break
                time.sleep(0.05)
            yield RunningService(url, process, verify, environment)
        finally:
            process.send_signal(signal.SIGCONT)  # in case a test stopped it
            process.terminate()
            process.wait(timeout=15)

    return launch


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
