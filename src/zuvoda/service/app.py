"""The HTTP side of the service: authentication, body checks, pre-warm and run endpoints."""

from __future__ import annotations

import asyncio
import hashlib
import hmac
import io
import json
import keyword
import logging
import math
import pickletools
import re
import secrets
import time
import tokenize
from collections import Counter, OrderedDict
from collections.abc import AsyncIterator, Iterator, Mapping
from contextlib import asynccontextmanager
from dataclasses import dataclass
from typing import Any

from starlette.applications import Starlette
from starlette.exceptions import HTTPException
from starlette.middleware import Middleware
from starlette.requests import Request
from starlette.responses import JSONResponse, Response, StreamingResponse
from starlette.routing import Route
from starlette.types import ASGIApp, Message, Receive, Scope, Send

from zuvoda import __version__, protocol
from zuvoda.service.executors import Executor, ExecutorUnavailable, WorkerLost

log = logging.getLogger("zuvoda.service")

# Worker failure stage -> HTTP status and error code.
_FAILURES = {
    "load": (400, "bad_call"),
    "call": (500, "remote_exception"),
    "dump": (500, "result_not_serializable"),
    "size": (500, "result_too_large"),
    "changed": (409, protocol.CHANGED_STATE_CODE),
}
_NEVER_WARM = {"__future__", "__main__", "zuvoda"}
_INLINE_CHECK_BYTES = 64 * 1024
_NO_NOTES: dict[str, Any] = {}


@dataclass(frozen=True)
class ServiceConfig:
    api_key: str
    max_body_bytes: int = protocol.DEFAULT_MAX_BODY_BYTES
    # Pickled functions kept by digest, so that a client sends each one once.
    max_function_bytes: int = 64 * 1024 * 1024
    # Bounds the import scan, which costs time and memory in proportion to the source.
    max_pre_warm_bytes: int = 1024 * 1024
    # Heartbeats come at most this far apart, however rarely a client asks for them.
    heartbeat_s: float = 5.0
    # Below the 10 s a pre-warming client waits for the answer.
    warm_wait_s: float = 8.0
    max_modules: int = 256
    max_warm_sessions: int = 4096


_MIN_HEARTBEAT_S = 0.05
_HEARTBEAT_FRAME = b"".join(protocol.frame(protocol.HEARTBEAT))


class Refusal(Exception):
    """A request refused before anything ran; answered as a JSON error."""

    def __init__(
        self, status: int, code: str, message: str, headers: dict[str, str] | None = None
    ) -> None:
        super().__init__(message)
        self.status, self.code, self.message, self.headers = status, code, message, headers


def error_response(
    status: int, code: str, message: str, headers: Mapping[str, str] | None = None, **extra: Any
) -> JSONResponse:
    return JSONResponse(
        {"error": {"code": code, "message": message, **extra}}, status_code=status, headers=headers
    )


def modules_to_warm(source: str, limit: int) -> list[str]:
    """Absolute imports found anywhere in a script, in order of appearance.

    Tokenized, not parsed: no nesting is too deep, memory stays small, a source that does not
    parse still gives the imports before its error, and the service's event loop gets the GIL
    between tokens.
    """
    names: dict[str, None] = {}
    tokens = (
        token
        for token in tokenize.generate_tokens(io.StringIO(source).readline)
        if token.type not in (tokenize.COMMENT, tokenize.NL)
    )
    try:
        for token in tokens:
            if token.type != tokenize.NAME or token.string not in ("import", "from"):
                continue
            if token.string == "import":
                following = ","
                while following == ",":
                    name, following = _dotted_name(tokens)
                    if following == "as":
                        next(tokens, None)
                        following = getattr(next(tokens, None), "string", "")
                    if name:
                        names.setdefault(name)
            else:  # "import" keyword of "from x import y", or "yield from", "raise ... from"
                relative = False
                while (after := next(tokens, None)) and after.string in (".", "..."):
                    relative = True
                name, following = _dotted_name(tokens, after)
                if following == "import" and name and not relative:
                    names.setdefault(name)
    except (tokenize.TokenError, SyntaxError):
        pass  # the imports found before the error still count
    warm = (name for name in names if name.partition(".")[0] not in _NEVER_WARM)
    return list(warm)[:limit]


def _dotted_name(
    tokens: Iterator[tokenize.TokenInfo], first: tokenize.TokenInfo | None = None
) -> tuple[str, str]:
    """A dotted name read from ``tokens`` (starting at ``first`` when given), and the text of
    the token after it."""
    token = first if first is not None else next(tokens, None)
    parts = []
    while token is not None and token.type == tokenize.NAME and not keyword.iskeyword(token.string):
        parts.append(token.string)
        token = next(tokens, None)
        if token is None or token.string != ".":
            break
        token = next(tokens, None)
    return ".".join(parts), (token.string if token is not None else "")


