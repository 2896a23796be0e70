"""The typing stub shipped with the package matches the module as Python sees it."""

import ast
import pathlib
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


def test_stub_lists_the_monitor_attributes_in_their_order(ov):
    # stubtest cannot see instance attributes; their order is that of the pickled state.
    stub = ast.parse(pathlib.Path(ov.__file__).with_name("overflow.pyi").read_text())
    monitor_class = next(
        node for node in stub.body
        if isinstance(node, ast.ClassDef) and node.name == "_OverflowMonitor"
    )
    declared = [node.target.id for node in monitor_class.body if isinstance(node, ast.AnnAssign)]
    monitor = ov._OverflowMonitor(False, 85.0, 0.5, None, None)
    assert declared == list(vars(monitor))
