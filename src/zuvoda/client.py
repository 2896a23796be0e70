"""Client that runs Python calls on a zuvoda execution service.

    with VazoVez(api_url="http://127.0.0.1:8750", api_key="...") as client:
        result = client.run(simulate, grid, steps=100)

Calls travel as cloudpickle payloads. Functions and classes of the running script, and of the
user's own modules beside it (decided by the rule the monitor uses for user code: a module whose
file lies outside Python's and the installed packages' directories), are sent by value, since the
service could not import them by name. A wrapper that ``zuvoda.overflow`` put in place of a
function travels as that function. A function's bytes are sent once; later calls send only its
digest and their arguments.
"""

from __future__ import annotations

import functools
import hashlib
import io
import json
import operator
import os
import pickle
import socket
import ssl
import sys
import time
import types
from types import TracebackType
from typing import Any, Self

import cloudpickle
import httpx

# Not part of cloudpickle's public names, but its own reducers for what it sends by value: using
# them keeps by-value pickling for the user's modules local to this client's pickler.
from cloudpickle.cloudpickle import _dynamic_class_reduce, dynamic_subimport

from zuvoda import __version__
from zuvoda import protocol

__all__ = [
    "AuthenticationError",
    "CallTimeoutError",
    "CallTooLargeError",
    "ChangedStateError",
    "ConnectionLostError",
    "NotConfiguredError",
    "RemoteExecutionError",
    "RequestRejectedError",
    "SerializationError",
    "ServiceError",
    "ServiceUnavailableError",
    "VazoVez",
    "ZuvodaClientError",
]


class ZuvodaClientError(Exception):
    """Base of every error the client raises."""


class SerializationError(ZuvodaClientError):
    """The call could not be pickled here, or its result could not be unpickled here."""


class CallTooLargeError(SerializationError):
    """The pickled call grew past the service's body limit; it was not sent."""


class NotConfiguredError(ZuvodaClientError):
    """The client has no API key, so it cannot open; nothing was sent."""


class ServiceUnavailableError(ZuvodaClientError, ConnectionError):
    """The service could not be reached; the call was not sent, so it did not run."""


class ConnectionLostError(ZuvodaClientError, ConnectionError):
    """The connection broke after the call was sent; it may have run."""


class CallTimeoutError(ZuvodaClientError, TimeoutError):
    """The service stopped answering for longer than the client's silence timeout; the call may
    still be running there."""


class ServiceError(ZuvodaClientError):
    """The service answered with an error.

    ``status`` is the HTTP status and ``code`` the service's error code. When the failure
    happened in a worker, ``remote_type``, ``remote_message`` and ``remote_traceback`` describe
    the exception raised there.
    """

    def __init__(
        self,
        message: str,
        *,
        status: int,
        code: str,
        remote_type: str | None = None,
        remote_message: str | None = None,
        remote_traceback: str | None = None,
    ) -> None:
        super().__init__(message)
        self.status = status
        self.code = code
        self.remote_type = remote_type
        self.remote_message = remote_message
        self.remote_traceback = remote_traceback

    def __str__(self) -> str:
        text = super().__str__()
        if self.remote_traceback:
            text += f"\n\nRemote traceback:\n{self.remote_traceback.rstrip()}"
        return text


class RequestRejectedError(ServiceError):
    """The service refused the request before running anything (HTTP 4xx)."""


class AuthenticationError(RequestRejectedError):
    """The API key was missing or wrong (HTTP 401)."""


class RemoteExecutionError(ServiceError):
    """The call ran remotely and failed: it raised, its result could not be pickled or was too
    large, the worker running it died, or it changed state the caller holds (``code`` is
    "remote_exception", "result_not_serializable", "result_too_large", "worker_lost" or
    "changed_state")."""


class ChangedStateError(RemoteExecutionError):
    """The call changed its arguments or its module's state remotely, where the caller would
    never see the change: it must run locally. The client remembers the function and raises this
    at once for its later calls."""