def require_content_type(request: Request, expected: str) -> None:
    given = request.headers.get("content-type", "")
    if given.partition(";")[0].strip().lower() != expected:
        raise Refusal(
            415,
            "unsupported_media_type",
            f"expected a body of type {expected}, got {given or 'no content type'!r}",
        )


def pickle_ends(data: bytes, most: int) -> list[int] | None:
    """Where each of the well-formed pickles ``data`` consists of ends, checked without
    unpickling them; None if it is not one to ``most`` whole pickles and nothing else."""
    stream = io.BytesIO(data)
    ends: list[int] = []
    while stream.tell() < len(data) and len(ends) < most:
        try:
            for _ in pickletools.genops(stream):  # stops right after the STOP opcode
                pass
        except (ValueError, EOFError):
            return None
        ends.append(stream.tell())
    return ends if ends and stream.tell() == len(data) else None


class FunctionStore:
    """Pickled functions by the SHA-256 of their bytes, the most recently used kept within a
    byte budget. Content-addressed, so a stored function is never stale."""

    def __init__(self, max_bytes: int) -> None:
        self._max_bytes = max_bytes
        self._size = 0
        self._functions: OrderedDict[str, bytes] = OrderedDict()

    def __len__(self) -> int:
        return len(self._functions)

    def get(self, digest: str) -> bytes | None:
        function = self._functions.get(digest)
        if function is not None:
            self._functions.move_to_end(digest)
        return function

    def put(self, digest: str, function: bytes) -> None:
        if digest in self._functions:
            self._functions.move_to_end(digest)
            return
        self._functions[digest] = function
        self._size += len(function)
        # The newest stays even when it alone is over the budget: the call needs it now.
        while self._size > self._max_bytes and len(self._functions) > 1:
            _, dropped = self._functions.popitem(last=False)
            self._size -= len(dropped)


