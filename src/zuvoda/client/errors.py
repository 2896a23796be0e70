"""The errors the client raises, and how the service's answers map to them."""

from __future__ import annotations

import json

from zuvoda import protocol

__all__ = [
    "AuthenticationError",
    "CallTimeoutError",
    "CallTooLargeError",
    "ChangedStateError",
    "ConnectionLostError",
    "EnvironmentDiffersError",
    "NotConfiguredError",
    "RemoteExecutionError",
    "RemoteWarningError",
    "RequestRejectedError",
    "SerializationError",
    "ServiceError",
    "ServiceUnavailableError",
    "ZuvodaClientError",
]


# Failures of the service that the same function meets at every call: the call could not be
# loaded there (its function refers to what the service cannot import), its result cannot be
# pickled or is over the limit, it changes state the caller holds.
_REPEATING_CODES = frozenset(
    {"bad_call", "result_not_serializable", "result_too_large", protocol.CHANGED_STATE_CODE}
)
_IMPORT_FAILURES = frozenset({"ImportError", "ModuleNotFoundError"})


class ZuvodaClientError(Exception):
    """Base of every error the client raises.

    ``repeats`` tells whether the next call of the same function would fail the same way (its
    arguments or result cannot be pickled, the service cannot import what it needs, it changes
    state the caller holds), so that a caller can stop sending it; other failures may pass.
    """

    repeats: bool = False


class SerializationError(ZuvodaClientError):
    """The call could not be pickled here, or its result could not be unpickled here."""

    repeats = True


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
        self.repeats = code in _REPEATING_CODES or (
            code == "remote_exception" and remote_type in _IMPORT_FAILURES
        )

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


class EnvironmentDiffersError(ChangedStateError):
    """The call read an environment variable or asked for the working directory, and the
    service's value differs from this process's: its result is not used, it must run locally,
    and the client remembers the function as it does for a ChangedStateError."""


class RemoteWarningError(ZuvodaClientError):
    """The call raised a warning remotely that this process's filters turn into an error: its
    result is dropped, and it must run locally, where the warning is raised from the line that
    raised it. The warning is the cause (``__cause__``)."""


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
