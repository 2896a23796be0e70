"""Client that runs Python calls on a zuvoda execution service.

    with VazoVez(api_url="http://127.0.0.1:8750", api_key="...") as client:
        result = client.run(simulate, grid, steps=100)

Calls travel as cloudpickle payloads. Functions and classes of the running script, and of the
user's own modules beside it (any loaded module that is neither installed nor part of Python),
are sent by value, since the service could not import them by name.
"""

from __future__ import annotations

import os
import pickle
import site
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
    """No answer within the client's timeout; the call may still be running remotely."""


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


class VazoVez:
    """Runs calls on a zuvoda execution service; use it as a context manager.

    ``api_key`` defaults to ZUVODA_API_KEY (else VAZOVEZ_API_KEY) and ``api_url`` to
    ZUVODA_API_URL (else a service on this machine's default port). ``fast`` opens the connection when the client opens, so that the first call does
    not pay for it. ``timeout`` bounds the wait for each call's answer (None: no bound);
    ``connect_timeout`` bounds reaching the service. Nothing is retried: a call runs at most once
    per ``run``.
    """

    def __init__(
        self,
        *,
        api_key: str | None = None,
        fast: bool = False,
        api_url: str | None = None,
        verbose: bool = False,
        timeout: float | None = None,
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
        self.timeout = timeout
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
        self._http = httpx.Client(
            base_url=self.api_url,
            headers=headers,
            timeout=httpx.Timeout(self.timeout, connect=self.connect_timeout),
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
        headers = {"Content-Type": protocol.CALL_CONTENT_TYPE}
        if self._warm_session_id:
            headers[protocol.WARM_SESSION_HEADER] = self._warm_session_id
        started = time.perf_counter()
        try:
            response = self._http.post(protocol.RUN_PATH, content=payload, headers=headers)
        except (httpx.ConnectError, httpx.ConnectTimeout) as exc:
            raise ServiceUnavailableError(
                f"cannot reach the zuvoda service at {self.api_url}: {exc}"
            ) from exc
        except httpx.TimeoutException as exc:
            raise CallTimeoutError(
                f"no answer for {name} from {self.api_url} within {self.timeout} s; "
                "the call may still be running there"
            ) from exc
        except httpx.TransportError as exc:
            raise ConnectionLostError(
                f"connection to {self.api_url} lost during the call to {name}, which may have "
                f"run: {exc!r}"
            ) from exc
        if response.status_code != 200:
            raise _error_from(response, name)
        content_type = response.headers.get("content-type", "")
        if content_type != protocol.RESULT_CONTENT_TYPE:
            raise ZuvodaClientError(
                f"{self.api_url} answered {content_type!r} instead of a zuvoda result; "
                "is api_url the address of a zuvoda service?"
            )
        try:
            result = pickle.loads(response.content)
        except Exception as exc:
            raise SerializationError(f"cannot unpickle the result of {name}: {exc!r}") from exc
        self._say(f"{name} ran remotely in {time.perf_counter() - started:.3f} s")
        return result

    def _say(self, message: str) -> None:
        if self.verbose:
            print(f"zuvoda: {message}", file=sys.stderr)


def _error_from(response: httpx.Response, name: str) -> ServiceError:
    status = response.status_code
    try:
        error = response.json()["error"]
        code, message = str(error["code"]), str(error["message"])
        remote = error.get("remote") or {}
    except (ValueError, KeyError, TypeError, AttributeError):
        return ServiceError(
            f"the service answered HTTP {status} for {name}: {response.text[:200]!r}",
            status=status,
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
