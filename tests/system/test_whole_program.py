"""Whole programs: user scripts that call overflow(), run in a fresh interpreter."""

import json

import pytest

PRELUDE = """
import logging, sys
import scripted
scripted.install()
logging.basicConfig(level=logging.INFO, format="%(levelname)s %(message)s", stream=sys.stdout)
"""


def assert_in_order(lines, expected):
    position = 0
    for line in lines:
        if position < len(expected) and line == expected[position]:
            position += 1
    assert position == len(expected), (
        f"missing from the output, in order: {expected[position]!r}\n" + "\n".join(lines)
    )


HEAVY_SCRIPT = PRELUDE + """
import atexit
atexit.register(lambda: print("at exit compute wrapped:", hasattr(compute, "_overflow_wrapped")))
from zuvoda.overflow import overflow
monitor = overflow(check_interval=0.01)


def compute(n, raise_load=False):
    if raise_load:
        scripted.set_load(97.0)
        scripted.wait_for(lambda: monitor._overloaded)
    return sum(i * i for i in range(n * 100))


print("result", compute(1))
print("result", compute(2, raise_load=True))
print("result", compute(3))
scripted.set_load(10.0)
scripted.wait_for(lambda: not monitor._overloaded)
print("result", compute(4))
print("cloud runs of compute", sum(name == "compute" for name, _ in scripted.RUNS))
"""


def test_heavy_function_goes_to_the_cloud_and_comes_back(run_script):
    result = run_script(HEAVY_SCRIPT)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    path = str(run_script.script_path)
    line = HEAVY_SCRIPT.splitlines().index("def compute(n, raise_load=False):") + 1
    assert_in_order(lines, [
        "INFO Overflow monitor started  threshold=85%  fast=False  (GPU monitoring: off)",
        f"result {sum(i * i for i in range(100))}",
        "WARNING System overloaded  CPU=97.0%  Memory=20.0%  (threshold=85%)",
        f"WARNING Heavy function detected: compute() at {path}:{line} — wrapped for cloud offload",
        f"result {sum(i * i for i in range(200))}",
        "INFO Offloading compute() to cloud  (CPU=97%  Mem=20%)",
        "",
        "  ↑ Overflow → Cloud: compute()",
        "    Reason: CPU=97%  Mem=20%",
        "",
        "INFO compute() completed in cloud — returning result to local",
        "  ✓ compute() completed in cloud",
        "",
        f"result {sum(i * i for i in range(300))}",
        "INFO Resources normalised  CPU=10.0%  Memory=20.0%",
        f"result {sum(i * i for i in range(400))}",
        "cloud runs of compute 1",
        "client closed",
        "INFO Overflow monitor stopped.",
        "at exit compute wrapped: False",
    ])
    assert result.stdout.count("Offloading compute()") == 1


def test_overflow_called_inside_a_function(run_script):
    result = run_script(PRELUDE + """
from zuvoda.overflow import overflow


def compute(n):
    return n * 2


def main():
    monitor = overflow()
    print("wrapped:", getattr(compute, "_overflow_wrapped", False))
    print("main wrapped:", getattr(main, "_overflow_wrapped", False))
    print("result", compute(21))
    monitor.stop()
    print("after stop:", getattr(compute, "_overflow_wrapped", False))


main()
""")
    assert result.returncode == 0, result.stderr
    assert_in_order(result.stdout.splitlines(), [
        "wrapped: True", "main wrapped: True", "result 42", "INFO Overflow monitor stopped.",
        "after stop: False",
    ])


def test_second_call_stops_the_first_monitor(run_script):
    result = run_script(PRELUDE + """
from zuvoda.overflow import overflow
import zuvoda.overflow as ov

first = overflow(threshold=50)
second = overflow(threshold=60)
print("first running:", first._running, "second running:", second._running)
print("active is second:", ov._active_monitor is second)
""")
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert_in_order(lines, [
        "INFO Overflow monitor started  threshold=50%  fast=False  (GPU monitoring: off)",
        "INFO Overflow monitor stopped.",
        "INFO Overflow monitor started  threshold=60%  fast=False  (GPU monitoring: off)",
        "first running: False second running: True",
        "active is second: True",
        "INFO Overflow monitor stopped.",
    ])
    assert lines.count("INFO Overflow monitor stopped.") == 2


