import os
import pathlib

import pytest

REPO = pathlib.Path(__file__).resolve().parents[2]


@pytest.fixture(scope="session")
def build_dir():
    """The CMake build tree the tests run against (simulator programs live there)."""
    return pathlib.Path(os.environ.get("MORLA_BUILD_DIR", REPO / "build" / "release"))
