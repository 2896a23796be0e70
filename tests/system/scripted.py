"""Stand-ins for whole-program tests, imported by the scripts the tests run: machine load under
the script's control, and a cloud client that records what it runs."""

import sys
import threading
import time
import types

LOAD = {"cpu": 10.0, "mem": 20.0}
RUNS = []


def _cpu_percent(interval=None):
    if interval:
        time.sleep(interval)
    return LOAD["cpu"]


def _virtual_memory():
    return types.SimpleNamespace(percent=LOAD["mem"])


class VazoVez:
    def __init__(self, *, api_key, fast, api_url, verbose):
        self.verbose = verbose
        self._warm_session_id = None

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        print("client closed")

    def run(self, func, *args, **kwargs):
        RUNS.append((func.__name__, threading.current_thread().name))
        return func(*args, **kwargs)


def install(cloud=True):
    """psutil answers with LOAD, there is no GPU, and zuvoda.client is the recording client."""
    psutil = types.ModuleType("psutil")
    psutil.cpu_percent = _cpu_percent
    psutil.virtual_memory = _virtual_memory
    sys.modules["psutil"] = psutil
    sys.modules["pynvml"] = None
    if cloud:
        client = types.ModuleType("zuvoda.client")
        client.VazoVez = VazoVez
        sys.modules["zuvoda.client"] = client


def set_load(cpu):
    LOAD["cpu"] = cpu


def wait_for(predicate, timeout=30.0):
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            raise TimeoutError("condition not reached")
        time.sleep(0.002)