class Service:
    def __init__(self, config: ServiceConfig, executor: Executor) -> None:
        self.config = config
        self.executor = executor
        self.sessions: OrderedDict[str, None] = OrderedDict()  # an ordered set
        self.functions = FunctionStore(config.max_function_bytes)
        self.calls: Counter[str] = Counter()
        self.refused: Counter[int] = Counter()
        self._key = config.api_key.encode()

    def authorize(self, request: Request) -> None:
        scheme, _, token = request.headers.get("authorization", "").partition(" ")
        if scheme.lower() != "bearer" or not token.strip():
            problem = "missing API key: send 'Authorization: Bearer <key>'"
        elif not hmac.compare_digest(token.strip().encode(), self._key):
            problem = "wrong API key"
        else:
            return
        raise Refusal(401, "unauthorized", problem, {"WWW-Authenticate": "Bearer"})

    async def read_body(self, request: Request, limit: int, option: str) -> bytes:
        declared = request.headers.get("content-length")
        if declared is not None and declared.isdigit() and int(declared) > limit:
            raise Refusal(
                413,
                "body_too_large",
                f"body of {declared} bytes exceeds the {limit} byte limit ({option})",
            )
        body = bytearray()
        async for chunk in request.stream():
            body += chunk
            if len(body) > limit:
                message = f"body exceeds the {limit} byte limit ({option})"
                raise Refusal(413, "body_too_large", message)
        return bytes(body)

    def heartbeat_interval(self, request: Request) -> float:
        text = request.headers.get(protocol.HEARTBEAT_HEADER)
        if text is None:
            return self.config.heartbeat_s
        try:
            seconds = float(text)
        except ValueError:
            seconds = math.nan
        if not seconds > 0 or math.isinf(seconds):
            raise Refusal(
                400, "malformed_heartbeat_interval", f"{protocol.HEARTBEAT_HEADER}: {text[:40]!r}"
            )
        return min(max(seconds, _MIN_HEARTBEAT_S), self.config.heartbeat_s)

    async def pre_warm(self, request: Request) -> Response:
        self.authorize(request)
        require_content_type(request, protocol.PRE_WARM_CONTENT_TYPE)
        body = await self.read_body(request, self.config.max_pre_warm_bytes, "--max-pre-warm-bytes")
        try:
            data = json.loads(body)
        except (ValueError, RecursionError) as exc:
            raise Refusal(400, "malformed_body", f"body is not JSON: {exc}") from exc
        if not isinstance(data, dict) or "source_code" not in data or "fast" not in data:
            raise Refusal(400, "malformed_body", 'expected {"source_code": ..., "fast": ...}')
        source, fast = data["source_code"], data["fast"]
        if not (source is None or isinstance(source, str)) or not isinstance(fast, bool):
            raise Refusal(
                400, "malformed_body", "source_code must be a string or null and fast a boolean"
            )
        modules = (
            await asyncio.to_thread(modules_to_warm, source, self.config.max_modules)
            if source
            else []
        )
        session_id = secrets.token_urlsafe(16)
        self.sessions[session_id] = None
        while len(self.sessions) > self.config.max_warm_sessions:
            self.sessions.popitem(last=False)
        # A fast session wants warm workers before its first call; others warm meanwhile.
        warmed = await self.executor.warm(modules, self.config.warm_wait_s if fast else None)
        request.state.note = f"session={session_id} modules={len(modules)}"
        return JSONResponse(
            {"warm_session_id": session_id, "fast": fast, "modules": modules, "warmed": warmed}
        )

    async def run(self, request: Request) -> Response:
        self.authorize(request)
        require_content_type(request, protocol.CALL_CONTENT_TYPE)
        session_id = request.headers.get(protocol.WARM_SESSION_HEADER)
        if session_id is not None and not protocol.WARM_SESSION_PATTERN.fullmatch(session_id):
            raise Refusal(400, "malformed_warm_session", "malformed warm session identifier")
        digest = request.headers.get(protocol.FUNCTION_HEADER, "")
        if not protocol.FUNCTION_DIGEST_PATTERN.fullmatch(digest):
            raise Refusal(
                400, "malformed_function_digest", f"{protocol.FUNCTION_HEADER} must be a SHA-256"
            )
        heartbeat_s = self.heartbeat_interval(request)
        body = await self.read_body(request, self.config.max_body_bytes, "--max-body-bytes")
        # A large body's opcodes are walked off the event loop; a small one's cost less than that.
        if len(body) > _INLINE_CHECK_BYTES:
            ends = await asyncio.to_thread(pickle_ends, body, 2)
        else:
            ends = pickle_ends(body, 2)
        if ends is None:
            raise Refusal(400, "malformed_body", "body is not a pickled call")
        payload = self._with_function(digest, body, ends)
        headers = {}
        if session_id is not None:
            if session_id in self.sessions:
                self.calls["warm_session_runs"] += 1
                headers[protocol.WARM_SESSION_HEADER] = session_id
            else:
                self.calls["unknown_warm_session"] += 1
            request.state.note = f"session={session_id}"
        self.calls["started"] += 1
        return StreamingResponse(
            self._outcome(request, payload, heartbeat_s),
            media_type=protocol.OUTCOME_CONTENT_TYPE,
            headers=headers,
        )

    async def _outcome(
        self, request: Request, payload: bytes, heartbeat_s: float
    ) -> AsyncIterator[bytes]:
        """Heartbeats while the call runs, so that a client tells a long call from a service
        that stopped answering; then the call's outcome."""
        running = asyncio.ensure_future(self._execute(request, payload))
        try:
            while not (await asyncio.wait({running}, timeout=heartbeat_s))[0]:
                yield _HEARTBEAT_FRAME
            notes, (kind, data), seconds = running.result()
            for chunk in protocol.frame(protocol.SERVICE_TIME, f"{seconds:.6f}".encode()):
                yield chunk
            if notes:
                for chunk in protocol.frame(protocol.OUTPUT, json.dumps(notes).encode()):
                    yield chunk
            for chunk in protocol.frame(kind, data):
                yield chunk
        finally:
            running.cancel()  # the client left; the executor takes its worker back when done

    async def _execute(
        self, request: Request, payload: bytes
    ) -> tuple[dict[str, Any], tuple[bytes, bytes], float]:
        """The call's notes for the caller (see worker.Reply), its final frame's kind and
        payload, and the seconds it spent here."""
        started = time.perf_counter()
        notes, final = await self._outcome_of(request, payload)
        return notes, final, time.perf_counter() - started

    async def _outcome_of(
        self, request: Request, payload: bytes
    ) -> tuple[dict[str, Any], tuple[bytes, bytes]]:
        try:
            reply = await self.executor.run(payload)
        except WorkerLost as exc:
            return _NO_NOTES, self._failed(request, 502, "worker_lost", str(exc))
        except ExecutorUnavailable as exc:
            return _NO_NOTES, self._failed(request, 503, "executor_unavailable", str(exc))
        if reply[0] == "ok":
            self.calls["succeeded"] += 1
            return reply[2], (protocol.RESULT, reply[1])
        _, stage, type_name, message, traceback_text, notes = reply
        status, code = _FAILURES[stage]
        if stage in ("size", "changed"):
            return notes, self._failed(request, status, code, message)
        remote = {"type": type_name, "message": message, "traceback": traceback_text}
        failed = self._failed(request, status, code, f"{type_name}: {message}", remote=remote)
        return notes, failed

    def _with_function(self, digest: str, body: bytes, ends: list[int]) -> bytes:
        """The function's pickle and then the arguments': the body itself when it carries both,
        else the function from the store followed by the body."""
        if len(ends) == 2:
            function = body[: ends[0]]
            if hashlib.sha256(function).hexdigest() != digest:
                raise Refusal(400, "malformed_body", "the function does not match its digest")
            self.functions.put(digest, function)
            self.calls["function_received"] += 1
            return body
        function = self.functions.get(digest)
        if function is None:
            raise Refusal(409, "unknown_function", "send the function with the call again")
        return function + body

    def _failed(
        self, request: Request, status: int, code: str, message: str, **extra: Any
    ) -> tuple[bytes, bytes]:
        self.calls["failed"] += 1
        request.state.note = f"{getattr(request.state, 'note', '')} error={code}".strip()
        error = {"code": code, "message": message, **extra}
        return protocol.ERROR, json.dumps({"status": status, "error": error}).encode()

    async def stats(self, request: Request) -> Response:
        self.authorize(request)
        return JSONResponse(
            {
                **self.executor.describe(),
                "calls": {name: self.calls[name] for name in ("started", "succeeded", "failed")},
                "unknown_warm_session_runs": self.calls["unknown_warm_session"],
                "functions": {
                    "received": self.calls["function_received"],
                    "held": len(self.functions),
                },
                "refused": {str(status): count for status, count in sorted(self.refused.items())},
                # Counts only: sessions belong to callers who need not see each other's.
                "warm_sessions": {
                    "held": len(self.sessions),
                    "runs": self.calls["warm_session_runs"],
                },
            }
        )

    async def info(self, request: Request) -> Response:
        self.authorize(request)
        return JSONResponse(
            {
                "service": "zuvoda",
                "version": __version__,
                "max_body_bytes": self.config.max_body_bytes,
            }
        )

    async def health(self, request: Request) -> Response:
        return JSONResponse({"status": "ok", "executor": self.executor.name})

    async def on_refusal(self, request: Request, exc: Exception) -> Response:
        assert isinstance(exc, Refusal)
        self.refused[exc.status] += 1
        request.state.note = f"error={exc.code}"
        return error_response(exc.status, exc.code, exc.message, exc.headers)

    async def on_http_error(self, request: Request, exc: Exception) -> Response:
        assert isinstance(exc, HTTPException)
        return error_response(exc.status_code, "http_error", exc.detail, exc.headers)


