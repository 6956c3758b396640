"""scripts/check_layers.py on small trees: what it lets through and what it stops."""
import shutil
import subprocess
import sys

import pytest

from conftest import REPO


def run_check(root):
    return subprocess.run([sys.executable, str(REPO / "scripts" / "check_layers.py"), str(root)],
                          capture_output=True, text=True, timeout=60)


@pytest.fixture
def tree(tmp_path):
    """A tree with the repository's architecture notes and one header per lower layer."""
    (tmp_path / "docs").mkdir()
    shutil.copy(REPO / "docs" / "architecture.md", tmp_path / "docs")
    for path, text in {"core/shape.h": "#pragma once\n",
                       "drivers/link.h": '#include "core/shape.h"\n',
                       "devices/list.h": '#include "drivers/link.h"\n#include "list_detail.h"\n',
                       "devices/list_detail.h": "#pragma once\n",
                       "engine/model.fbs": "table M {}\n",
                       "engine/serializer.cpp": '#include "model_generated.h"\n'}.items():
        (tmp_path / "src" / path).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / "src" / path).write_text(text)
    return tmp_path


def test_the_repository_follows_its_edges():
    result = run_check(REPO)
    assert result.returncode == 0, result.stderr


def test_downward_same_folder_and_generated_includes_pass(tree):
    result = run_check(tree)
    assert result.returncode == 0, result.stderr


@pytest.mark.parametrize("path, include, problem", [
    ("core/tensor.h", "devices/list.h", 'src/core/tensor.h:2: core may not include devices'),
    ("backend/v2/pass.cpp", "backend/v1/pass.h",
     "src/backend/v2/pass.cpp:2: backend/v2 may not include backend/v1"),
    ("python/bind.cpp", "engine/model_impl.h", "src/python/bind.cpp:2: python may not include engine"),
    ("ops/add.cpp", "nowhere/x.h", 'src/ops/add.cpp:2: "nowhere/x.h" is in no layer'),
    ("ops/add.cpp", "missing.h", 'src/ops/add.cpp:2: "missing.h" is no header under src/'),
    ("widgets/logic.cpp", "core/shape.h", "src/widgets/logic.cpp: src/widgets is no layer"),
], ids=["upward", "between_back_ends", "bindings_to_engine", "unknown_folder_included",
        "unknown_local_header", "file_in_no_layer"])
def test_a_forbidden_include_fails_naming_file_line_and_edge(tree, path, include, problem):
    (tree / "src" / path).parent.mkdir(parents=True, exist_ok=True)
    (tree / "src" / path).write_text(f'#pragma once\n#include "{include}"\n')
    result = run_check(tree)
    assert result.returncode == 1
    assert result.stderr.startswith(problem), result.stderr


def test_architecture_table_must_match_the_edges(tree):
    notes = tree / "docs" / "architecture.md"
    notes.write_text(notes.read_text().replace("| `ops` | `core` |", "| `ops` | `core`, `drivers` |"))
    result = run_check(tree)
    assert result.returncode == 1
    assert "differs from check_layers.py for: ops" in result.stderr
