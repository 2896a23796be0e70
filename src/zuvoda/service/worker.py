"""What runs inside worker processes, local or on a Dask cluster.

Only the standard library, cloudpickle, ``recording`` and ``zuvoda.protocol`` are imported here,
so that a worker starts quickly and Dask workers need nothing of zuvoda installed (the service
ships this module and those two by value).
"""

from __future__ import annotations

import ctypes
import functools
import hashlib
import importlib
import inspect
import io
import os
import pickle
import signal
import sys
import threading
import time
import traceback
from multiprocessing.connection import Connection
import types
from types import TracebackType
from typing import Any

import cloudpickle

from zuvoda.service import recording

# ("ok", pickled result, notes) or ("error", stage, exception type name, message, traceback
# text, notes), where stage is "load" (the call could not be unpickled), "call" (it raised),
# "changed" (it changed what the caller would never see changed: the message says what), "dump"
# (the result could not be pickled) or "size" (the pickled result is over the limit); notes is
# what the caller's process must see of the call, a dict of JSON values: what it wrote
# ("stdout", "stderr"), the warnings it raised and what it read of the environment (see
# recording.Recorded.notes), each only when there is some.
Reply = tuple[Any, ...]

_PR_SET_PDEATHSIG = 1
# What a call may write to each of stdout and stderr that goes back to the caller.
MAX_OUTPUT_CHARS = 1024 * 1024
_NO_NOTES: dict[str, Any] = {}


def execute(payload: bytes, max_result_bytes: int) -> Reply:
    """Unpickle a call (the function's pickle, then the (args, kwargs) one), run it and pickle
    its result; never raises."""
    try:
        func, args, kwargs, received = _load_call(payload)
    except BaseException as exc:  # noqa: BLE001 - reported to the caller, like all below
        return (*_failure("load", exc, exc.__traceback__), _NO_NOTES)
    watched = _watched(func, args, kwargs)
    before = _fingerprints(watched)
    recorded = recording.Recorded()
    with _Captured() as output:
        try:
            with recorded:
                result = func(*args, **kwargs)
        except BaseException as exc:  # noqa: BLE001 - SystemExit too: the worker must survive it
            # Drop this frame: the user wants the traceback of their own code.
            tb = exc.__traceback__.tb_next if exc.__traceback__ else None
            failure = _failure("call", exc, tb)
        else:
            failure = None
    notes = {**output.texts, **recorded.notes()}
    changed = [label for label, value in _fingerprints(watched).items() if before[label] != value]
    if changed:
        # The caller's own objects never saw the change: only a local run gives its meaning.
        what = ", ".join(_describe(label, func) for label in changed)
        message = f"it changed {what}, which the caller would not see changed"
        return ("error", "changed", "", message, message + "\n", notes)
    if failure is not None:
        return (*failure, notes)
    try:
        pickled = _dump_result(result, received)
    except BaseException as exc:  # noqa: BLE001
        return (*_failure("dump", exc, exc.__traceback__), notes)
    if len(pickled) > max_result_bytes:
        message = (
            f"the pickled result of {len(pickled)} bytes exceeds the service's limit of "
            f"{max_result_bytes} bytes"
        )
        return ("error", "size", type(result).__name__, message, message + "\n", notes)
    return ("ok", pickled, notes)


_IMMUTABLE = frozenset({int, float, complex, bool, str, bytes, type(None), range})
_MISSING = object()


def _immutable(value: Any, depth: int = 0) -> bool:
    kind = type(value)
    if kind in _IMMUTABLE:
        return True
    if (kind is tuple or kind is frozenset) and depth < 16:
        return all(_immutable(item, depth + 1) for item in value)
    return False


def _watched(func: Any, args: tuple[Any, ...], kwargs: dict[str, Any]) -> dict[Any, Any]:
    """What a call can change that the caller would miss, each read by a function of no
    arguments: its arguments (those not immutable throughout), the instance and arguments a
    bound method or partial carries, and the globals and closure values of a function that came
    by value, read again after the call since it may rebind them. Keys label each one."""
    objects: dict[Any, Any] = {("argument", i): arg for i, arg in enumerate(args)}
    objects.update({("argument", name): arg for name, arg in kwargs.items()})
    target = func
    while True:
        if isinstance(target, functools.partial):
            objects.update({("partial", i): arg for i, arg in enumerate(target.args)})
            objects.update({("partial", name): arg for name, arg in target.keywords.items()})
            target = target.func
        elif isinstance(target, types.MethodType):
            objects[("argument", "self")] = target.__self__
            target = target.__func__
        else:
            break
    watched = {
        label: functools.partial(_same, value)
        for label, value in objects.items()
        if not _immutable(value)
    }
    if isinstance(target, types.FunctionType) and not _importable(target):
        namespace = target.__globals__
        for name in namespace:
            if not name.startswith("__"):
                watched[("global", name)] = functools.partial(namespace.get, name, _MISSING)
        names = target.__code__.co_freevars
        for name, cell in zip(names, target.__closure__ or (), strict=True):
            watched[("closure variable", name)] = functools.partial(_contents, cell)
        # A name the call adds to the globals counts as a change too.
        watched[("globals", None)] = functools.partial(_names, namespace)
    return watched


