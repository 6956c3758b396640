#!/usr/bin/env python3
"""Fails on an #include under src/ that goes against the allowed layer edges.

Each folder of src/ is one layer (src/backend/<name>/ is one layer per back end), and no
layer's folder holds another layer's folder. A file may include headers of its own layer
and of the layers listed for it below, nothing else, whatever the include's brackets or the
file's suffix. docs/architecture.md carries the same table; this script also fails when the
two differ. With --graph (the file written by `cmake --graphviz`), it also compares each
target's link closure with the table: a layer's library links exactly its row, and every
program that links a layer links the engine too.

Usage: scripts/check_layers.py [REPOSITORY_ROOT] [--graph DOT_FILE]
"""
import argparse
import pathlib
import posixpath
import re
import sys

# layer -> the other layers its files may include
ALLOWED = {
    "core": [],
    "engine_api": ["core"],
    "ops": ["engine_api", "core"],
    "drivers": ["engine_api", "core"],
    "devices": ["drivers", "engine_api", "core"],
    "contract": ["engine_api", "core"],
    "mapping": ["contract", "engine_api", "core"],
    "program": ["mapping", "contract", "engine_api", "core"],
    "backend/v1": ["contract", "ops", "engine_api", "core"],
    "backend/v2": ["contract", "engine_api", "core"],
    "backend/mote": ["contract", "engine_api", "core"],
    "hwmap": ["backend/v1", "backend/v2", "backend/mote", "program", "mapping", "contract", "engine_api", "core"],
    "model": ["devices", "drivers", "contract", "engine_api", "core"],
    "engine": ["hwmap", "program", "mapping", "contract", "drivers", "ops", "engine_api", "core"],
    "python": ["model", "mapping", "contract", "devices", "drivers", "ops", "engine_api", "core"],
}

# The build target of each layer, when it is not morla_<folder with "/" as "_">.
TARGETS = {"python": "core"}
SOURCE_SUFFIXES = {".h", ".hh", ".hpp", ".hxx", ".inc", ".inl", ".ipp", ".tpp",
                   ".c", ".cc", ".cpp", ".cxx"}

INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]')
GRAPH_NODE = re.compile(r'^\s*"(node\d+)" \[ label = "([^"]*)", shape = (\w+)')
GRAPH_EDGE = re.compile(r'^\s*"(node\d+)" -> "(node\d+)"')
PROGRAM_SHAPES = {"egg", "tripleoctagon", "doubleoctagon"}  # executables, modules, shared
LAYER_ROOTS = {layer.split("/")[0] for layer in ALLOWED}
DOC_SECTION = "## What each layer may include"
DOC_ROW = re.compile(r"^\|\s*`([a-z0-9_/]+)`\s*\|([^|]*)\|")


def layer_of(relative):
    """The layer of a path relative to src/ ("backend/v1/x.h" -> "backend/v1"): the
    deepest layer whose folder holds it."""
    parts = pathlib.PurePosixPath(relative).parts
    for depth in range(len(parts) - 1, 0, -1):
        if "/".join(parts[:depth]) in ALLOWED:
            return "/".join(parts[:depth])
    if len(parts) < 2:
        return None
    if parts[0] == "backend":
        return "/".join(parts[:2]) if len(parts) > 2 else None
    return parts[0]


def generated_layers(src):
    """Headers flatc writes to the build tree, by the layer whose folder holds the schema."""
    return {f"{schema.stem}_generated.h": layer_of(schema.relative_to(src).as_posix())
            for schema in src.rglob("*.fbs")}


def used_layer(src, relative, bracket, target, generated):
    """(the layer an include reaches, None for a header from outside src/) or a problem."""
    folder = pathlib.PurePosixPath(relative).parent
    if bracket == '"':
        local = posixpath.normpath((folder / target).as_posix())
        if (src / local).is_file():
            return layer_of(local), None
        if target in generated:
            return generated[target], None
        if "/" not in target:
            return None, f'"{target}" is no header under src/'
        spelled = local if target.startswith(".") else posixpath.normpath(target)
    else:
        if target in generated:
            return generated[target], None
        spelled = posixpath.normpath(target)
        if spelled.split("/")[0] not in LAYER_ROOTS:
            return None, None
    used = layer_of(spelled)
    if used not in ALLOWED:
        return None, f'"{target}" is in no layer'
    return used, None


def check_sources(src):
    problems = []
    generated = generated_layers(src)
    for path in sorted(src.rglob("*")):
        if path.suffix not in SOURCE_SUFFIXES or not path.is_file():
            continue
        relative = path.relative_to(src).as_posix()
        layer = layer_of(relative)
        if layer not in ALLOWED:
            problems.append(f"src/{relative}: src/{pathlib.PurePosixPath(relative).parent} "
                            f"is no layer (add it to ALLOWED in {pathlib.Path(__file__).name} "
                            "and to docs/architecture.md)")
            continue
        for number, line in enumerate(path.read_text(encoding="utf-8").splitlines(), 1):
            match = INCLUDE.match(line)
            if not match:
                continue
            bracket, target = match.groups()
            used, problem = used_layer(src, relative, bracket, target, generated)
            if problem:
                problems.append(f"src/{relative}:{number}: {problem}")
            elif used and used != layer and used not in ALLOWED[layer]:
                spelled = f'"{target}"' if bracket == '"' else f"<{target}>"
                problems.append(f"src/{relative}:{number}: {layer} may not include {used} "
                                f"({spelled})")
    return problems