_DEFAULT_SILENCE_TIMEOUT_S = 30.0
# Idle pooled connections to a service that vanished are found out, and dropped, by the kernel.
_KEEPALIVE_OPTIONS = [
    (socket.SOL_SOCKET, socket.SO_KEEPALIVE, 1),
    *(
        (socket.IPPROTO_TCP, getattr(socket, name), value)
        for name, value in (("TCP_KEEPIDLE", 15), ("TCP_KEEPINTVL", 5), ("TCP_KEEPCNT", 3))
        if hasattr(socket, name)
    ),
]


class VazoVez:
    """Runs calls on a zuvoda execution service; use it as a context manager.

    ``api_key`` defaults to ZUVODA_API_KEY (else VAZOVEZ_API_KEY) and ``api_url`` to
    ZUVODA_API_URL (else a service on this machine's default port). Opening the client makes one
    authenticated request, within ``connect_timeout``, and raises if the service is not there or
    refuses the key. ``fast`` is accepted for the monitor's sake: the connection is always opened
    up front.

    A call may run for hours: while it runs the service sends heartbeats, and the call fails
    with CallTimeoutError only when nothing at all arrives for ``silence_timeout`` seconds
    (default ZUVODA_SILENCE_TIMEOUT, else 30). An https service's certificate is verified against
    the system's authorities, or those in the file ZUVODA_CA_BUNDLE names. Nothing is retried: a
    call runs at most once per ``run``.
    """

    # Digests of functions the service holds; past this many, the oldest are forgotten.
    _MAX_KNOWN_FUNCTIONS = 4096

    def __init__(
        self,
        *,
        api_key: str | None = None,
        fast: bool = False,
        api_url: str | None = None,
        verbose: bool = False,
        silence_timeout: float | None = None,
        connect_timeout: float = 5.0,
    ) -> None:
        if api_key is None:
            api_key = os.environ.get("ZUVODA_API_KEY") or os.environ.get("VAZOVEZ_API_KEY")
        self.api_key = api_key
        url = api_url or os.environ.get("ZUVODA_API_URL") or protocol.DEFAULT_API_URL
        if not url.startswith(("http://", "https://")):
            raise ValueError(f"api_url must start with http:// or https://, got {url!r}")
        self.api_url = url.rstrip("/")
        self.fast = fast
        self.verbose = verbose
        self.silence_timeout = _silence_timeout(silence_timeout)
        self.connect_timeout = connect_timeout
        # Set by zuvoda.overflow once the service has pre-warmed a session for this script.
        self._warm_session_id: str | None = None
        self._http: httpx.Client | None = None
        self.max_body_bytes = protocol.DEFAULT_MAX_BODY_BYTES
        self._known_functions: dict[str, None] = {}
        # Code digests of functions that changed state remotely: they run locally from then on.
        self._local_only: set[str] = set()

    def __enter__(self) -> Self:
        self.open()
        return self

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        tb: TracebackType | None,
    ) -> None:
        self.close()

    def open(self) -> None:
        """Connect and make sure a zuvoda service is there and takes the key."""
        if self._http is not None:
            return
        if not self.api_key:
            raise NotConfiguredError(
                "no API key: set ZUVODA_API_KEY (or pass api_key=) to the key of your zuvoda "
                "service"
            )
        bundle = os.environ.get("ZUVODA_CA_BUNDLE")
        verify = ssl.create_default_context(cafile=bundle) if bundle else True
        http = httpx.Client(
            base_url=self.api_url,
            headers={
                "User-Agent": f"zuvoda/{__version__}",
                "Authorization": f"Bearer {self.api_key}",
            },
            # Every wait for the service's next bytes is bounded, not the call's duration.
            timeout=httpx.Timeout(self.silence_timeout, connect=self.connect_timeout),
            transport=httpx.HTTPTransport(verify=verify, socket_options=_KEEPALIVE_OPTIONS),
        )
        try:
            self.max_body_bytes = self._introduce(http)
        except BaseException:
            http.close()
            raise
        self._http = http
        self._say(f"sending calls to {self.api_url}")

    def _introduce(self, http: httpx.Client) -> int:
        """Ask the service for its limits: the one request that proves it is there."""
        try:
            answer = http.get(protocol.INFO_PATH, timeout=self.connect_timeout)
        except httpx.HTTPError as exc:
            raise ServiceUnavailableError(
                f"cannot reach a zuvoda service at {self.api_url} ({exc}); set ZUVODA_API_URL "
                "to the address of a running one"
            ) from exc
        if answer.status_code == 401:
            raise AuthenticationError(
                f"the zuvoda service at {self.api_url} refused the API key; set ZUVODA_API_KEY "
                "to the service's key",
                status=401,
                code="unauthorized",
            )
        try:
            limit = answer.json()["max_body_bytes"] if answer.status_code == 200 else None
        except (ValueError, KeyError, TypeError):
            limit = None
        if not isinstance(limit, int) or limit < 1:
            raise ServiceUnavailableError(
                f"{self.api_url} does not answer as a zuvoda service (HTTP "
                f"{answer.status_code}); set ZUVODA_API_URL to the address of one"
            )
        return limit

    def close(self) -> None:
        if self._http is not None:
            self._http.close()
            self._http = None
            self._say("closed")

    def run(self, func: Any, /, *args: Any, **kwargs: Any) -> Any:
        """Run ``func(*args, **kwargs)`` on the service and answer its result.

        Raises RemoteExecutionError if the call failed remotely, and the other
        ZuvodaClientError subclasses when it could not be sent, refused or not answered.
        """
        if self._http is None:
            raise RuntimeError("the client is not open: use it as 'with VazoVez(...) as client:'")
        name = getattr(func, "__qualname__", type(func).__name__)
        code = _code_digest(func)
        if code in self._local_only:
            raise ChangedStateError(
                f"{name} changed its arguments or its module's state in an earlier remote call; "
                "it runs locally",
                status=409,
                code=protocol.CHANGED_STATE_CODE,
            )
        body, split, sent = _pickle_call(func, args, kwargs, self.max_body_bytes, name)
        digest = hashlib.sha256(body[:split]).hexdigest()
        headers = {
            "Content-Type": protocol.CALL_CONTENT_TYPE,
            protocol.FUNCTION_HEADER: digest,
            protocol.HEARTBEAT_HEADER: f"{self.silence_timeout / 3:.3f}",
        }
        if self._warm_session_id:
            headers[protocol.WARM_SESSION_HEADER] = self._warm_session_id
        started = time.perf_counter()
        if digest in self._known_functions:
            try:
                output, kind, outcome = self._exchange(body[split:], headers, name)
            except RequestRejectedError as refusal:
                if refusal.code != "unknown_function":
                    raise
                # The service forgot it (restarted, or made room): send it again.
                del self._known_functions[digest]
                output, kind, outcome = self._exchange(body, headers, name)
        else:
            output, kind, outcome = self._exchange(body, headers, name)
        # An outcome means the call was handed on to run, so the service holds the function.
        self._remember(digest)
        _write_output(output)
        if kind == protocol.ERROR:
            error = _error_from(None, outcome, name)
            if isinstance(error, ChangedStateError):
                self._local_only.add(code)
            raise error
        try:
            result = _load_result(outcome, sent)
        except Exception as exc:
            raise SerializationError(f"cannot unpickle the result of {name}: {exc!r}") from exc
        self._say(f"{name} ran remotely in {time.perf_counter() - started:.3f} s")
        return result

    def _exchange(
        self, payload: bytes, headers: dict[str, str], name: str
    ) -> tuple[dict[str, str], bytes, bytearray]:
        """Posts a call and answers what it wrote and its final frame, mapping every failure on
        the way to the ZuvodaClientError that says whether the call may have run."""
        assert self._http is not None
        try:
            with self._http.stream(
                "POST", protocol.RUN_PATH, content=payload, headers=headers
            ) as response:
                if response.status_code != 200:
                    response.read()
                    raise _error_from(response.status_code, response.content, name)
                content_type = response.headers.get("content-type", "")
                if content_type != protocol.OUTCOME_CONTENT_TYPE:
                    raise ZuvodaClientError(
                        f"{self.api_url} answered {content_type!r} instead of a zuvoda outcome; "
                        "is api_url the address of a zuvoda service?"
                    )
                return _read_outcome(response, name)
        except (httpx.ConnectError, httpx.ConnectTimeout) as exc:
            raise ServiceUnavailableError(
                f"cannot reach the zuvoda service at {self.api_url}: {exc}"
            ) from exc
        except httpx.TimeoutException as exc:
            raise CallTimeoutError(
                f"the service at {self.api_url} stopped answering: nothing for "
                f"{self.silence_timeout:g} s during the call to {name}, which may still be "
                "running there"
            ) from exc
        except httpx.TransportError as exc:
            raise ConnectionLostError(
                f"connection to {self.api_url} lost during the call to {name}, which may have "
                f"run: {exc!r}"
            ) from exc

    def _remember(self, digest: str) -> None:
        known = self._known_functions
        known[digest] = None
        while len(known) > self._MAX_KNOWN_FUNCTIONS:
            known.pop(next(iter(known)), None)

    def _say(self, message: str) -> None:
        if self.verbose:
            print(f"zuvoda: {message}", file=sys.stderr)