def _same(value: Any) -> Any:
    return value


def _names(namespace: dict[str, Any]) -> frozenset[str]:
    # Double-underscore names are the interpreter's (__warningregistry__ among them), not the
    # call's doing.
    return frozenset(name for name in namespace if not name.startswith("__"))


def _importable(func: types.FunctionType) -> bool:
    """Whether the function is its module's own, rather than one sent by value with globals of
    its own: changes to an installed module's state are the module's business."""
    module = sys.modules.get(func.__module__ or "")
    return module is not None and func.__globals__ is vars(module)


def _contents(cell: types.CellType) -> Any:
    try:
        return cell.cell_contents
    except ValueError:
        return _MISSING


def _fingerprints(watched: dict[Any, Any]) -> dict[Any, Any]:
    return {label: _fingerprint(read()) for label, read in watched.items()}


def _fingerprint(value: Any) -> Any:
    """Equal before and after a call unless the call changed the value; taken in one process,
    so a digest of the pickle is stable."""
    if _immutable(value) or value is _MISSING:
        return ("value", value)
    if isinstance(value, types.ModuleType):
        if sys.modules.get(value.__name__) is value:
            return ("module", id(value))
        # A module that came by value: which objects its names are bound to.
        return ("module", id(value), tuple((name, id(v)) for name, v in vars(value).items()))
    try:
        return ("pickle", hashlib.sha256(cloudpickle.dumps(value)).digest())
    except BaseException:  # noqa: BLE001 - what cannot be compared counts as changed
        return object()


def _describe(label: tuple[Any, Any], func: Any) -> str:
    kind, key = label
    if kind == "globals":
        return "its module's globals"
    if kind == "argument" and isinstance(key, int):
        try:
            names = list(inspect.signature(func).parameters)
            key = names[key] if key < len(names) else key + 1
        except (TypeError, ValueError):
            key += 1
    return f"{kind} {key!r}" if isinstance(key, str) else f"{kind} {key}"


class _BoundedText(io.StringIO):
    def __init__(self) -> None:
        super().__init__()
        self.dropped = 0

    def write(self, text: str) -> int:
        room = MAX_OUTPUT_CHARS - self.tell()
        if len(text) > room:
            self.dropped += len(text) - max(room, 0)
            text = text[: max(room, 0)]
        super().write(text)
        return len(text)

    def text(self) -> str:
        value = self.getvalue()
        if self.dropped:
            value += f"\n[zuvoda: {self.dropped} more characters of output were dropped]\n"
        return value


class _Captured:
    """What the call writes to sys.stdout and sys.stderr, up to MAX_OUTPUT_CHARS each: texts
    holds "stdout" and "stderr", each only when written to."""

    def __enter__(self) -> _Captured:
        self._saved = sys.stdout, sys.stderr
        self._out, self._err = _BoundedText(), _BoundedText()
        sys.stdout, sys.stderr = self._out, self._err
        return self

    def __exit__(self, *exc_info: object) -> None:
        sys.stdout, sys.stderr = self._saved
        written = (("stdout", self._out.text()), ("stderr", self._err.text()))
        self.texts = {stream: text for stream, text in written if text}


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
            calls.send(("ok", reply[2]))
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


def _load_call(
    payload: bytes,
) -> tuple[Any, tuple[Any, ...], dict[str, Any], dict[int, Any]]:
    """The call, and every object it brought by its index in the pickle's memo. One unpickler
    reads both pickles: the arguments' refer to objects of the function's, as on the caller's
    side, where what the function and the arguments share is one object."""
    unpickler = pickle.Unpickler(io.BytesIO(payload))
    func = unpickler.load()
    if not callable(func):
        raise TypeError(f"{type(func).__name__} object is not callable")
    call = unpickler.load()
    if not (isinstance(call, tuple) and len(call) == 2):
        raise TypeError(f"expected an (args, kwargs) tuple, got {type(call).__name__}")
    args, kwargs = call
    if not isinstance(args, tuple) or not isinstance(kwargs, dict):
        raise TypeError("args must be a tuple and kwargs a dict")
    return func, args, kwargs, unpickler.memo.copy()


def _dump_result(result: Any, received: dict[int, Any]) -> bytes:
    """The pickled result, in which every object the call brought is a reference to the memo
    entry it came in: the caller, who numbers its own objects the same way, gets its own object
    back (its argument, a function it passed, its live class), as a local call would give it."""
    memo: dict[int, tuple[int, Any]] = {}
    # The same object under two indices is one the caller sent as two: a wrapper comes as the
    # function it stands for, after that function. The later index names what the caller
    # passed; a stand-in at the other keeps the numbering whole, so that the result's own
    # objects are numbered as the caller's unpickler numbers them.
    for index in sorted(received, reverse=True):
        obj = received[index]
        if id(obj) in memo:
            obj = object()
        memo[id(obj)] = (index, obj)
    buffer = io.BytesIO()
    pickler = cloudpickle.Pickler(buffer, protocol=pickle.HIGHEST_PROTOCOL)
    pickler.memo = memo
    pickler.dump(result)
    return buffer.getvalue()


def _failure(stage: str, exc: BaseException, tb: TracebackType | None) -> tuple[Any, ...]:
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
