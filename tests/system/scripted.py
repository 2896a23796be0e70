"""Stand-ins imported by whole-program scripts: machine load under the script's control, and a
cloud client that runs calls in-process and records them."""

import sys
import threading
import time
import types

LOAD = {"cpu": 10.0}
RUNS = []


class VazoVez:
    def __init__(self, *, api_key, fast, api_url, verbose):
        self.verbose, self._warm_session_id = verbose, None

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        print("client closed")

    def run(self, func, *args, **kwargs):
        RUNS.append((func.__name__, threading.current_thread().name))
        return func(*args, **kwargs)


# psutil answers with LOAD (memory 20%), there is no GPU, and with `cloud` zuvoda.client is the
# recording client.
def install(cloud=True):
    sys.modules["psutil"] = types.SimpleNamespace(
        cpu_percent=lambda interval=None: time.sleep(interval or 0) or LOAD["cpu"],
        virtual_memory=lambda: types.SimpleNamespace(percent=20.0))
    sys.modules["pynvml"] = None
    if cloud:
        sys.modules["zuvoda.client"] = types.SimpleNamespace(VazoVez=VazoVez)


def set_load(cpu):
    LOAD["cpu"] = cpu


def wait_for(predicate, timeout=30.0):
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            raise TimeoutError("condition not reached")
        time.sleep(0.002)
