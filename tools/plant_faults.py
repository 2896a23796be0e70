"""Plants realistic faults in the code one at a time and reports which test catches each: the
measure of what the test suite is worth. A tool, not part of the test run.

    python tools/plant_faults.py [--repo DIR] [--list] [--only ID,ID] [--python PYTHON]

For each fault: replace one exact piece of a source file, rebuild DIR/build/dev incrementally
(made by tools/devbuild.sh) when C++ changed, run the suite with -x against that build, and put
the file back, whatever happens. Prints one line per fault: its id, and the first test that
failed, or "NOT CAUGHT". A fault whose piece is not found exactly once is reported as "STALE".
"""

from __future__ import annotations

import argparse
import os
import re
import subprocess
import sys
from pathlib import Path

# id: (file, piece of code, what it becomes, what the fault is)
FAULTS = {
    "loop-strict": (
        "src/overflow/sampling/resource_loop.cpp", "bound.ptr(), Py_GT)", "bound.ptr(), Py_GE)",
        "overload test no longer strict",
    ),
    "hook-heavy-strict": (
        "src/overflow/detection/profile_hook.cpp",
        "if (!(PyFloat_AS_DOUBLE(figures[0]) <= limit)) return false;",
        "if (!(PyFloat_AS_DOUBLE(figures[0]) < limit)) return false;",
        "a figure equal to its threshold at entry no longer counts as calm",
    ),
    "hook-leak-code": (
        "src/overflow/detection/profile_hook.cpp", "            Py_DECREF(frame_code);\n", "",
        "a code object's reference leaked at every event",
    ),
    "wrapper-leak-monitor": (
        "src/overflow/offload/wrapper.cpp",
        "Borrowed monitor = interop::closure_item(function, monitor_slot);",
        "Borrowed monitor = interop::closure_item(function, monitor_slot);"
        " Py_INCREF(monitor.ptr());",
        "the monitor's reference leaked at every offload decision",
    ),
    "attribute-order": (
        "src/overflow/monitor/attribute_table.h",
        '    X(threshold,          "threshold",           configured,       true,    true)       \\\n'
        '    X(check_interval,     "check_interval",      configured,       true,    false)      \\\n',
        '    X(check_interval,     "check_interval",      configured,       true,    false)      \\\n'
        '    X(threshold,          "threshold",           configured,       true,    true)       \\\n',
        "two attributes, and so two keys of the pickled state, swapped",
    ),
    "scope-flag-never-set": (
        "src/overflow/detection/profile_hook.cpp",
        "    interop::set_attr(self, names.scope_wrapped, Py_True);\n", "",
        "the caller's scope wrapped again at every heavy return",
    ),
    "unwrap-keeps-scope-flag": (
        "src/overflow/detection/wrap_registry.cpp",
        "interop::set_attr(self, names.scope_wrapped, Py_False);", "",
        "unwrapping leaves the scope flag set",
    ),
    "prewarm-header": (
        "src/overflow/offload/pre_warm.cpp", 'py::str("Bearer ")', 'py::str("Bearer: ")',
        "the pre-warm's authorization header misspelt",
    ),
    "client-failed-flag": (
        "src/overflow/offload/cloud_client.cpp",
        "if (error.matches(PyExc_Exception)) "
        "interop::set_attr(self, names.vazovez_failed, Py_True);",
        "",
        "a client that cannot open is tried again at every call",
    ),
    "wrapper-inverted": (
        "src/overflow/offload/wrapper.cpp",
        "if (!is_overloaded(monitor, cache) ||",
        "if (is_overloaded(monitor, cache) ||",
        "offloads when calm and runs locally when overloaded",
    ),
    "user-code-inverted": (
        "src/overflow/detection/user_code.cpp",
        "if (interop::truth(starts.ptr())) return py::bool_(false);",
        "if (!interop::truth(starts.ptr())) return py::bool_(false);",
        "library code taken for user code and back",
    ),
    "service-auth-case": (
        "src/zuvoda/service/app.py", 'scheme.lower() != "bearer"', 'scheme != "Bearer"',
        "the auth scheme's case matters",
    ),
    "service-limit-streamed": (
        "src/zuvoda/service/app.py", "if len(body) > limit:", "if len(body) >= limit:",
        "a streamed body of exactly the limit refused",
    ),
    "service-limit-declared": (
        "src/zuvoda/service/app.py", "int(declared) > limit", "int(declared) >= limit",
        "a declared body of exactly the limit refused",
    ),
    "service-digest-unchecked": (
        "src/zuvoda/service/app.py",
        "if hashlib.sha256(function).hexdigest() != digest:", "if False:",
        "a function stored under a digest that is not its own",
    ),
    "client-500-mapping": (
        "src/zuvoda/client/errors.py", "elif 400 <= status < 500:", "elif 400 <= status <= 500:",
        "a 500 answer taken for a refusal",
    ),
    "client-unwrap": (
        "src/zuvoda/client/pickling.py",
        'if getattr(obj, "_overflow_wrapped", False) is True:',
        'if getattr(obj, "_overflow_wrapped", False) is False:',
        "wrappers travel by reference",
    ),
    "client-local-only-forgotten": (
        "src/zuvoda/client/vazovez.py",
        "            if isinstance(error, ChangedStateError):\n                self._local_only[code]",
        "            if False:\n                self._local_only[code]",
        "a function found changing state is sent again",
    ),
    "client-output-dropped": (
        "src/zuvoda/client/vazovez.py", "        _write_output(output)\n        round_trip",
        "        round_trip",
        "what a call printed remotely is lost",
    ),
    "client-digest-forgotten": (
        "src/zuvoda/client/vazovez.py", "        self._remember(digest)\n", "",
        "a function's bytes sent with every call",
    ),
    "worker-change-unseen": (
        "src/zuvoda/service/worker.py", "if before[label] != value]", "if before[label] is None]",
        "changes to arguments and globals go unnoticed",
    ),
    "hook-general-strict": (
        "src/overflow/detection/profile_hook.cpp",
        "PyFloat_AS_DOUBLE(figure.ptr()) <= PyFloat_AS_DOUBLE(bound.ptr())",
        "PyFloat_AS_DOUBLE(figure.ptr()) < PyFloat_AS_DOUBLE(bound.ptr())",
        "general return path: a float figure equal to its threshold at entry no longer calm",
    ),
    "hook-general-strict-compare": (
        "src/overflow/detection/profile_hook.cpp",
        "PyObject_RichCompare(figure.ptr(), bound.ptr(), Py_LE)",
        "PyObject_RichCompare(figure.ptr(), bound.ptr(), Py_LT)",
        "general return path: any other figure equal to its threshold at entry no longer calm",
    ),
    "hook-general-overload-unchecked": (
        "src/overflow/detection/profile_hook.cpp",
        "    if (!monitor.truth(overloaded)) return;\n    declare_heavy(", "    declare_heavy(",
        "general return path: every function that began calm is heavy, overloaded or not",
    ),
    "hook-general-gpu-unchecked": (
        "src/overflow/detection/profile_hook.cpp",
        "if (monitor.truth(gpu_available) && is_true(monitor, started_ok.ptr())) {",
        "if (false) {",
        "general return path: the GPU figures at entry are ignored",
    ),
    "hook-general-no-pop": (
        "src/overflow/detection/profile_hook.cpp",
        "py::object info = pop_last(monitor, stack.ptr());",
        "py::object info = steal_or_throw(PySequence_GetItem(stack.ptr(), -1));",
        "general return path: the top entry read but left on the stack",
    ),
    "hook-reuses-held-entry": (
        "src/overflow/detection/profile_hook.cpp",
        "if (count_ < std::size(entries_) && Py_REFCNT(entry.ptr()) == 1 &&",
        "if (count_ < std::size(entries_) &&",
        "a popped entry kept for reuse while something else holds it",
    ),
    "entry-refill-leak": (
        "src/overflow/interop/fixed_key_dict.cpp",
        "    for (PyObject* value : previous) Py_XDECREF(value);\n", "",
        "a reused entry refilled without releasing the values it replaced",
    ),
    "hook-direct-for-any-method": (
        "src/overflow/detection/profile_hook.cpp",
        "!interop::is_native_function(PyMethod_GET_FUNCTION(installed), profile_hook_spec)) {",
        "false) {",
        "a user's profile method bound to the monitor replaced by direct delivery",
    ),
    "monitor-gpu-threshold-default": (
        "src/overflow/monitor/construction.cpp",
        "if (config.gpu_threshold.is_none()) return py::float_(config.threshold);",
        "if (config.gpu_threshold.is_none()) return py::float_(85.0);",
        "the GPU threshold defaults to a constant, not to the threshold",
    ),
    "monitor-gpu-threshold-int": (
        "src/overflow/monitor/construction.cpp",
        "if (value == Py_None || PyFloat_CheckExact(value)) return borrow(value);",
        "if (value == Py_None || PyFloat_CheckExact(value) || PyLong_CheckExact(value)) "
        "return borrow(value);",
        "an int GPU threshold kept as an int",
    ),
    "service-dead-worker-put-back": (
        "src/zuvoda/service/executors.py",
        "            process = self._replace(process)\n            raise",
        "            self._replace(process)\n            raise",
        "the worker that died during a call is handed out again, beside its replacement",
    ),
    "worker-bytearray-unwatched": (
        "src/zuvoda/service/worker.py", "bool, str, bytes, type(None), range}",
        "bool, str, bytes, bytearray, type(None), range}",
        "a bytearray argument changed in place goes unnoticed",
    ),
    "worker-output-cap-per-write": (
        "src/zuvoda/service/worker.py", "room = MAX_OUTPUT_CHARS - self.tell()",
        "room = MAX_OUTPUT_CHARS",
        "output in many small writes is never capped",
    ),
    "client-limit-exclusive": (
        "src/zuvoda/client/pickling.py", "if self.tell() + size > self._limit:",
        "if self.tell() + size >= self._limit:",
        "the client refuses a call of exactly the service's body limit",
    ),
    "worker-identity-lost": (
        "src/zuvoda/service/worker.py", "    pickler.memo = memo\n", "",
        "results come back as copies of the caller's objects",
    ),
    "policy-lazy-sent": (
        "src/overflow/offload/wrapper.cpp", "bool lazy = makes_lazy_result(code.ptr());",
        "bool lazy = false;", "generators and coroutines sent, though they cannot come back",
    ),
    "policy-repeats-unlearnt": (
        "src/overflow/offload/wrapper.cpp", "if (repeats.ptr() == Py_True) cache_.failing_code",
        "if (repeats.ptr() == Py_False) cache_.failing_code",
        "a failure that repeats is sent and warned about at every call",
    ),
    "policy-heavy-probed-here": (
        "src/overflow/offload/offload_policy.cpp",
        "if (exploration_budget_ < expected_here) return true;",
        "if (exploration_budget_ < expected_here) return false;",
        "a heavy call run here at once after its first remote run",
    ),
    "policy-dearer-sent": (
        "src/overflow/offload/offload_policy.cpp", "bool remote_is_cheaper = remote < local;",
        "bool remote_is_cheaper = remote > local;", "the dearer side chosen",
    ),
    "client-environment-ignored": (
        "src/zuvoda/client/vazovez.py",
        'difference = replay.differences(output["read"]) if "read" in output else None',
        "difference = None", "a call that read the service's environment keeps its result",
    ),
    "client-warnings-dropped": (
        "src/zuvoda/client/vazovez.py",
        '            replay.issue_warnings(output.get("warnings", []))\n',
        "            pass\n", "warnings raised remotely never reach the caller",
    ),
    "worker-dunder-counted": (
        "src/zuvoda/service/worker.py",
        'return frozenset(name for name in namespace if not name.startswith("__"))',
        "return frozenset(namespace)", "__warningregistry__ taken for a change of the globals",
    ),
}