def _silence_timeout(given: float | None) -> float:
    if given is None:
        text = os.environ.get("ZUVODA_SILENCE_TIMEOUT")
        try:
            given = float(text) if text else _DEFAULT_SILENCE_TIMEOUT_S
        except ValueError:
            raise ValueError(f"ZUVODA_SILENCE_TIMEOUT must be a number of seconds, got {text!r}")
    if not 0 < given < float("inf"):
        raise ValueError(f"the silence timeout must be a positive number of seconds, got {given}")
    return given


def _read_outcome(
    response: httpx.Response, name: str
) -> tuple[dict[str, str], bytes, bytearray]:
    """What the call wrote ({"stdout": ..., "stderr": ...}, or empty) and the final frame of a
    run's answer, past the heartbeats: RESULT with the pickled result, or ERROR with JSON. The
    answer is read to its end, so that its connection serves the next call."""
    output: dict[str, str] = {}
    final: tuple[bytes, bytearray] | None = None
    try:
        for kind, body in protocol.read_frames(response.iter_raw()):
            if kind == protocol.OUTPUT:
                output = json.loads(body)
            elif kind != protocol.HEARTBEAT:
                final = kind, body
    except (protocol.FrameError, ValueError) as exc:
        message = f"the answer for {name} is garbled ({exc}); it may have run"
        raise ConnectionLostError(message) from exc
    if final is None:
        raise ConnectionLostError(
            f"the service ended its answer before {name} ended; it may have run"
        )
    return output, *final


