"""Names and defaults of the HTTP protocol spoken between ``zuvoda.client`` and the service;
the client imports nothing of ``zuvoda.service``."""

import re

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
# the code "unknown_function". A successful answer's body is the cloudpickled result. Every other
# answer is JSON: {"error": {"code", "message", ...}}.
CALL_CONTENT_TYPE = "application/vnd.zuvoda.call+pickle"
RESULT_CONTENT_TYPE = "application/vnd.zuvoda.result+pickle"

FUNCTION_HEADER = "X-Zuvoda-Function"
FUNCTION_DIGEST_PATTERN = re.compile(r"[0-9a-f]{64}")

WARM_SESSION_HEADER = "X-Zuvoda-Warm-Session"
WARM_SESSION_PATTERN = re.compile(r"[A-Za-z0-9_-]{1,128}")

# Error codes of calls that reached a worker and failed there.
REMOTE_FAILURE_CODES = frozenset({"remote_exception", "result_not_serializable", "worker_lost"})
