"""Names and defaults of the HTTP protocol spoken between ``zuvoda.client`` and the service, and
the frames of a run's answer; the client imports nothing of ``zuvoda.service``."""

from __future__ import annotations

import hashlib
import re
import struct
from collections.abc import Iterable, Iterator, Mapping

DEFAULT_PORT = 8750
DEFAULT_API_URL = f"http://127.0.0.1:{DEFAULT_PORT}"

RUN_PATH = "/v1/run"
PRE_WARM_PATH = "/v1/pre-warm"
STATS_PATH = "/v1/stats"
HEALTH_PATH = "/v1/health"
# Authenticated: what a client needs to know before its first call ({"max_body_bytes": ...}).
INFO_PATH = "/v1/info"

DEFAULT_MAX_BODY_BYTES = 64 * 1024 * 1024

# A run request's body is the pickled function followed by the pickled (args, kwargs) tuple, or
# the second alone once the service holds the function: FUNCTION_HEADER always names the
# function by the SHA-256 of its pickle, and a service that does not hold it answers 409 with
# the code "unknown_function". A pre-warm request's body is JSON. A request refused before its
# call runs is answered with its HTTP status and a JSON body {"error": {"code", "message", ...}}.
# A call handed on to run is answered 200 with a stream of frames: heartbeats while it runs, an
# OUTPUT frame when it left notes for the caller (see OUTPUT), then one final RESULT (the
# cloudpickled result) or ERROR frame (that same JSON, with the HTTP status the failure would
# have had as "status").
CALL_CONTENT_TYPE = "application/vnd.zuvoda.call+pickle"
PRE_WARM_CONTENT_TYPE = "application/json"
OUTCOME_CONTENT_TYPE = "application/vnd.zuvoda.outcome+frames"

FUNCTION_HEADER = "X-Zuvoda-Function"
FUNCTION_DIGEST_PATTERN = re.compile(r"[0-9a-f]{64}")

WARM_SESSION_HEADER = "X-Zuvoda-Warm-Session"
WARM_SESSION_PATTERN = re.compile(r"[A-Za-z0-9_-]{1,128}")
# Seconds between heartbeats that a client asks for; the service keeps it within its bounds.
HEARTBEAT_HEADER = "X-Zuvoda-Heartbeat-Interval"

# Error codes of calls that reached a worker and failed there.
# The call changed its arguments or its module's state, which only a local run can give.
CHANGED_STATE_CODE = "changed_state"
REMOTE_FAILURE_CODES = frozenset(
    {
        "remote_exception",
        "result_not_serializable",
        "result_too_large",
        "worker_lost",
        CHANGED_STATE_CODE,
    }
)

HEARTBEAT = b"h"
# What the call left for the caller's process, as a JSON object of "stdout" and "stderr" (what it
# wrote), "warnings" (those it raised: category as [module, qualname], message, filename, lineno
# and module, or "above" for one attributed to the caller's frames, and count) and "read" (what it
# read of the environment: "salt", "variables" {name: digest, or null for one it set}, and
# "environment" when it went through all of them, "cwd" when it asked for the working directory,
# as read_digest and environment_digest give them), each only when there is some; at most one,
# before the final frame.
OUTPUT = b"o"
# Seconds the call spent in the service from its hand-over to its outcome (waiting for a worker,
# loading, running, pickling its result), as ASCII decimal text; at most one, before the final
# frame. The client tells the call's own cost from the transfer's with it.
SERVICE_TIME = b"t"
RESULT = b"r"
ERROR = b"e"
_FRAME_KINDS = frozenset({HEARTBEAT, OUTPUT, SERVICE_TIME, RESULT, ERROR})
# A frame is its kind, the length of its payload, and the payload.
_FRAME_HEADER = struct.Struct(">cQ")
# Large payloads go out in slices, so that the server's buffers never copy them whole.
_SLICE_BYTES = 1 << 20


class FrameError(ValueError):
    """The bytes received are not a stream of frames."""


def frame(kind: bytes, payload: bytes = b"") -> Iterator[bytes]:
    """The bytes of one frame, in slices of at most about a mebibyte."""
    yield _FRAME_HEADER.pack(kind, len(payload))
    view = memoryview(payload)
    for start in range(0, len(view), _SLICE_BYTES):
        yield bytes(view[start : start + _SLICE_BYTES])


def read_frames(chunks: Iterable[bytes]) -> Iterator[tuple[bytes, bytearray]]:
    """The (kind, payload) frames in a stream cut into chunks anywhere; each payload is filled in
    place, without joining chunks. Raises FrameError on bytes that are no frame."""
    header = bytearray()
    payload: bytearray | None = None
    kind = b""
    filled = 0
    for chunk in chunks:
        view = memoryview(chunk)
        while view:
            if payload is None:
                taken = _FRAME_HEADER.size - len(header)
                header += view[:taken]
                view = view[taken:]
                if len(header) < _FRAME_HEADER.size:
                    break
                kind, length = _FRAME_HEADER.unpack(header)
                if kind not in _FRAME_KINDS:
                    raise FrameError(f"unknown frame kind {kind!r}")
                header.clear()
                payload, filled = bytearray(length), 0
            else:
                taken = min(len(payload) - filled, len(view))
                payload[filled : filled + taken] = view[:taken]
                filled += taken
                view = view[taken:]
            if filled == len(payload):
                yield kind, payload
                payload = None
    if header or payload is not None:
        raise FrameError("the stream ended inside a frame")


def read_digest(salt: str, name: str, value: str | None) -> str:
    """What stands for the value (or the absence) of the environment variable ``name``, or of
    the working directory with the name "", in a call's notes: the client compares it with its
    own value's, and the service's value never leaves the service. ``salt`` is drawn per call."""
    text = f"{salt}\0{name}\0" + ("\1" if value is None else f"\2{value}")
    return hashlib.sha256(text.encode("utf-8", "surrogateescape")).hexdigest()


def environment_digest(salt: str, environ: Mapping[str, str]) -> str:
    """One digest of every environment variable, for a call that went through all of them."""
    return read_digest(salt, "", "\0".join(f"{k}={v}" for k, v in sorted(environ.items())))