def test_profiler_running_before_is_restored(run_script):
    result = run_script("""
import scripted
scripted.install()
from zuvoda.overflow import overflow


def after_stop():
    return 1


monitor = overflow(verbose=False)
monitor.stop()
for _ in range(3):
    after_stop()
print("done")
""", interpreter_args=("-m", "cProfile", "-s", "ncalls"))
    assert result.returncode == 0, result.stderr
    assert "Error" not in result.stderr
    assert "done" in result.stdout
    stats = [line for line in result.stdout.splitlines() if "(after_stop)" in line]
    assert stats and stats[0].split()[0] == "3"


def test_without_psutil(run_script):
    result = run_script("""
import sys
sys.modules["psutil"] = None
from zuvoda.overflow import overflow
try:
    overflow()
except ImportError as exc:
    print(repr(str(exc)), isinstance(exc.__context__, ImportError))
""")
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == (
        "\"psutil is required for overflow monitoring. Install it with:  "
        "pip install 'zuvoda[overflow]'\" True"
    )


def test_script_is_sent_ahead_and_its_warm_session_reaches_the_client(run_script, pre_warm_server):
    pytest.importorskip("httpx")
    source = PRELUDE + """
from zuvoda.overflow import overflow


def compute(n):
    return n + 1


monitor = overflow(check_interval=0.01, verbose=False)
scripted.wait_for(lambda: monitor._warm_result)
scripted.set_load(99.0)
scripted.wait_for(lambda: monitor._overloaded)
print("result", compute(1))
print("warm id", monitor._vazovez._warm_session_id)
"""
    env = {"ZUVODA_API_URL": pre_warm_server.url, "ZUVODA_API_KEY": "secret"}
    result = run_script(source, env=env)
    assert result.returncode == 0, result.stderr
    received = [(m, t, h["Authorization"], json.loads(body))
                for m, t, h, body in pre_warm_server.requests]
    assert received == [
        ("POST", "/v1/pre-warm", "Bearer secret",
         {"source_code": run_script.script_path.read_text(), "fast": False})
    ]
    assert "result 2" in result.stdout and "warm id sess-42" in result.stdout


REAL_WORK = """
import json, os, sys
if os.environ.get("WITH_OVERFLOW"):
    from zuvoda.overflow import overflow
    # Nothing can be strictly above 100 percent: the machine never counts as overloaded.
    overflow(threshold=100.0, check_interval=60.0)


def primes(limit):
    sieve = bytearray([1]) * limit
    sieve[:2] = b"\\0\\0"
    for i in range(2, int(limit ** 0.5) + 1):
        if sieve[i]:
            sieve[i * i::i] = bytearray(len(sieve[i * i::i]))
    return [i for i, flag in enumerate(sieve) if flag]


class Account:
    def __init__(self, owner):
        self.owner, self.history = owner, []

    def deposit(self, amount):
        self.history.append(amount)
        return sum(self.history)


def fib(n):
    return n if n < 2 else fib(n - 1) + fib(n - 2)


found = primes(200_000)
account = Account("ada")
balances = [account.deposit(x) for x in range(100)]
words = sorted({w.lower() for w in open(__file__, encoding="utf-8").read().split()})
print(len(found), found[-3:], balances[-1], fib(20), len(words))
print(json.dumps({"gen": list(x * x for x in range(5)), "lambda": list(map(lambda v: v + 1, [1]))}))
try:
    fib("x")
except TypeError as exc:
    print("error:", exc)
"""


def test_real_program_is_unchanged_and_exits_promptly(run_script):
    plain = run_script(REAL_WORK, timeout=60)
    monitored = run_script(REAL_WORK, env={"WITH_OVERFLOW": "1"}, timeout=60)
    assert plain.returncode == monitored.returncode == 0, monitored.stderr
    assert monitored.stdout == plain.stdout
    assert monitored.stderr == plain.stderr == ""
