import importlib
import logging
import os
import sys
import textwrap
import threading
import types
import uuid
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

import pytest

LOGGER_NAME = "zuvoda.overflow"


@pytest.fixture(autouse=True)
def no_api_settings(monkeypatch):
    """No test, and no program a test starts, sees the developer's API key or URL."""
    for name in (
        "ZUVODA_API_KEY",
        "VAZOVEZ_API_KEY",
        "ZUVODA_API_URL",
        "ZUVODA_SILENCE_TIMEOUT",
        "ZUVODA_CA_BUNDLE",
    ):
        monkeypatch.delenv(name, raising=False)


@pytest.fixture
def ov():
    """The extension module."""
    import zuvoda.overflow

    return zuvoda.overflow


@pytest.fixture
def records(caplog):
    """Log records of the module's logger, at every level."""
    caplog.set_level(logging.DEBUG, logger=LOGGER_NAME)

    def collect():
        return [r for r in caplog.records if r.name == LOGGER_NAME]

    return collect


@pytest.fixture
def monitor(ov):
    """A fresh monitor with an API key, stopped again after the test."""
    created = ov._OverflowMonitor(False, 85.0, 0.05, "test-key", "http://127.0.0.1:9")
    yield created
    created._running = False


@pytest.fixture(scope="session")
def child_environment():
    """child_environment(*paths): the environment for a child interpreter, this one's with
    `paths` put in front of PYTHONPATH and every entry made absolute, so that the child imports
    the same zuvoda from any working directory."""

    def build(*paths):
        entries = [*map(str, paths), *os.environ.get("PYTHONPATH", "").split(os.pathsep)]
        python_path = os.pathsep.join(os.path.abspath(p) for p in entries if p)
        return dict(os.environ, PYTHONPATH=python_path)

    return build


class CalmPsutil(types.ModuleType):
    """psutil reporting a calm machine; its measuring window is cut short."""

    def __init__(self):
        super().__init__("psutil")

    def cpu_percent(self, interval=None):
        if interval:
            threading.Event().wait(min(interval, 0.005))
        return 10.0

    def virtual_memory(self):
        return types.SimpleNamespace(percent=20.0)


@pytest.fixture
def calm_machine(ov, monkeypatch):
    """Calm psutil, no pynvml, no active monitor, and exit handlers recorded instead of
    registered; returns the list of recorded handlers."""
    monkeypatch.setitem(sys.modules, "psutil", CalmPsutil())
    monkeypatch.setitem(sys.modules, "pynvml", None)
    registered = []
    monkeypatch.setattr(ov, "atexit", types.SimpleNamespace(register=registered.append))
    monkeypatch.setattr(ov, "_active_monitor", None)
    return registered


@pytest.fixture(autouse=True)
def no_profile_function_left():
    """Every test leaves the thread without a profile function."""
    before = sys.getprofile()
    yield
    after = sys.getprofile()
    sys.setprofile(before)
    assert after is before, f"profile function left installed: {after!r}"


# From CPython 3.12 on a started monitor watches through sys.monitoring under this tool id and
# leaves the thread's profile function as it was; on 3.11 it is the thread's profile function.
MONITORING_TOOL_ID = 4


@pytest.fixture
def watches():
    """watches(monitor, earlier=None): whether a started monitor watches this thread as README
    says it does on this interpreter, `earlier` being the profile function installed before."""

    def check(monitor, earlier=None):
        if sys.version_info < (3, 12):
            return sys.getprofile() == monitor._profile_hook
        tool = sys.monitoring.get_tool(MONITORING_TOOL_ID)
        return sys.getprofile() is earlier and tool == "zuvoda"

    return check


@pytest.fixture
def module_writer(tmp_path):
    """write(source, name=None, prefix="") puts a module of user code into a temporary directory
    and imports it; the modules and the path entry go again after the test."""
    sys.path.insert(0, str(tmp_path))
    written = []

    def write(source, name=None, prefix=""):
        name = name or f"user_{uuid.uuid4().hex[:12]}"
        (tmp_path / f"{name}.py").write_text(prefix + textwrap.dedent(source))
        importlib.invalidate_caches()
        written.append(name)
        return importlib.import_module(name)

    yield write
    sys.path.remove(str(tmp_path))
    for name in written:
        sys.modules.pop(name, None)


class PreWarmServer:
    """What the loopback pre-warm service received, and how it answers."""

    def __init__(self):
        self.requests = []  # (method, request target, headers, body)
        self.status = 200
        self.body = b'{"warm_session_id": "sess-42", "region": "local"}'


@pytest.fixture
def pre_warm_server():
    """A loopback HTTP service that records every request and answers as told."""
    state = PreWarmServer()

    class Handler(BaseHTTPRequestHandler):
        def answer(self):
            length = int(self.headers.get("Content-Length", 0))
            # The request line as sent: the server's own `path` folds a leading "//".
            target = self.requestline.split()[1]
            state.requests.append((self.command, target, self.headers, self.rfile.read(length)))
            body = b"" if state.status == 204 else state.body
            self.send_response(state.status)
            self.send_header("Content-Type", "application/json")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)

        do_GET = do_POST = do_PUT = answer

        def log_message(self, *args):
            pass

    server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    thread = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.05})
    thread.start()
    state.url = f"http://127.0.0.1:{server.server_address[1]}"
    yield state
    server.shutdown()
    server.server_close()
    thread.join(5)
