"""Where calls run: a pool of local worker processes, or an existing Dask cluster."""

from __future__ import annotations

import asyncio
import logging
import multiprocessing
import os
import signal
import threading
import uuid
from collections.abc import Callable
from concurrent.futures import ThreadPoolExecutor
from multiprocessing.context import SpawnContext
from typing import Any, Protocol

from zuvoda import protocol
from zuvoda.service import recording, worker
from zuvoda.service.worker import Reply

log = logging.getLogger("zuvoda.service")


class WorkerLost(Exception):
    """The process running a call died before answering."""


class ExecutorUnavailable(Exception):
    """The executor could not take or finish the call (e.g. the Dask scheduler went away)."""


class Executor(Protocol):
    name: str

    async def start(self) -> None: ...

    async def run(self, payload: bytes) -> Reply:
        """Run one pickled call; raises WorkerLost or ExecutorUnavailable."""
        ...

    async def warm(self, modules: list[str], wait: float | None) -> bool:
        """Import ``modules`` in every worker. With ``wait`` seconds, answer whether all
        workers finished within them; with None, warm in the background and answer False."""
        ...

    async def close(self) -> None: ...

    def describe(self) -> dict[str, Any]: ...


class _WorkerProcess:
    """One worker process with a pipe for calls and another for warming."""

    def __init__(self, context: SpawnContext, modules: list[str], max_result_bytes: int) -> None:
        self._calls, calls_end = context.Pipe()
        self._warms, warms_end = context.Pipe()
        self._warm_lock = threading.Lock()
        # Not daemonic: user functions may start processes of their own.
        self.process = context.Process(
            target=worker.serve,
            args=(calls_end, warms_end, modules, os.getpid(), max_result_bytes),
            name="zuvoda-worker",
        )
        self.process.start()
        calls_end.close()
        warms_end.close()

    def call(self, payload: bytes) -> Reply:
        try:
            self._calls.send_bytes(payload)
            reply: Reply = self._calls.recv()
            if reply[0] == "ok":
                reply = ("ok", self._calls.recv_bytes(), reply[1])
        except (EOFError, OSError) as exc:
            self.process.join(timeout=5)
            raise WorkerLost(
                f"the worker process {_exit_description(self.process.exitcode)}"
                " while running the call"
            ) from exc
        return reply

    def warm(self, modules: list[str]) -> list[str]:
        with self._warm_lock:
            try:
                self._warms.send(modules)
                imported: list[str] = self._warms.recv()
            except (EOFError, OSError):
                return []  # died meanwhile; its replacement imports the modules at start
        return imported

    def stop(self) -> None:
        if self.process.is_alive():
            self.process.terminate()
            self.process.join(timeout=2)
        if self.process.is_alive():
            self.process.kill()
        self.process.join()
        self._calls.close()
        self._warms.close()


def _exit_description(code: int | None) -> str:
    if code is None:
        return "stopped answering"
    if code < 0:
        return f"was killed by {signal.Signals(-code).name}"
    return f"exited with code {code}"


class ProcessExecutor:
    """Runs each call in one of ``workers`` local processes, one call per process at a time.

    Each worker has its own pipe, so a worker that dies fails only the call it was running, and
    is replaced by a fresh process.
    """

    name = "process"
    _MAX_MODULES = 512

    def __init__(self, workers: int, max_result_bytes: int) -> None:
        if workers < 1:
            raise ValueError(f"need at least one worker process, got {workers}")
        self._size = workers
        self._max_result_bytes = max_result_bytes
        # Spawn, not fork: the service runs threads and an event loop that must not be copied.
        self._context = multiprocessing.get_context("spawn")
        self._call_threads = ThreadPoolExecutor(workers, thread_name_prefix="zuvoda-call")
        self._warm_threads = ThreadPoolExecutor(workers, thread_name_prefix="zuvoda-warm")
        self._lock = threading.Lock()
        self._workers: list[_WorkerProcess] = []
        self._modules: dict[str, None] = {}  # ordered set, imported by replacement workers too
        self._closed = False
        self._replaced = 0

    async def start(self) -> None:
        self._loop = asyncio.get_running_loop()
        self._idle: asyncio.Queue[_WorkerProcess] = asyncio.Queue()
        for _ in range(self._size):
            process = _WorkerProcess(self._context, [], self._max_result_bytes)
            self._workers.append(process)
            self._idle.put_nowait(process)

    async def run(self, payload: bytes) -> Reply:
        process = await self._idle.get()
        # Shielded: a cancelled request must not hand out a worker that is still busy; the
        # thread gives the worker back when the call is really over.
        running = self._loop.run_in_executor(self._call_threads, self._call, process, payload)
        try:
            return await asyncio.shield(running)
        except asyncio.CancelledError:
            running.add_done_callback(_drop_outcome)
            raise

    def _call(self, process: _WorkerProcess, payload: bytes) -> Reply:
        try:
            if not process.process.is_alive():  # died while idle; nothing was sent to it yet
                process = self._replace(process)
            return process.call(payload)
        except WorkerLost:
            process = self._replace(process)
            raise
        finally:
            self._loop.call_soon_threadsafe(self._idle.put_nowait, process)

    def _replace(self, dead: _WorkerProcess) -> _WorkerProcess:
        with self._lock:
            if self._closed:
                return dead
            dead.stop()
            # On a call thread: those last as long as the service, as worker.serve needs.
            fresh = _WorkerProcess(self._context, list(self._modules), self._max_result_bytes)
            self._workers[self._workers.index(dead)] = fresh
            self._replaced += 1
        log.warning("replaced a worker process that %s", _exit_description(dead.process.exitcode))
        return fresh

    async def warm(self, modules: list[str], wait: float | None) -> bool:
        with self._lock:
            for name in modules[: self._MAX_MODULES - len(self._modules)]:
                self._modules.setdefault(name)
            workers = list(self._workers)
        if not modules:
            return True
        pending = [
            self._loop.run_in_executor(self._warm_threads, process.warm, modules)
            for process in workers
        ]
        if wait is None:
            return False
        _, unfinished = await asyncio.wait(pending, timeout=wait)
        return not unfinished

    async def close(self) -> None:
        with self._lock:
            self._closed = True
            workers = list(self._workers)
        await asyncio.to_thread(_stop_all, workers)
        self._call_threads.shutdown(wait=False)
        self._warm_threads.shutdown(wait=False)

    def describe(self) -> dict[str, Any]:
        return {"executor": self.name, "workers": self._size, "workers_replaced": self._replaced}


