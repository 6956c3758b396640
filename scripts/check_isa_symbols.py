#!/usr/bin/env python3
"""Fails when an object compiled for a wider instruction set defines a foreign weak symbol.

The per-ISA files of src/ops (channel_loops_<isa>.cpp, blocked_<isa>.cpp) compile their
code inside a target region. A weak symbol defined there (an inline or template function
emitted out of line, its static data) can be merged by the linker with the same symbol
from a baseline file, and the wider instructions then run on any CPU. The only weak
definitions such an object may hold are its own explicit instantiations: in
channel_loops_<isa>.cpp, the members of morla::ops::loops::Loops<Tag> for the file's own
ISA tag (Avx2, Avx512), which no other file instantiates; the blocked files have none (their
templates are file-local). DW.ref.* (the personality reference that sanitizer builds add) is
allowed too.

Usage: scripts/check_isa_symbols.py --nm NM OBJECT...   (the five objects, each once)
"""
import argparse
import os
import re
import shutil
import subprocess
import sys

EXPECTED = ["channel_loops_avx2", "channel_loops_avx512", "blocked_avx2", "blocked_avx512",
            "blocked_vnni"]
# The ISA tag of Loops<Tag> each file instantiates, by the file's last name part.
TAGS = {"avx2": "Avx2", "avx512": "Avx512"}
WEAK = {"W", "V", "u"}  # weak functions, weak objects, unique globals


def own_prefix(stem):
    """Mangled prefix of morla::ops::loops::Loops<morla::ops::loops::Tag>::, or None."""
    tag = TAGS.get(stem.rsplit("_", 1)[-1]) if stem.startswith("channel_loops_") else None
    return f"_ZN5morla3ops5loops5LoopsINS1_{len(tag)}{tag}EE" if tag else None


def demangle(names):
    tool = shutil.which("c++filt")
    if not tool or not names:
        return names
    out = subprocess.run([tool], input="\n".join(names), capture_output=True, text=True)
    lines = out.stdout.splitlines()
    return lines if out.returncode == 0 and len(lines) == len(names) else names


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--nm", default="nm")
    parser.add_argument("objects", nargs="+")
    args = parser.parse_args()

    # CTest may hand over the list CMake built as one argument, its items split by ";".
    objects = [path for arg in args.objects for path in arg.split(";") if path]
    stems = {}
    for path in objects:
        stem = re.sub(r"\.(cpp|cc)\.(o|obj)$", "", os.path.basename(path))
        stems.setdefault(stem, []).append(path)
    if sorted(stems) != sorted(EXPECTED) or any(len(p) != 1 for p in stems.values()):
        sys.exit(f"expected the objects of {', '.join(EXPECTED)} once each, got: "
                 f"{' '.join(objects)}")

    failures = []
    for stem, (path,) in sorted(stems.items()):
        listing = subprocess.run([args.nm, "--defined-only", "-P", path], capture_output=True,
                                 text=True, check=True).stdout
        prefix = own_prefix(stem)
        bad = []
        for line in listing.splitlines():
            fields = line.split()
            if len(fields) < 2 or fields[1] not in WEAK:
                continue
            name = fields[0]
            if name.startswith("DW.ref.") or (prefix and name.startswith(prefix)):
                continue
            bad.append(name)
        failures += [f"{stem}: weak symbol {name}" for name in demangle(bad)]

    if failures:
        print("Weak symbols defined inside a target region (include the header that defines "
              "them before ops/target_begin.h):", file=sys.stderr)
        print("\n".join(failures), file=sys.stderr)
        return 1
    print(f"{len(stems)} objects hold no weak symbol but their own instantiations")
    return 0


if __name__ == "__main__":
    sys.exit(main())
