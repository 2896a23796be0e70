"""``VazoVez``: the connection to a zuvoda execution service, and one call's exchange over it."""

from __future__ import annotations

import hashlib
import json
import os
import socket
import ssl
import sys
import threading
import time
from types import TracebackType
from typing import Any, Self

import httpx

from zuvoda import __version__, protocol
from zuvoda.client import replay
from zuvoda.client.errors import (
    AuthenticationError,
    CallTimeoutError,
    ChangedStateError,
    ConnectionLostError,
    EnvironmentDiffersError,
    NotConfiguredError,
    RemoteWarningError,
    RequestRejectedError,
    SerializationError,
    ServiceUnavailableError,
    ZuvodaClientError,
    _error_from,
)
from zuvoda.client.pickling import _code_digest, _load_result, _pickle_call

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
        # Code digests of functions that changed state remotely, or read an environment that
        # differs there, with what they did: they run locally from then on.
        self._local_only: dict[str, tuple[type[ChangedStateError], str]] = {}
        self._last_call = threading.local()

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
        started = time.perf_counter()
        self._last_call.times = None
        name = getattr(func, "__qualname__", type(func).__name__)
        code = _code_digest(func)
        if code in self._local_only:
            cls, what = self._local_only[code]
            raise cls(
                f"{name} runs locally: in an earlier remote call it {what}",
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
        if digest in self._known_functions:
            try:
                output, kind, outcome, service_s = self._exchange(body[split:], headers, name)
            except RequestRejectedError as refusal:
                if refusal.code != "unknown_function":
                    raise
                # The service forgot it (restarted, or made room): send it again.
                del self._known_functions[digest]
                output, kind, outcome, service_s = self._exchange(body, headers, name)
        else:
            output, kind, outcome, service_s = self._exchange(body, headers, name)
        # An outcome means the call was handed on to run, so the service holds the function.
        self._remember(digest)
        # Read where the values differ, the call meant something else there: neither its
        # result nor what it wrote counts.
        difference = replay.differences(output["read"]) if "read" in output else None
        if difference is not None:
            self._local_only[code] = EnvironmentDiffersError, difference
            raise EnvironmentDiffersError(
                f"{name} {difference}; it runs locally",
                status=409,
                code=protocol.CHANGED_STATE_CODE,
            )
        if kind == protocol.ERROR:
            _write_output(output)
            error = _error_from(None, outcome, name)
            if isinstance(error, ChangedStateError):
                self._local_only[code] = (
                    ChangedStateError,
                    "changed its arguments or its module's state",
                )
            raise error
        try:
            result = _load_result(outcome, sent)
        except Exception as exc:
            raise SerializationError(f"cannot unpickle the result of {name}: {exc!r}") from exc
        try:
            replay.issue_warnings(output.get("warnings", []))
        except Warning as exc:
            # Raised here, it would come from the client after the call ran: the local run
            # raises it from the line that raises it, and the remote result is dropped.
            raise RemoteWarningError(
                f"{name} raised a {type(exc).__name__} remotely ({exc}), which this process's "
                "warning filters make an error; it runs locally"
            ) from exc
        _write_output(output)
        round_trip = time.perf_counter() - started
        self._last_call.times = (round_trip, min(service_s, round_trip))
        self._say(f"{name} ran remotely in {round_trip:.3f} s ({service_s:.3f} s in the service)")
        return result

    def call_times(self) -> tuple[float, float] | None:
        """Seconds the last ``run`` of the calling thread took, end to end, and the part of them
        the call spent in the service, the rest being transfer; None unless it succeeded."""
        times: tuple[float, float] | None = getattr(self._last_call, "times", None)
        return times

    def _exchange(
        self, payload: bytes, headers: dict[str, str], name: str
    ) -> tuple[dict[str, Any], bytes, bytearray, float]:
        """Posts a call and answers its notes, its final frame and the seconds it spent in the
        service, mapping every failure on the way to the ZuvodaClientError that says whether the
        call may have run."""
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
) -> tuple[dict[str, Any], bytes, bytearray, float]:
    """The call's notes (what it wrote, the warnings it raised, what it read: see
    protocol.OUTPUT; empty when none), the final frame of a run's answer, past the heartbeats:
    RESULT with the pickled result, or ERROR with JSON, and the seconds the call spent in the
    service (0 when it did not say). The answer is read to its end, so that its connection
    serves the next call."""
    output: dict[str, Any] = {}
    service_s = 0.0
    final: tuple[bytes, bytearray] | None = None
    try:
        for kind, body in protocol.read_frames(response.iter_raw()):
            if kind == protocol.OUTPUT:
                output = json.loads(body)
            elif kind == protocol.SERVICE_TIME:
                seconds = float(body.decode("ascii"))
                service_s = seconds if 0.0 <= seconds < float("inf") else 0.0
            elif kind != protocol.HEARTBEAT:
                final = kind, body
    except (protocol.FrameError, ValueError) as exc:
        message = f"the answer for {name} is garbled ({exc}); it may have run"
        raise ConnectionLostError(message) from exc
    if final is None:
        raise ConnectionLostError(
            f"the service ended its answer before {name} ended; it may have run"
        )
    return output, *final, service_s


def _write_output(output: dict[str, Any]) -> None:
    """What the call printed remotely, to the caller's own streams, as if it ran here."""
    for stream, text in ((sys.stdout, output.get("stdout")), (sys.stderr, output.get("stderr"))):
        if text and stream is not None:
            stream.write(text)
            stream.flush()