def _error_from(status: int | None, body: bytes | bytearray, name: str) -> ServiceError:
    """The error answered with HTTP ``status``, or carried by an error frame (``status`` None),
    whose JSON holds the status the failure would have had."""
    try:
        answer = json.loads(body)
        if status is None:
            status = int(answer["status"])
        error = answer["error"]
        code, message = str(error["code"]), str(error["message"])
        remote = error.get("remote") or {}
    except (ValueError, KeyError, TypeError, AttributeError):
        answered = "an error frame" if status is None else f"HTTP {status}"
        return ServiceError(
            f"the service answered {answered} for {name}: {bytes(body[:200])!r}",
            status=status or 0,
            code="unexpected_answer",
        )
    if status == 401:
        cls: type[ServiceError] = AuthenticationError
    elif code == protocol.CHANGED_STATE_CODE:
        cls = ChangedStateError
    elif code in protocol.REMOTE_FAILURE_CODES:
        cls = RemoteExecutionError
    elif 400 <= status < 500:
        cls = RequestRejectedError
    else:
        cls = ServiceError
    return cls(
        f"{name} failed remotely: {message}" if issubclass(cls, RemoteExecutionError) else message,
        status=status,
        code=code,
        remote_type=remote.get("type"),
        remote_message=remote.get("message"),
        remote_traceback=remote.get("traceback"),
    )


def _write_output(output: dict[str, str]) -> None:
    """What the call printed remotely, to the caller's own streams, as if it ran here."""
    for stream, text in ((sys.stdout, output.get("stdout")), (sys.stderr, output.get("stderr"))):
        if text and stream is not None:
            stream.write(text)
            stream.flush()


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