class RequestLog:
    """Logs one line per HTTP request once its answer has been sent."""

    def __init__(self, app: ASGIApp) -> None:
        self.app = app

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] != "http":
            await self.app(scope, receive, send)
            return
        started = time.perf_counter()
        status = 500  # if the app fails before answering, the server answers 500

        async def send_noting_status(message: Message) -> None:
            nonlocal status
            if message["type"] == "http.response.start":
                status = message["status"]
            await send(message)

        try:
            await self.app(scope, receive, send_noting_status)
        finally:
            client = scope.get("client")
            note = scope.get("state", {}).get("note", "")
            log.info(
                "%s %s %s %d %.1fms %s",
                f"{client[0]}:{client[1]}" if client else "-",
                scope["method"],
                scope["path"],
                status,
                (time.perf_counter() - started) * 1000,
                note,
            )


class CollapsedSlashes:
    """Routes "//v1/pre-warm" as "/v1/pre-warm": the monitor appends its path to the base URL as
    given, so a base URL ending in "/" doubles the slash."""

    def __init__(self, app: ASGIApp) -> None:
        self.app = app

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] == "http" and "//" in scope["path"]:
            scope = {**scope, "path": re.sub("/{2,}", "/", scope["path"])}
        await self.app(scope, receive, send)


def create_app(config: ServiceConfig, executor: Executor) -> Starlette:
    service = Service(config, executor)

    @asynccontextmanager
    async def lifespan(app: Starlette) -> AsyncIterator[None]:
        await executor.start()
        log.info("executing calls with %s", executor.describe())
        try:
            yield
        finally:
            await executor.close()

    routes = [
        Route(protocol.RUN_PATH, service.run, methods=["POST"]),
        Route(protocol.PRE_WARM_PATH, service.pre_warm, methods=["POST"]),
        Route(protocol.STATS_PATH, service.stats, methods=["GET"]),
        Route(protocol.HEALTH_PATH, service.health, methods=["GET"]),
        Route(protocol.INFO_PATH, service.info, methods=["GET"]),
    ]
    return Starlette(
        routes=routes,
        middleware=[Middleware(RequestLog), Middleware(CollapsedSlashes)],
        exception_handlers={Refusal: service.on_refusal, HTTPException: service.on_http_error},
        lifespan=lifespan,
    )
