"""Daemon threads at interpreter exit. A daemon thread that wakes up while the interpreter finalises
is ended from inside the interpreter; a thread of the module's (sampling, pre-warm) or of the
program's (inside a wrapper) ended that way must not take the process down on its way out."""

import subprocess
import sys
import textwrap

import pytest

# The program's last act leaves a cycle with a slow finaliser: the interpreter collects it while
# finalising, and every daemon thread wakes up during that time. The helpers are private, so that
# overflow() leaves them unwrapped.
PRELUDE = """
import gc, sys, threading, time, types


def _machine(cpu_percent):
    psutil = types.ModuleType("psutil")
    psutil.cpu_percent = cpu_percent
    psutil.virtual_memory = lambda: types.SimpleNamespace(percent=20.0)
    sys.modules["psutil"] = psutil
    sys.modules["pynvml"] = None


def _measuring(interval=None):
    if interval:
        time.sleep(interval)
    return 10.0


def _waiting_forever(*args, **kwargs):
    while True:
        time.sleep(0.01)


class SlowFinaliser:
    def __del__(self, sleep=time.sleep):
        sleep(0.5)


def _finish_slowly():
    gc.disable()
    cycle = SlowFinaliser()
    cycle.cycle = cycle
    print("done")
"""

SAMPLING_IN_MEASURING_WINDOW = """
_machine(_measuring)
from zuvoda.overflow import overflow
overflow(check_interval=0.05, verbose=False)
time.sleep(0.1)
_finish_slowly()
"""


SAMPLING_IN_FAILURE_PAUSE = """
def _failing_sensor(interval=None):
    if interval is not None:
        raise RuntimeError("sensor gone")
    return 0.0


_machine(_failing_sensor)
from zuvoda.overflow import overflow
overflow(check_interval=0.05, verbose=False)
time.sleep(0.1)
_finish_slowly()
"""

PRE_WARM_WAITING_FOR_THE_SERVICE = """
_machine(_measuring)
httpx = types.ModuleType("httpx")
httpx.post = _waiting_forever
sys.modules["httpx"] = httpx
from zuvoda.overflow import overflow
overflow(check_interval=5.0, verbose=False, api_key="key")
time.sleep(0.1)
_finish_slowly()
"""

WRAPPED_CALL_IN_A_DAEMON_THREAD = """
_machine(_measuring)
CLOUD = sys.argv[1]


class VazoVez:
    def __init__(self, **kwargs):
        pass

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        pass

    def run(self, func, *args, **kwargs):
        if CLOUD == "waits":
            _waiting_forever()
        raise RuntimeError("cloud down")


client = types.ModuleType("zuvoda.client")
client.VazoVez = VazoVez
sys.modules["zuvoda.client"] = client


def work():
    _waiting_forever()


from zuvoda.overflow import overflow
monitor = overflow(check_interval=5.0, verbose=False)
monitor._overloaded = CLOUD != "unused"
threading.Thread(target=work, daemon=True).start()
time.sleep(0.1)
_finish_slowly()
"""


@pytest.mark.parametrize("program, arguments", [
    (SAMPLING_IN_MEASURING_WINDOW, []),
    (SAMPLING_IN_FAILURE_PAUSE, []),
    (PRE_WARM_WAITING_FOR_THE_SERVICE, []),
    (WRAPPED_CALL_IN_A_DAEMON_THREAD, ["waits"]),
    (WRAPPED_CALL_IN_A_DAEMON_THREAD, ["fails"]),
    (WRAPPED_CALL_IN_A_DAEMON_THREAD, ["unused"]),
], ids=["sampling-measuring", "sampling-failure-pause", "pre-warm", "wrapper-offloading",
        "wrapper-falling-back", "wrapper-running-locally"])
def test_daemon_thread_woken_during_finalisation_leaves_quietly(
    tmp_path, child_environment, program, arguments
):
    script = tmp_path / "program.py"
    script.write_text(textwrap.dedent(PRELUDE + program), encoding="utf-8")
    result = subprocess.run(
        [sys.executable, str(script), *arguments], capture_output=True, text=True, timeout=60,
        cwd=tmp_path, env=child_environment(), stdin=subprocess.DEVNULL, check=False,
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout == "done\n"
