"""How a call travels: the client's own pickler (wrappers as their originals, the user's own
modules by value), the bounded request body, the function's digest, and the result read back with
the caller's own objects in place of the copies that were sent."""

from __future__ import annotations

import functools
import hashlib
import io
import operator
import os
import pickle
import sys
import types
from typing import Any

import cloudpickle

# Not part of cloudpickle's public names, but its own reducers for what it sends by value: using
# them keeps by-value pickling for the user's modules local to this client's pickler.
from cloudpickle.cloudpickle import _dynamic_class_reduce, dynamic_subimport

from zuvoda.client.errors import CallTooLargeError, SerializationError


def _code_digest(func: Any) -> str:
    """Names a function by its code, whatever its globals: bound methods and partials by the
    function they call, other callables by their qualified name."""
    while True:
        if isinstance(func, functools.partial):
            func = func.func
        elif isinstance(func, types.MethodType):
            func = func.__func__
        else:
            break
    func = _original_of(func)
    code = getattr(func, "__code__", None)
    if isinstance(code, types.CodeType):
        return hashlib.sha256(_code_text(code).encode()).hexdigest()
    return f"{getattr(func, '__module__', None)}.{getattr(func, '__qualname__', repr(func))}"


def _code_text(code: types.CodeType) -> str:
    # Not marshal: its output depends on the objects' reference counts.
    consts = [_code_text(c) if isinstance(c, types.CodeType) else repr(c) for c in code.co_consts]
    return repr((code.co_filename, code.co_qualname, code.co_code, code.co_names,
                 code.co_varnames, code.co_freevars, consts))


# A wrapper put back as its original: unpickled as ``itemgetter(0)((original,))``.
_ORIGINAL = operator.itemgetter(0)


class _CallPickler(cloudpickle.Pickler):
    """cloudpickle's pickler, with wrappers replaced by the functions they stand for and the
    user's own modules sent by value, without changing cloudpickle for the rest of the process."""

    def reducer_override(self, obj: Any) -> Any:
        if callable(obj):
            original = _original_of(obj)
            if original is not obj:
                return _ORIGINAL, ((original,),)
            if isinstance(obj, types.FunctionType):
                if _is_user_module_name(obj.__module__):
                    return self._dynamic_function_reduce(obj)
            elif isinstance(obj, type) and _is_user_module_name(obj.__module__):
                return _dynamic_class_reduce(obj)
        elif isinstance(obj, types.ModuleType) and _is_user_module(obj):
            state = obj.__dict__.copy()
            state.pop("__builtins__", None)
            return dynamic_subimport, (obj.__name__, state)
        return super().reducer_override(obj)


def _original_of(obj: Any) -> Any:
    try:
        if getattr(obj, "_overflow_wrapped", False) is True:
            return obj._original
    except Exception:  # noqa: BLE001 - an object that answers attributes strangely is no wrapper
        pass
    return obj


class _TooLarge(Exception):
    pass


class _BoundedBuffer(io.BytesIO):
    """Refuses to grow past ``limit`` bytes; the pickler writes to it frame by frame."""

    def __init__(self, limit: int) -> None:
        super().__init__()
        self._limit = limit

    def write(self, data: Any) -> int:
        size = data.nbytes if isinstance(data, memoryview) else len(data)
        if self.tell() + size > self._limit:
            raise _TooLarge
        return super().write(data)


def _pickle_call(
    func: Any, args: tuple[Any, ...], kwargs: dict[str, Any], limit: int, name: str
) -> tuple[bytes, int, list[Any]]:
    """The request body: the pickled function, then the pickled (args, kwargs); the offset where
    the second begins; and the objects sent, by their index in the pickles' memo. One pickler
    writes both, so that what the function and the arguments share stays one object. Raises
    CallTooLargeError as soon as the body passes ``limit``."""
    buffer = _BoundedBuffer(limit)
    pickler = _CallPickler(buffer, protocol=pickle.HIGHEST_PROTOCOL)
    try:
        pickler.dump(func)
        split = buffer.tell()
        pickler.dump((args, kwargs))
    except _TooLarge:
        raise CallTooLargeError(
            f"the call to {name} pickles to more than {limit} bytes, the service's limit"
        ) from None
    except Exception as exc:
        raise SerializationError(f"cannot pickle the call to {name}: {exc}") from exc
    memo = pickler.memo.copy()
    sent: list[Any] = [None] * len(memo)
    for index, obj in memo.values():
        sent[index] = obj
    return buffer.getvalue(), split, sent


class _ResultUnpickler(pickle.Unpickler):
    """Reads a result in which the objects the call brought are references to the memo entries
    they were sent in: ``sent`` holds the caller's own objects under those indices."""

    def __init__(self, file: Any, sent: list[Any]) -> None:
        super().__init__(file)
        self._sent = sent

    def persistent_load(self, index: int) -> Any:
        return self._sent[index]


def _load_result(data: bytearray, sent: list[Any]) -> Any:
    """The result, with the caller's own objects wherever it holds one the call brought: its
    arguments, the functions it passed, its live classes (left untouched). A prologue puts each
    of them in the unpickler's memo under the index it was sent with, as the service's result
    pickle expects; the memo's own setter cannot do it."""
    entries = b"".join(
        b"J" + index.to_bytes(4, "little", signed=True) + b"Q\x940" for index in range(len(sent))
    )
    unpickler = _ResultUnpickler(io.BytesIO(b"".join((b"\x80\x05", entries, b"N.", data))), sent)
    unpickler.load()
    return unpickler.load()


@functools.cache
def _library_prefixes() -> tuple[str, ...]:
    from zuvoda.overflow import _compute_exclude_prefixes

    return tuple(_compute_exclude_prefixes())


# Module name -> (module, verdict); the module is kept to notice a replaced one.
_user_modules: dict[str, tuple[types.ModuleType, bool]] = {}


def _is_user_module_name(name: object) -> bool:
    module = sys.modules.get(name) if isinstance(name, str) else None
    return module is not None and _is_user_module(module)


def _is_user_module(module: Any) -> bool:
    if not isinstance(module, types.ModuleType):
        return False
    name = module.__name__
    cached = _user_modules.get(name)
    if cached is not None and cached[0] is module:
        return cached[1]
    path = getattr(module, "__file__", None)
    verdict = (
        name != "__main__"  # cloudpickle sends the script's own objects by value already
        and isinstance(path, str)
        and not path.startswith("<")
        and not os.path.abspath(path).startswith(_library_prefixes())
    )
    _user_modules[name] = (module, verdict)
    return verdict