def run_suite(repo: Path, python: str) -> str:
    env = {**os.environ, "PYTHONPATH": str(repo / "build" / "dev")}
    command = [python, "-m", "pytest", "-x", "-q", "-p", "no:cacheprovider", "tests"]
    try:
        done = subprocess.run(
            command, cwd=repo, env=env, capture_output=True, text=True, timeout=1200, check=False
        )
    except subprocess.TimeoutExpired:
        return "TIMEOUT"
    if done.returncode == 0:
        return "NOT CAUGHT"
    # Test ids may hold spaces; pytest ends the id with " - " and the message.
    failed = re.search(r"^(?:FAILED|ERROR) (.+?)(?: - |$)", done.stdout, re.MULTILINE)
    return failed.group(1) if failed else f"exit {done.returncode}"


def build(repo: Path) -> None:
    subprocess.run(
        ["cmake", "--build", str(repo / "build" / "dev")], check=True, capture_output=True
    )


def plant(repo: Path, python: str, fault: str) -> str:
    path, piece, planted, _ = FAULTS[fault]
    source = repo / path
    original = source.read_text()
    if original.count(piece) != 1:
        return "STALE"
    native = source.suffix in (".cpp", ".h")
    try:
        source.write_text(original.replace(piece, planted))
        if native:
            build(repo)
        return run_suite(repo, python)
    finally:
        source.write_text(original)
        if native:
            build(repo)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--repo", type=Path, default=Path(__file__).resolve().parents[1])
    parser.add_argument("--python", default=sys.executable)
    parser.add_argument("--only", help="comma-separated fault ids")
    parser.add_argument("--list", action="store_true", help="list the faults and stop")
    args = parser.parse_args()
    chosen = args.only.split(",") if args.only else list(FAULTS)
    for fault in chosen:
        if args.list:
            print(f"{fault:<28} {FAULTS[fault][0]}: {FAULTS[fault][3]}")
        else:
            print(f"{fault:<28} {plant(args.repo.resolve(), args.python, fault)}", flush=True)


if __name__ == "__main__":
    main()
