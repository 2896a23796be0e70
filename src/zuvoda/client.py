"""Client that runs Python calls on a zuvoda execution service.

    with VazoVez(api_url="http://127.0.0.1:8750", api_key="...") as client:
        result = client.run(simulate, grid, steps=100)

Calls travel as cloudpickle payloads. Functions and classes of the running script, and of the
user's own modules beside it (any loaded module that is neither installed nor part of Python),
are sent by value, since the service could not import them by name.
"""

from __future__ import annotations

import json
import os
import pickle
import site
import socket
import ssl
import sys
import sysconfig
import threading
import time
from types import ModuleType, TracebackType
from typing import Any, Self

import cloudpickle
import httpx

from zuvoda import __version__
from zuvoda import protocol

__all__ = [
    "AuthenticationError",
    "CallTimeoutError",
    "ConnectionLostError",
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
    """The call ran remotely and failed: it raised, its result could not be pickled, or the
    worker running it died (``code`` is "remote_exception", "result_not_serializable" or
    "worker_lost")."""


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
    ZUVODA_API_URL (else a service on this machine's default port). ``fast`` opens the
    connection when the client opens, so that the first call does not pay for it.

    A call may run for hours: while it runs the service sends heartbeats, and the call fails
    with CallTimeoutError only when nothing at all arrives for ``silence_timeout`` seconds
    (default ZUVODA_SILENCE_TIMEOUT, else 30). ``connect_timeout`` bounds reaching the service.
    An https service's certificate is verified against the system's authorities, or those in
    the file ZUVODA_CA_BUNDLE names. Nothing is retried: a call runs at most once per ``run``.
    """

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
        if self._http is not None:
            return
        headers = {"User-Agent": f"zuvoda/{__version__}"}
        if self.api_key:
            headers["Authorization"] = f"Bearer {self.api_key}"
        bundle = os.environ.get("ZUVODA_CA_BUNDLE")
        verify = ssl.create_default_context(cafile=bundle) if bundle else True
        self._http = httpx.Client(
            base_url=self.api_url,
            headers=headers,
            # Every wait for the service's next bytes is bounded, not the call's duration.
            timeout=httpx.Timeout(self.silence_timeout, connect=self.connect_timeout),
            transport=httpx.HTTPTransport(verify=verify, socket_options=_KEEPALIVE_OPTIONS),
        )
        if self.fast:
            try:
                self._http.get(protocol.HEALTH_PATH, timeout=self.connect_timeout)
            except httpx.HTTPError as exc:
                # The first call reports it, with the error type that says nothing ran.
                self._say(f"could not reach {self.api_url} yet: {exc!r}")
                return
        self._say(f"sending calls to {self.api_url}")

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
        _send_local_modules_by_value()
        try:
            payload = cloudpickle.dumps((func, args, kwargs), protocol=pickle.HIGHEST_PROTOCOL)
        except Exception as exc:
            raise SerializationError(f"cannot pickle the call to {name}: {exc}") from exc
        headers = {
            "Content-Type": protocol.CALL_CONTENT_TYPE,
            protocol.HEARTBEAT_HEADER: f"{self.silence_timeout / 3:.3f}",
        }
        if self._warm_session_id:
            headers[protocol.WARM_SESSION_HEADER] = self._warm_session_id
        started = time.perf_counter()
        kind, body = self._exchange(payload, headers, name)
        if kind == protocol.ERROR:
            raise _error_from(None, body, name)
        try:
            result = pickle.loads(body)
        except Exception as exc:
            raise SerializationError(f"cannot unpickle the result of {name}: {exc!r}") from exc
        self._say(f"{name} ran remotely in {time.perf_counter() - started:.3f} s")
        return result

    def _exchange(
        self, payload: bytes, headers: dict[str, str], name: str
    ) -> tuple[bytes, bytearray]:
        """Posts a call and answers its final frame, mapping every failure on the way to the
        ZuvodaClientError that says whether the call may have run."""
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


def _read_outcome(response: httpx.Response, name: str) -> tuple[bytes, bytearray]:
    """The final frame of a run's answer, past the heartbeats: (RESULT, pickled result) or
    (ERROR, JSON error)."""
    try:
        for kind, body in protocol.read_frames(response.iter_raw()):
            if kind != protocol.HEARTBEAT:
                return kind, body
    except protocol.FrameError as exc:
        message = f"the answer for {name} is garbled ({exc}); it may have run"
        raise ConnectionLostError(message) from exc
    raise ConnectionLostError(f"the service ended its answer before {name} ended; it may have run")


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
    elif code in protocol.REMOTE_FAILURE_CODES:
        cls = RemoteExecutionError
    elif 400 <= status < 500:
        cls = RequestRejectedError
    else:
        cls = ServiceError
    return cls(
        f"{name} failed remotely: {message}" if cls is RemoteExecutionError else message,
        status=status,
        code=code,
        remote_type=remote.get("type"),
        remote_message=remote.get("message"),
        remote_traceback=remote.get("traceback"),
    )


_INSTALLED = tuple(
    {
        os.path.realpath(path) + os.sep
        for path in (
            *(sysconfig.get_path(name) for name in ("stdlib", "platstdlib", "purelib", "platlib")),
            *site.getsitepackages(),
            site.getusersitepackages(),
        )
    }
)
_checked_modules: set[str] = set()
_checked_lock = threading.Lock()


def _send_local_modules_by_value() -> None:
    """Have cloudpickle send the user's own modules (neither installed nor part of Python) by
    value, since the service could not import them by name. Checks modules loaded since the
    last call only."""
    with _checked_lock:
        for name in set(sys.modules) - _checked_modules:
            _checked_modules.add(name)
            module = sys.modules.get(name)
            if _is_local_module(name, module):
                cloudpickle.register_pickle_by_value(module)


def _is_local_module(name: str, module: object) -> bool:
    if not isinstance(module, ModuleType) or module.__name__ != name or name.startswith("__"):
        return False
    if name.partition(".")[0] == "zuvoda":
        return False
    path = getattr(module, "__file__", None)
    return isinstance(path, str) and not os.path.realpath(path).startswith(_INSTALLED)
