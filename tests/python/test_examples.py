"""Every example of examples/ runs to its end and maps its model into hardware sequences."""

import os
import pathlib
import subprocess
import sys

import pytest

EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"


@pytest.mark.parametrize("example", sorted(p.name for p in EXAMPLES.glob("[!_]*.py")))
def test_example_runs(example):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path), NO_USB="1")
    result = subprocess.run([sys.executable, example], cwd=EXAMPLES, env=env,
                            capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "(Hardware)" in result.stdout and "Traceback" not in result.stderr
