# `daemon_exit.py CASE`: a daemon thread of the module's or of the program's is busy when the
# program ends, and the last act leaves a cycle with a slow finaliser, so that every daemon thread
# wakes up while the interpreter finalises: the process must still exit cleanly.
import gc
import sys
import threading
import time
import types

import scripted

CASE = sys.argv[1]


def _waiting_forever(*args, **kwargs):  # private, as every helper here: left unwrapped
    while True:
        time.sleep(0.01)


class _Cloud(scripted.VazoVez):
    def __exit__(self, *exc_info):
        pass

    def run(self, func, *args, **kwargs):
        if CASE == "wrapper-offloading":
            _waiting_forever()
        raise RuntimeError("cloud down")


class _SlowFinaliser:
    def __del__(self, sleep=time.sleep):
        sleep(0.5)


scripted.install(cloud=False)
sys.modules["httpx"] = types.SimpleNamespace(post=_waiting_forever)
sys.modules["zuvoda.client"] = types.SimpleNamespace(VazoVez=_Cloud)
if CASE == "failure-pause":
    scripted.set_load("no sensor")  # every pass fails, then pauses
from zuvoda.overflow import overflow  # noqa: E402


def work():
    _waiting_forever()


sampling = CASE in ("sampling-measuring", "failure-pause")
monitor = overflow(check_interval=0.05 if sampling else 5.0, verbose=False,
                   api_key="key" if CASE == "pre-warm" else None)
if CASE.startswith("wrapper"):
    monitor._overloaded = CASE != "wrapper-local"
    threading.Thread(target=work, daemon=True).start()
time.sleep(0.1)
gc.disable()
_cycle = _SlowFinaliser()
_cycle.cycle = _cycle
print("done")
