#!/usr/bin/env python3
"""Fails on an #include "..." under src/ that goes against the allowed layer edges.

Each folder of src/ is one layer (src/backend/<name>/ is one layer per back end). A file
may include headers of its own layer and of the layers listed for it below, nothing else.
docs/architecture.md carries the same table; this script also fails when the two differ.

Usage: scripts/check_layers.py [REPOSITORY_ROOT]
"""
import pathlib
import re
import sys

# layer -> the other layers its files may include
ALLOWED = {
    "core": [],
    "ops": ["core"],
    "drivers": ["core"],
    "devices": ["drivers", "core"],
    "mapping": ["core"],
    "program": ["mapping", "core"],
    "backend/v1": ["program", "mapping", "ops", "core"],
    "backend/v2": ["program", "mapping", "core"],
    "backend/mote": ["program", "mapping", "core"],
    "hwmap": ["backend/v1", "backend/v2", "backend/mote", "program", "mapping", "core"],
    "model": ["devices", "drivers", "mapping", "core"],
    "engine": ["hwmap", "program", "mapping", "drivers", "ops", "core"],
    "python": ["model", "mapping", "devices", "drivers", "ops", "core"],
}

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"')
DOC_SECTION = "## What each layer may include"
DOC_ROW = re.compile(r"^\|\s*`([a-z0-9/]+)`\s*\|([^|]*)\|")


def layer_of(relative):
    """The layer of a path relative to src/ ("backend/v1/x.h" -> "backend/v1")."""
    parts = pathlib.PurePosixPath(relative).parts
    if len(parts) < 2:
        return None
    if parts[0] == "backend":
        return "/".join(parts[:2]) if len(parts) > 2 else None
    return parts[0]


def generated_layers(src):
    """Headers flatc writes to the build tree, by the layer whose folder holds the schema."""
    return {f"{schema.stem}_generated.h": layer_of(schema.relative_to(src).as_posix())
            for schema in src.rglob("*.fbs")}


def check_sources(src):
    problems = []
    generated = generated_layers(src)
    for path in sorted(src.rglob("*")):
        if path.suffix not in (".h", ".cpp") or not path.is_file():
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
            target = match.group(1)
            if "/" in target:
                used = layer_of(target)
                if used not in ALLOWED:
                    problems.append(f"src/{relative}:{number}: \"{target}\" is in no layer")
                    continue
            elif (path.parent / target).exists():
                used = layer
            elif target in generated:
                used = generated[target]
            else:
                problems.append(f"src/{relative}:{number}: \"{target}\" is no header under src/")
                continue
            if used != layer and used not in ALLOWED[layer]:
                problems.append(f"src/{relative}:{number}: {layer} may not include {used} "
                                f"(\"{target}\")")
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
            rows[match.group(1)] = re.findall(r"`([a-z0-9/]+)`", match.group(2))
    expected = {layer: sorted(used) for layer, used in ALLOWED.items()}
    found = {layer: sorted(used) for layer, used in rows.items()}
    if found == expected:
        return []
    return [f"docs/architecture.md: the table of allowed includes differs from "
            f"{pathlib.Path(__file__).name} for: "
            + ", ".join(sorted(k for k in expected.keys() | found.keys()
                               if expected.get(k) != found.get(k)))]


def main():
    root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else pathlib.Path(__file__).parents[1])
    problems = check_sources(root / "src") + check_document(root)
    for problem in problems:
        print(problem, file=sys.stderr)
    if problems:
        print(f"check_layers: {len(problems)} problem(s)", file=sys.stderr)
        return 1
    print("check_layers: every include follows the layer edges")
    return 0


if __name__ == "__main__":
    sys.exit(main())
