"""What runs inside worker processes, local or on a Dask cluster.

Only the standard library and cloudpickle are imported here, so that a worker starts quickly and
Dask workers need nothing of zuvoda installed (the service ships this module by value).
"""

from __future__ import annotations

import ctypes
import importlib
import io
import os
import pickle
import signal
import sys
import threading
import time
import traceback
from multiprocessing.connection import Connection
from types import TracebackType
from typing import Any

import cloudpickle

# ("ok", pickled result) or ("error", stage, exception type name, message, traceback text), where
# stage is "load" (the call could not be unpickled), "call" (it raised), "dump" (the result
# could not be pickled) or "size" (the pickled result is over the limit).
Reply = tuple[Any, ...]

_PR_SET_PDEATHSIG = 1


def execute(payload: bytes, max_result_bytes: int) -> Reply:
    """Unpickle a call (the function's pickle, then the (args, kwargs) one), run it and pickle
    its result; never raises."""
    try:
        func, args, kwargs = _load_call(payload)
    except BaseException as exc:  # noqa: BLE001 - reported to the caller, like all below
        return _failure("load", exc, exc.__traceback__)
    try:
        result = func(*args, **kwargs)
    except BaseException as exc:  # noqa: BLE001 - SystemExit too: the worker must survive it
        # Drop this frame: the user wants the traceback of their own code.
        tb = exc.__traceback__.tb_next if exc.__traceback__ else None
        return _failure("call", exc, tb)
    try:
        pickled = cloudpickle.dumps(result, protocol=pickle.HIGHEST_PROTOCOL)
    except BaseException as exc:  # noqa: BLE001
        return _failure("dump", exc, exc.__traceback__)
    if len(pickled) > max_result_bytes:
        message = (
            f"the pickled result of {len(pickled)} bytes exceeds the service's limit of "
            f"{max_result_bytes} bytes"
        )
        return ("error", "size", type(result).__name__, message, message + "\n")
    return ("ok", pickled)


def import_modules(names: list[str]) -> list[str]:
    """Import what a script is going to need; answer the names that imported."""
    imported = []
    for name in names:
        try:
            importlib.import_module(name)
        except Exception:  # noqa: BLE001, S112 - a missing module is the script's business
            continue
        imported.append(name)
    return imported


def serve(
    calls: Connection, warms: Connection, modules: list[str], service: int, max_result_bytes: int
) -> None:
    """Main loop of a local worker process: one call at a time from ``calls``; imports from
    ``warms`` in a side thread so that warming never waits behind a running call. A result goes
    back as a small reply and then its bytes, which the service reads without another copy."""
    _end_with(service)
    # Ctrl+C in the service's terminal reaches the whole process group; the service stops us.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    import_modules(modules)
    threading.Thread(target=_serve_warms, args=(warms,), name="zuvoda-warm", daemon=True).start()
    while True:
        try:
            payload = calls.recv_bytes()
        except EOFError:
            return
        reply = execute(payload, max_result_bytes)
        if reply[0] == "ok":
            calls.send(("ok",))
            calls.send_bytes(reply[1])
        else:
            calls.send(reply)
        del payload, reply  # not held while idle: either may be large


def _end_with(service: int) -> None:
    """Dies with the service process, even in the middle of a call that would run for hours.

    On Linux the kernel sends SIGKILL when the thread that spawned this process ends; the service
    spawns workers only from threads that last as long as it does. Elsewhere a thread watches.
    """
    if sys.platform.startswith("linux"):
        libc = ctypes.CDLL(None, use_errno=True)
        if libc.prctl(_PR_SET_PDEATHSIG, signal.SIGKILL, 0, 0, 0) != 0:
            raise OSError(ctypes.get_errno(), "prctl(PR_SET_PDEATHSIG) failed")
    else:
        threading.Thread(target=_watch, args=(service,), name="zuvoda-watch", daemon=True).start()
    if os.getppid() != service:  # it died before the signal was armed
        os._exit(1)


def _watch(service: int) -> None:
    while os.getppid() == service:
        time.sleep(0.5)
    os._exit(1)


def _serve_warms(warms: Connection) -> None:
    while True:
        try:
            names = warms.recv()
        except EOFError:
            return
        warms.send(import_modules(names))


def _load_call(payload: bytes) -> tuple[Any, tuple[Any, ...], dict[str, Any]]:
    stream = io.BytesIO(payload)
    func = pickle.load(stream)
    if not callable(func):
        raise TypeError(f"{type(func).__name__} object is not callable")
    call = pickle.load(stream)
    if not (isinstance(call, tuple) and len(call) == 2):
        raise TypeError(f"expected an (args, kwargs) tuple, got {type(call).__name__}")
    args, kwargs = call
    if not isinstance(args, tuple) or not isinstance(kwargs, dict):
        raise TypeError("args must be a tuple and kwargs a dict")
    return func, args, kwargs


def _failure(stage: str, exc: BaseException, tb: TracebackType | None) -> Reply:
    # The exception's own __str__ may raise anything; its failure must not end the worker.
    name = type(exc).__name__
    try:
        message = str(exc)
        printable = True
    except BaseException:  # noqa: BLE001
        message, printable = f"<unprintable {name} object>", False
    try:
        text = "".join(traceback.format_exception(type(exc), exc, tb))
    except BaseException:  # noqa: BLE001
        text = f"{name}: {message}\n"
    placeholder = "<exception str() failed>\n"  # what traceback writes instead
    if not printable and text.endswith(placeholder):
        text = text[: -len(placeholder)] + message + "\n"
    return ("error", stage, name, message, text)