def _drop_outcome(future: asyncio.Future[Reply]) -> None:
    if not future.cancelled():
        future.exception()  # nobody waits for it any more; keeps asyncio from reporting it


def _stop_all(workers: list[_WorkerProcess]) -> None:
    for process in workers:
        process.stop()


class _ByValue:
    """A function of ``worker`` that pickles by value even with plain pickle, as Dask uses for
    its task graphs: the scheduler and workers then need no zuvoda installed."""

    def __init__(self, func: Callable[..., Any]) -> None:
        import cloudpickle

        cloudpickle.register_pickle_by_value(worker)
        cloudpickle.register_pickle_by_value(recording)
        cloudpickle.register_pickle_by_value(protocol)
        self._func = func
        self._pickled = cloudpickle.dumps(func)

    def __call__(self, *args: Any) -> Any:
        return self._func(*args)

    def __reduce__(self) -> tuple[Any, ...]:
        import cloudpickle

        return (cloudpickle.loads, (self._pickled,))


class DaskExecutor:
    """Runs each call as a task on an existing Dask distributed cluster."""

    name = "dask"

    def __init__(
        self, scheduler_address: str, max_result_bytes: int, connect_timeout: float = 10.0
    ) -> None:
        self._address = scheduler_address
        self._max_result_bytes = max_result_bytes
        self._connect_timeout = connect_timeout
        self._background: set[asyncio.Task[Any]] = set()

    async def start(self) -> None:
        from distributed import Client, KilledWorker

        self._execute = _ByValue(worker.execute)
        self._import_modules = _ByValue(worker.import_modules)
        self._killed_worker = KilledWorker
        try:
            self._client = await Client(  # type: ignore[no-untyped-call]
                self._address, asynchronous=True, timeout=self._connect_timeout
            )
        except (TimeoutError, OSError) as exc:
            raise ExecutorUnavailable(
                f"cannot connect to the Dask scheduler at {self._address}: {exc}"
            ) from exc

    async def run(self, payload: bytes) -> Reply:
        try:
            reply: Reply = await self._client.submit(
                self._execute,
                payload,
                self._max_result_bytes,
                key=f"zuvoda-call-{uuid.uuid4().hex}",
            )
        except self._killed_worker as exc:
            raise WorkerLost(f"the Dask worker running the call died: {exc}") from exc
        except Exception as exc:  # worker.execute never raises, so this is the cluster's doing
            raise ExecutorUnavailable(f"the Dask cluster failed the call: {exc!r}") from exc
        return reply

    async def warm(self, modules: list[str], wait: float | None) -> bool:
        if not modules:
            return True
        running = self._client.run(self._import_modules, modules)
        if wait is not None:
            try:
                await asyncio.wait_for(running, wait)
            except Exception as exc:  # noqa: BLE001 - warming is best effort
                log.warning("warming the Dask workers failed: %r", exc)
                return False
            return True
        task = asyncio.ensure_future(running)
        self._background.add(task)
        task.add_done_callback(self._warmed)
        return False

    def _warmed(self, task: asyncio.Task[Any]) -> None:
        self._background.discard(task)
        if not task.cancelled() and task.exception() is not None:
            log.warning("warming the Dask workers failed: %r", task.exception())

    async def close(self) -> None:
        for task in self._background:
            task.cancel()
        await self._client.close()

    def describe(self) -> dict[str, Any]:
        return {"executor": self.name, "scheduler": self._address}
