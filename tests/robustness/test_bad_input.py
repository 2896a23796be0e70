"""Arbitrary input to every function and method of the module: the properties of
bad_input_properties.py, and inputs too big for a property, each run in a child interpreter so that
a crash or a hang fails a test with the child's output instead of ending the test run."""

import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).parent


def test_arbitrary_input_works_or_raises_an_ordinary_exception(request, child_environment):
    result = subprocess.run(
        [sys.executable, "-X", "faulthandler", "-m", "pytest", "-q", "-p", "no:cacheprovider",
         str(HERE / "bad_input_properties.py")],
        capture_output=True, text=True, timeout=240, cwd=request.config.rootpath,
        env=child_environment(), stdin=subprocess.DEVNULL, check=False,
    )
    assert result.returncode == 0, (
        f"child exited with {result.returncode}\n{result.stdout}\n{result.stderr}"
    )


DEEP_CHAIN = """
import zuvoda.overflow as ov

monitor = ov._OverflowMonitor(False, 85.0, 0.5, None, "http://127.0.0.1:9")
wrapper = abs
for _ in range(200_000):
    wrapper = monitor._make_wrapper(wrapper)
try:
    wrapper(-3)
except RecursionError:
    print("RecursionError")
monitor._overloaded = True
monitor._vazovez_failed = True
try:
    wrapper(-3)
except RecursionError:
    print("RecursionError")
"""


def test_a_deep_chain_of_wrappers_raises_recursion_error(tmp_path, child_environment):
    result = subprocess.run(
        [sys.executable, "-c", DEEP_CHAIN], capture_output=True, text=True, timeout=120,
        cwd=tmp_path, env=child_environment(), stdin=subprocess.DEVNULL, check=False,
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout == "RecursionError\nRecursionError\n"