def target_of(layer):
    return TARGETS.get(layer, "morla_" + layer.replace("/", "_"))


def read_graph(dot):
    """Targets by name: (shape, the names they link directly), from `cmake --graphviz`.

    A link group is a node of its own whose label names its members; who links the group
    links each member. An edge to an executable or a module is an order of building, not
    a link."""
    names, shapes, edges = {}, {}, []
    for line in dot.read_text(encoding="utf-8").splitlines():
        node, edge = GRAPH_NODE.match(line), GRAPH_EDGE.match(line)
        if node:
            names[node.group(1)], shapes[node.group(1)] = node.group(2), node.group(3)
        elif edge:
            edges.append(edge.groups())
    links = {name: set() for name in names.values()}
    for source, destination in edges:
        if source == destination or shapes[destination] in ("egg", "tripleoctagon"):
            continue
        label = names[destination]
        group = re.match(r"<LINK_GROUP:\w+:(.*)>$", label)
        links[names[source]].update(group.group(1).split("|") if group else [label])
    return {names[node]: (shapes[node], links[names[node]]) for node in names}


def closure(start, links):
    seen, todo = set(), list(start)
    while todo:
        name = todo.pop()
        if name not in seen:
            seen.add(name)
            todo.extend(links.get(name, ()))
    return seen


def check_graph(dot):
    """Each layer's library links its row of the table and nothing else of the tree; each
    program (executable, module, shared library) that links a layer links the engine."""
    graph = read_graph(dot)
    links = {name: used for name, (_, used) in graph.items()}
    layer_targets = {target_of(layer): layer for layer in ALLOWED}
    wanted = {target_of(layer): {target_of(used) for used in row} for layer, row in ALLOWED.items()}
    wanted[target_of("python")].add(target_of("engine"))  # the extension is a program

    def layers_in(names):
        return {name for name in names if name in layer_targets}

    problems = []
    for layer in ALLOWED:
        target = target_of(layer)
        if target not in graph:
            problems.append(f"{dot.name}: no target {target} for the layer {layer}")
            continue
        found = layers_in(closure(links[target], links))
        expected = layers_in(closure(wanted[target], wanted))
        for name in sorted(found - expected):
            problems.append(f"{dot.name}: {target} links {name}, outside the closure of its row")
        for name in sorted(expected - found):
            problems.append(f"{dot.name}: {target} does not link {name}, in the closure of its row")
    engine = target_of("engine")
    for name, (shape, used) in sorted(graph.items()):
        reached = closure(used, links)
        if shape in PROGRAM_SHAPES and layers_in(reached) and engine not in reached:
            problems.append(f"{dot.name}: {name} links layers but not the engine ({engine})")
    return problems


def check_document(root):
    """The table of docs/architecture.md must state the same edges."""
    document = root / "docs" / "architecture.md"
    rows = {}
    in_section = False
    for line in document.read_text(encoding="utf-8").splitlines():
        if line.startswith("## "):
            in_section = line.strip() == DOC_SECTION
        match = DOC_ROW.match(line) if in_section else None
        if match:
            rows[match.group(1)] = re.findall(r"`([a-z0-9_/]+)`", match.group(2))
    expected = {layer: sorted(used) for layer, used in ALLOWED.items()}
    found = {layer: sorted(used) for layer, used in rows.items()}
    if found == expected:
        return []
    return [f"docs/architecture.md: the table of allowed includes differs from "
            f"{pathlib.Path(__file__).name} for: "
            + ", ".join(sorted(k for k in expected.keys() | found.keys()
                               if expected.get(k) != found.get(k)))]


def check_nested_layers():
    """A layer's folder holds no other layer's folder: the tree shows each layer once, in
    its place between the layers it uses and those that use it."""
    return [f"src/{inner}/ lies inside src/{outer}/: give the layer {inner} a folder of its own"
            for inner in sorted(ALLOWED) for outer in sorted(ALLOWED)
            if inner.startswith(outer + "/")]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("root", nargs="?", type=pathlib.Path,
                        default=pathlib.Path(__file__).parents[1])
    parser.add_argument("--graph", type=pathlib.Path,
                        help="the dependency graph written by cmake --graphviz")
    arguments = parser.parse_args()
    root = arguments.root
    problems = check_sources(root / "src") + check_document(root) + check_nested_layers()
    if arguments.graph:
        problems += check_graph(arguments.graph)
    for problem in problems:
        print(problem, file=sys.stderr)
    if problems:
        print(f"check_layers: {len(problems)} problem(s)", file=sys.stderr)
        return 1
    print("check_layers: every include follows the layer edges"
          + (", every target links its row" if arguments.graph else ""))
    return 0


if __name__ == "__main__":
    sys.exit(main())
