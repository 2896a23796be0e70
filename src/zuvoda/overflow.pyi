import logging
from typing import Any, Callable, Optional, Tuple

logger: logging.Logger
_DEFAULT_API_URL: str
_active_monitor: Optional[_OverflowMonitor]

class _WrapRecord:
    original: Callable[..., Any]
    name: str
    namespace: dict[str, Any]
    wrapper: Callable[..., Any]
    def __init__(
        self,
        original: Callable[..., Any],
        name: str,
        namespace: dict[str, Any],
        wrapper: Callable[..., Any],
    ) -> None: ...

def _compute_exclude_prefixes() -> Tuple[str, ...]: ...
def _offload_policy(
    wrapper: Callable[..., Any],
    local: Optional[float] = None,
    remote: Optional[float] = None,
    service: Optional[float] = None,
) -> dict[str, Any]: ...

class _OverflowMonitor:
    # In the order of the instance dict and the pickled state (monitor/attribute_table.h).
    fast: bool
    threshold: float
    check_interval: float
    gpu_threshold: float
    verbose: bool
    api_key: Optional[str]
    api_url: str
    _running: bool
    _overloaded: bool
    _cpu_usage: float
    _mem_usage: float
    _gpu_util: float
    _gpu_mem_util: float
    _gpu_available: bool
    _nvml_handle: Any
    _call_stack: list[dict[str, Any]]
    _wrapped_functions: dict[int, _WrapRecord]
    _heavy_signatures: set[tuple[str, str, int]]
    _scope_wrapped: bool
    _filename_cache: dict[str, bool]
    _lock: Any
    _monitor_thread: Any
    _original_profile: Any
    _vazovez: Any
    _vazovez_lock: Any
    _vazovez_failed: bool
    _warm_result: Any
    _exclude_prefixes: Tuple[str, ...]
    def __init__(
        self,
        fast: bool,
        threshold: float,
        check_interval: float,
        api_key: Optional[str],
        api_url: Optional[str],
        gpu_threshold: Optional[float] = None,
        verbose: bool = True,
        priority: bool | None = None,
        flexible: bool | None = None,
    ) -> None: ...
    def __getstate__(self) -> dict[str, Any]: ...
    def __setstate__(self, state: Any) -> None: ...
    def start(self) -> None: ...
    def _init_gpu(self) -> None: ...
    def stop(self) -> None: ...
    def _resource_loop(self) -> None: ...
    def _profile_hook(self, frame: Any, event: str, arg: Any) -> None: ...
    def _is_user_code(self, filename: str) -> bool: ...
    def _check_user_code(self, filename: str) -> bool: ...
    def _try_wrap_from_frame(self, frame: Any) -> None: ...
    def _wrap_scope(self, frame: Any) -> None: ...
    def _register_wrap(
        self, func_obj: Callable[..., Any], func_name: str, namespace: dict[str, Any]
    ) -> None: ...
    def _make_wrapper(self, original: Callable[..., Any]) -> Callable[..., Any]: ...
    def _start_pre_warm(self, source_file: Optional[str] = None) -> None: ...
    def _get_vazovez(self) -> Any: ...
    def _cloud_execute(
        self, func: Callable[..., Any], args: tuple[Any, ...], kwargs: dict[str, Any]
    ) -> Any: ...
    def _unwrap_all(self) -> None: ...

def overflow(
    fast: bool = False,
    threshold: float = 85.0,
    check_interval: float = 0.5,
    api_key: Optional[str] = None,
    api_url: Optional[str] = None,
    gpu_threshold: Optional[float] = None,
    verbose: bool = True,
    priority: bool | None = None,
    flexible: bool | None = None,
    _caller_frame: object = None,
) -> _OverflowMonitor: ...
