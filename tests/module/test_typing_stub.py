"""The typing stub shipped with the package matches the module as Python sees it."""

import subprocess
import sys

import pytest


def test_stub_matches_runtime(tmp_path, child_environment):
    pytest.importorskip("mypy")
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "zuvoda.overflow", "--concise"],
        capture_output=True, text=True, check=False, timeout=300, cwd=tmp_path,
        env=child_environment(),
    )
    assert result.returncode == 0, result.stdout + result.stderr
