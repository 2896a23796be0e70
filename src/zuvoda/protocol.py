"""Names and defaults of the HTTP protocol spoken between ``zuvoda.client`` and the service;
the client imports nothing of ``zuvoda.service``."""

import re

DEFAULT_PORT = 8750
DEFAULT_API_URL = f"http://127.0.0.1:{DEFAULT_PORT}"

RUN_PATH = "/v1/run"
PRE_WARM_PATH = "/v1/pre-warm"
STATS_PATH = "/v1/stats"
HEALTH_PATH = "/v1/health"

# A run request's body is a cloudpickled (func, args, kwargs) tuple; a successful answer's body
# is the cloudpickled result. Every other answer is JSON: {"error": {"code", "message", ...}}.
CALL_CONTENT_TYPE = "application/vnd.zuvoda.call+pickle"
RESULT_CONTENT_TYPE = "application/vnd.zuvoda.result+pickle"

WARM_SESSION_HEADER = "X-Zuvoda-Warm-Session"
WARM_SESSION_PATTERN = re.compile(r"[A-Za-z0-9_-]{1,128}")

# Error codes of calls that reached a worker and failed there.
REMOTE_FAILURE_CODES = frozenset({"remote_exception", "result_not_serializable", "worker_lost"})
