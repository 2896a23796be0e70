"""Arbitrary input to every function and method of the module: the properties of
bad_input_properties.py, run in a child interpreter so that a crash or a hang fails this test with
the child's output instead of ending the test run."""

import os
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).parent


def test_arbitrary_input_works_or_raises_an_ordinary_exception(request):
    paths = [os.path.abspath(p) for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]
    environment = dict(os.environ, PYTHONPATH=os.pathsep.join(paths))
    result = subprocess.run(
        [sys.executable, "-X", "faulthandler", "-m", "pytest", "-q", "-p", "no:cacheprovider",
         str(HERE / "bad_input_properties.py")],
        capture_output=True, text=True, timeout=240, cwd=request.config.rootpath,
        env=environment, stdin=subprocess.DEVNULL, check=False,
    )
    assert result.returncode == 0, (
        f"child exited with {result.returncode}\n{result.stdout}\n{result.stderr}"
    )
