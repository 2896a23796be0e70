"""What runs inside worker processes, local or on a Dask cluster.

Only the standard library and cloudpickle are imported here, so that a worker starts quickly and
Dask workers need nothing of zuvoda installed (the service ships this module by value).
"""

from __future__ import annotations

import importlib
import io
import pickle
import signal
import threading
import traceback
from multiprocessing.connection import Connection
from types import TracebackType
from typing import Any

import cloudpickle

# ("ok", pickled result) or ("error", stage, exception type name, message, traceback text), where
# stage is "load" (the call could not be unpickled), "call" (it raised) or "dump" (the result
# could not be pickled).
Reply = tuple[Any, ...]


def execute(payload: bytes) -> Reply:
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
        return ("ok", cloudpickle.dumps(result, protocol=pickle.HIGHEST_PROTOCOL))
    except BaseException as exc:  # noqa: BLE001
        return _failure("dump", exc, exc.__traceback__)


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


def serve(calls: Connection, warms: Connection, modules: list[str]) -> None:
    """Main loop of a local worker process: one call at a time from ``calls``; imports from
    ``warms`` in a side thread so that warming never waits behind a running call."""
    # Ctrl+C in the service's terminal reaches the whole process group; the service stops us.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    import_modules(modules)
    threading.Thread(target=_serve_warms, args=(warms,), name="zuvoda-warm", daemon=True).start()
    while True:
        try:
            payload = calls.recv_bytes()
        except EOFError:
            return
        calls.send(execute(payload))


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
    text = "".join(traceback.format_exception(type(exc), exc, tb))
    return ("error", stage, type(exc).__name__, str(exc), text)
