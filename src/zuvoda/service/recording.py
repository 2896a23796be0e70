"""What a call does with its process that only the caller's process can answer: the warnings it
raises, which the caller's filters must decide on, and what it reads of the environment and the
working directory, whose values are the caller's.

Only the standard library and ``zuvoda.protocol`` are imported here: the service ships this
module by value, as it ships the worker.
"""

from __future__ import annotations

import os
import sys
import threading
import warnings
from collections.abc import Callable, Iterator, MutableMapping
from types import FrameType
from typing import Any, Self

from zuvoda.protocol import environment_digest, read_digest

# What cloudpickle names the file of code that came by value; its module still says its file.
_BY_VALUE_FILENAME = "<dynamic-code>"
# Identical warnings of one call past this many are counted no more.
MAX_REPEATS = 100
# Distinct warnings of one call past this many are dropped.
MAX_WARNINGS = 1000


class Recorded:
    """Around one call, on the thread that makes it: every warning it raises is recorded,
    whatever the worker's filters, and shown nowhere; every environment variable it reads
    through os.environ, os.environb or what uses them (os.getenv, os.path.expanduser,
    os.path.expandvars), and whether it asks for the working directory (os.getcwd, and
    os.path.abspath or realpath of a relative path), is noted. Reads made by other threads,
    such as the worker's own imports, are not the call's."""

    def __init__(self) -> None:
        self._warnings: dict[tuple[Any, ...], list[Any]] = {}
        self._variables: set[str] = set()
        self._written: dict[str, str | None] = {}
        self._whole_environment = False
        self._cwd = False

    def __enter__(self) -> Self:
        self._thread = threading.get_ident()
        self._caller = sys._getframe(1)
        self._saved = os.environ, getattr(os, "environb", None), os.getcwd, os.getcwdb
        # Other threads' warnings are shown as before.
        self._show = warnings._showwarnmsg_impl  # type: ignore[attr-defined]
        self._catching = warnings.catch_warnings(record=True, action="always")
        self._catching.__enter__()
        warnings._showwarnmsg_impl = self._warned  # type: ignore[attr-defined]
        os.environ = _RecordingEnviron(  # type: ignore[assignment]  # noqa: B003 - put back at exit
            os.environ, self._read, _name
        )
        if self._saved[1] is not None:
            os.environb = _RecordingEnviron(  # type: ignore[assignment]
                self._saved[1], self._read, os.fsdecode
            )
        os.getcwd, os.getcwdb = self._asking(os.getcwd), self._asking(os.getcwdb)
        return self

    def __exit__(self, *exc_info: object) -> None:
        environ, environb, os.getcwd, os.getcwdb = self._saved
        os.environ = environ  # noqa: B003 - the real one again
        if environb is not None:
            os.environb = environb
        self._catching.__exit__(None, None, None)
        self._caller = None  # type: ignore[assignment]
        # What the call set stays out of the worker's later calls.
        for name, value in self._written.items():
            if value is None:
                environ.pop(name, None)
            else:
                environ[name] = value

    def notes(self) -> dict[str, Any]:
        """The warnings, and digests of what was read (never the values), as JSON values."""
        notes: dict[str, Any] = {}
        if self._warnings:
            notes["warnings"] = [
                {**fields, "count": count} for fields, count in self._warnings.values()
            ]
        if self._variables or self._whole_environment or self._cwd:
            salt = os.urandom(16).hex()
            environ = os.environ
            read: dict[str, Any] = {"salt": salt}
            # A variable the call set has no value here to compare: it is the caller's to set.
            read["variables"] = {
                name: (
                    None if name in self._written else read_digest(salt, name, environ.get(name))
                )
                for name in sorted(self._variables)
            }
            if self._whole_environment:
                read["environment"] = environment_digest(salt, environ)
            if self._cwd:
                read["cwd"] = read_digest(salt, "", os.getcwd())
            notes["read"] = read
        return notes

    def _read(self, name: str | None, written: bool = False) -> None:
        if threading.get_ident() != self._thread:
            return
        if name is None:
            self._whole_environment = True
            return
        self._variables.add(name)
        if written and name not in self._written:
            self._written[name] = self._saved[0].get(name)

    def _asking(self, getcwd: Callable[[], Any]) -> Callable[[], Any]:
        def asked() -> Any:
            if threading.get_ident() == self._thread:
                self._cwd = True
            return getcwd()

        return asked

    def _warned(self, message: warnings.WarningMessage) -> None:
        if threading.get_ident() != self._thread:
            self._show(message)
            return
        fields = _warning_fields(message, sys._getframe(2), self._caller)
        key = tuple(fields.items())
        known = self._warnings.get(key)
        if known is not None:
            known[1] = min(known[1] + 1, MAX_REPEATS)
        elif len(self._warnings) < MAX_WARNINGS:
            self._warnings[key] = [fields, 1]


