"""scripts/check_layers.py on small trees and graphs: what it lets through and what it stops."""
import shutil
import subprocess
import sys
import types

import pytest

from conftest import REPO


def run_check(root, *options):
    return subprocess.run([sys.executable, str(REPO / "scripts" / "check_layers.py"), str(root),
                           *options], capture_output=True, text=True, timeout=60)


@pytest.fixture
def tree(tmp_path):
    """A tree with the repository's architecture notes, its build file and one header per
    lower layer."""
    (tmp_path / "docs").mkdir()
    shutil.copy(REPO / "docs" / "architecture.md", tmp_path / "docs")
    shutil.copy(REPO / "CMakeLists.txt", tmp_path)
    for path, text in {"core/shape.h": "#pragma once\n",
                       "drivers/link.h": '#include "core/shape.h"\n',
                       "devices/list.h": '#include "drivers/link.h"\n#include "list_detail.h"\n',
                       "devices/list_detail.h": "#pragma once\n",
                       "engine/model.fbs": "table M {}\n",
                       "engine/serializer.cpp": '#include "model_generated.h"\n',
                       "ops/add.hpp": "#include <vector>\n#include <core/shape.h>\n"}.items():
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
    ("ops/add.cc", "<engine/run.h>", "src/ops/add.cc:2: ops may not include engine (<engine/run.h>)"),
    ("ops/add.inc", "../devices/list.h", "src/ops/add.inc:2: ops may not include devices"),
    ("ops/add.hpp", "<model_generated.h>", "src/ops/add.hpp:2: ops may not include engine"),
    ("core/tensor.h", "engine_api/model.h",
     "src/core/tensor.h:2: core may not include engine_api"),
    ("backend/v1/pass.cpp", "mapping/pass_mapping.h",
     "src/backend/v1/pass.cpp:2: backend/v1 may not include mapping"),
], ids=["upward", "between_back_ends", "bindings_to_engine", "unknown_folder_included",
        "unknown_local_header", "file_in_no_layer", "angle_brackets", "climbing_out",
        "generated_header", "core_to_engine_api", "back_end_to_mapper"])
def test_a_forbidden_include_fails_naming_file_line_and_edge(tree, path, include, problem):
    (tree / "src" / path).parent.mkdir(parents=True, exist_ok=True)
    spelled = include if include.startswith("<") else f'"{include}"'
    (tree / "src" / path).write_text(f"#pragma once\n#include {spelled}\n")
    result = run_check(tree)
    assert result.returncode == 1
    assert result.stderr.startswith(problem), result.stderr


def test_architecture_table_must_match_the_edges(tree):
    notes = tree / "docs" / "architecture.md"
    notes.write_text(notes.read_text().replace("| `ops` | `engine_api`, `core` |",
                                               "| `ops` | `engine_api`, `core`, `drivers` |"))
    result = run_check(tree)
    assert result.returncode == 1
    assert "differs from check_layers.py for: ops" in result.stderr


def test_a_layer_folder_inside_another_layer_fails():
    checker = load_checker()
    checker.ALLOWED = {**checker.ALLOWED, "core/inner": ["core"]}
    assert checker.check_nested_layers() == [
        "src/core/inner/ lies inside src/core/: give the layer core/inner a folder of its own"]


def load_checker():
    path = REPO / "scripts" / "check_layers.py"
    module = types.ModuleType("check_layers")
    module.__file__ = str(path)
    exec(compile(path.read_text(), str(path), "exec"), module.__dict__)
    return module


def write_graph(path, links, programs):
    """A graph in the form `cmake --graphviz` writes; `programs` link a RESCAN group."""
    names = sorted(set(links) | set(programs) | {n for used in links.values() for n in used})
    node = {name: f"node{i}" for i, name in enumerate(names)}
    lines = ['digraph "morla" {']
    lines += [f'    "{node[n]}" [ label = "{n}", shape = {"egg" if n in programs else "octagon"} ];'
              for n in names]
    lines += [f'    "{node[a]}" -> "{node[b]}" [ style = dotted ] // {a} -> {b}'
              for a, used in links.items() for b in used]
    for number, (program, members) in enumerate(programs.items()):
        group = f"node{len(names) + number}"
        lines.append(f'    "{group}" [ label = "<LINK_GROUP:RESCAN:{"|".join(members)}>", '
                     "shape = septagon ];")
        lines.append(f'    "{node[program]}" -> "{group}" [ style = dashed ]')
    path.write_text("\n".join(lines + ["}"]) + "\n")


@pytest.mark.parametrize("change, problem", [
    (None, None),
    (("morla_core", "morla_engine"), "morla_core links morla_engine, outside the closure of its row"),
    (("morla_ops", None), "morla_ops does not link morla_core, in the closure of its row"),
    (("tool", "morla_ops"), "tool links layers but not the engine (morla_engine)"),
], ids=["as_the_table", "bottom_links_engine", "missing_edge", "program_without_engine"])
def test_link_graph_against_the_table(tmp_path, change, problem):
    checker = load_checker()
    links = {checker.target_of(layer): [checker.target_of(used) for used in row]
             for layer, row in checker.ALLOWED.items()}
    programs = {"morla_tests": [checker.target_of(layer) for layer in checker.ALLOWED
                                if layer != "python"]}
    links["core"].append("morla_engine")  # the extension links the engine
    if change:
        source, destination = change
        if destination is None:
            links[source] = []
        elif source in links:
            links[source].append(destination)
        else:
            programs[source] = [destination]
    write_graph(tmp_path / "morla.dot", links, programs)
    result = run_check(REPO, "--graph", str(tmp_path / "morla.dot"))
    assert result.returncode == (1 if problem else 0), result.stderr
    assert problem is None or problem in result.stderr