def _name(key: Any) -> str:
    if not isinstance(key, str):
        raise TypeError(type(key).__name__)
    return key


def _warning_fields(
    message: warnings.WarningMessage, frame: FrameType | None, caller: FrameType
) -> dict[str, Any]:
    """A warning as the caller re-issues it. Where it is attributed to a frame of the call, its
    file, line and module name are that frame's; where to the frame that made the call or one
    above it (a warning raised with a stacklevel that reaches past the function, or an object
    released as the function returned), the caller attributes it to its own frame that far up
    from the call, "above"."""
    category = message.category
    try:
        text = str(message.message)
    except Exception:  # noqa: BLE001 - a warning that cannot say itself still counts
        text = f"<unprintable {category.__name__}>"
    fields: dict[str, Any] = {
        "category": (category.__module__, category.__qualname__),
        "message": text,
    }
    above = None
    while frame is not None:
        if frame is caller:
            above = 0
        if frame.f_code.co_filename == message.filename and frame.f_lineno == message.lineno:
            if above is not None:
                return {**fields, "above": above}
            filename = message.filename
            if filename == _BY_VALUE_FILENAME:
                filename = frame.f_globals.get("__file__", filename)
            return {
                **fields,
                "filename": filename,
                "lineno": message.lineno,
                "module": frame.f_globals.get("__name__"),
            }
        if above is not None:
            above += 1
        frame = frame.f_back
    # Given explicitly (warnings.warn_explicit): no frame to say its module.
    return {**fields, "filename": message.filename, "lineno": message.lineno, "module": None}


class _RecordingEnviron(MutableMapping[Any, Any]):
    """os.environ (or os.environb) as it is, telling ``read`` each name looked up or set, and
    None when the call went through all of them."""

    def __init__(
        self,
        real: MutableMapping[Any, Any],
        read: Callable[..., None],
        name_of: Callable[[Any], str],
    ) -> None:
        self._real, self._note, self._name_of = real, read, name_of

    def _noted(self, key: Any, written: bool = False) -> None:
        try:
            name = self._name_of(key)
        except TypeError:  # not a name at all: the real mapping says so
            return
        self._note(name, written)

    def __getitem__(self, key: Any) -> Any:
        self._noted(key)
        return self._real[key]

    def __contains__(self, key: object) -> bool:
        self._noted(key)
        return key in self._real

    def get(self, key: Any, default: Any = None) -> Any:
        self._noted(key)
        return self._real.get(key, default)

    def __setitem__(self, key: Any, value: Any) -> None:
        self._noted(key, written=True)
        self._real[key] = value

    def __delitem__(self, key: Any) -> None:
        self._noted(key, written=True)
        del self._real[key]

    def __iter__(self) -> Iterator[Any]:
        self._note(None)
        return iter(self._real)

    def __len__(self) -> int:
        self._note(None)
        return len(self._real)

    def copy(self) -> dict[Any, Any]:
        self._note(None)
        return dict(self._real)

    def __repr__(self) -> str:
        self._note(None)
        return repr(self._real)

    def __getattr__(self, name: str) -> Any:
        # What else os._Environ offers (encodekey, decodevalue, ...).
        return getattr(self._real, name)
